// Update check, download and update progress pages. Not built yet: the
// branches answer with the resource-not-found page.
#include "pages.hpp"

namespace kivd::web {

void page_checkupdate(Sink& out, const PageContext& ctx) { not_found_page(out, *ctx.req.resource); }
void page_download(Sink& out, const PageContext& ctx) { not_found_page(out, *ctx.req.resource); }
void page_update(Sink& out, const PageContext& ctx) { not_found_page(out, *ctx.req.resource); }

}  // namespace kivd::web
