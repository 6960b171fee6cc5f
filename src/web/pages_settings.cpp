// General and KNX settings pages. Not built yet: the branches answer with the
// resource-not-found page, and a posted form is not written (the request
// handler logs the failure).
#include "pages.hpp"

namespace kivd::web {

void page_settings(Sink& out, const PageContext& ctx) { not_found_page(out, *ctx.req.resource); }
void page_knx(Sink& out, const PageContext& ctx) { not_found_page(out, *ctx.req.resource); }
int write_settings_form(std::string_view, int) { return 0; }

}  // namespace kivd::web
