#include "web/pages.hpp"
#include "web/routes.hpp"

namespace kivd::web {

int Return_Website(Sink& out, FdSink* conn, const PageContext& ctx) {
  const std::string_view r = ctx.req.resource ? std::string_view(*ctx.req.resource) : std::string_view();
  const Route* route = find_route(r);
  if (route && route->page) route->page(out, conn, ctx);
  else not_found_page(out, r);
  return 0;
}

}  // namespace kivd::web
