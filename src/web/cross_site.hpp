// Requests that a browser sends on behalf of another site: a page elsewhere
// that posts to the control form or links to /restart must not reach the
// daemon through the user's browser. Clients that send none of the browser's
// headers (curl, scripts, home automation) are not affected.
#pragma once

#include <string_view>

#include "web/http_request.hpp"

namespace kivd::web {

// True for a host name (a Host header or the host of an Origin, port and
// brackets allowed) the daemon answers to: an IP literal, "localhost", the
// machine's name (also with ".local", ".lan" or ".home.arpa"), or a name of
// [WEBSERVER] HOSTNAMES. Anything else may be a foreign name rebound to this
// address (DNS rebinding): every such request is answered 421.
bool answers_to(std::string_view authority);

// Sets status 421 (and logs it) for a request whose Host header names a
// host the daemon does not answer to; true when it did. A request without
// a Host (HTTP/1.0 clients) is let through: browsers always send one.
bool refuse_foreign_host(ReqInfo& req);

// True for a request sent by a browser: a Sec-Fetch-* or
// Upgrade-Insecure-Requests header, an Accept naming text/html or a
// User-Agent starting with "Mozilla/". Scripts send none of these.
bool browser_marked(const ReqInfo& req);

// True when the request proves it comes from this server's own pages:
// Sec-Fetch-Site "same-origin" (or "none": the user's own navigation), or an Origin or Referer naming the Host the
// request was sent to (which answers_to accepts).
bool same_origin_proof(const ReqInfo& req);

// Why a changing request is refused, for the log, or nullptr: a header that
// names another site (cross_site_header), or a browser mark without a
// same-origin proof.
const char* change_refusal(const ReqInfo& req);

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
