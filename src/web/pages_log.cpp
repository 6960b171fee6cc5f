// Log, clear-log and restart progress pages. Not built yet: each branch
// answers with the resource-not-found page until its page is written.
#include "pages.hpp"

namespace kivd::web {

void page_log(Sink& out, const PageContext& ctx) { not_found_page(out, *ctx.req.resource); }
void page_clearlog(Sink& out, const PageContext& ctx) { not_found_page(out, *ctx.req.resource); }
void page_restart(Sink& out, const PageContext& ctx) { not_found_page(out, *ctx.req.resource); }

}  // namespace kivd::web
