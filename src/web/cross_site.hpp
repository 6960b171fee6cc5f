// Requests that a browser sends on behalf of another site: a page elsewhere
// that posts to the control form or links to /restart must not reach the
// daemon through the user's browser. Clients that send none of the browser's
// headers (curl, scripts, home automation) are not affected.
#pragma once

#include "web/http_request.hpp"

namespace kivd::web {

// True for a request that changes something: a form post, a remote command,
// a restart, clearing the log, an update step, a login or logout.
bool changes_something(const ReqInfo& req);

// nullptr when the browser's headers say the request comes from this
// server's own pages (or there are none), else the name of the header that
// marks it as coming from another site: Sec-Fetch-Site other than
// same-origin or none; without it an Origin, or for a GET a Referer, whose
// host and port differ from the Host header's.
const char* cross_site_header(const ReqInfo& req);

}  // namespace kivd::web
