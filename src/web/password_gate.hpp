// The web password: when [WEBSERVER] PASSWORD_HASH is set, every request
// but the info page, /xml and the page's images needs it, from a session
// cookie (browsers, after the login page) or HTTP Basic credentials (scripts:
// curl -u :PASSWORD). Wrong passwords are logged with the source address and
// limited per address (sessions.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/local_time.hpp"
#include "web/http_io.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

inline constexpr const char* kSessionCookie = "kivd_session";

// Answers the request itself and returns true for /login and /logout, and
// for a request without valid credentials where the password is set (the
// login page, 401; 429 while the address must wait). False: go on serving.
// peer: the client's address, for the log and the try limit.
bool password_gate(const ReqInfo& req, Sink& out, const TimeSnapshot& time, std::string_view peer);

// True when password_gate would refuse the request without checking a
// password (no session, no credentials, a locked interface, an address that
// must wait): the reader threads answer those, and they never queue for the
// request child.
bool gate_refuses(const ReqInfo& req, std::string_view peer);

// True for what is served without the password: the info page, /xml, the
// favicon and the other images and style files.
bool open_without_password(const ReqInfo& req);

// The password of an "Authorization: Basic ..." value (the user name is
// ignored); nullopt for another scheme or a malformed value.
std::optional<std::string> basic_password(std::string_view authorization);

// The session token in a Cookie header, or an empty view.
std::string_view session_token(std::string_view cookie_header);

// Every form of the daemon's pages carries the session's form token in this
// field; a browser's form post without it is refused (service_request.cpp),
// so another page cannot post a form even where it gets past the origin check.
inline constexpr std::string_view kFormTokenField = "kivd_form";

// The hidden form field with the token for the request's session.
void form_token_field(Sink& out, const ReqInfo& req);
// True when the POST body carries the token of the request's session.
bool form_token_ok(const ReqInfo& req);
// A form body without the fields drop says yes to (empty ones go too).
std::string without_fields(std::string_view body, bool (*drop)(std::string_view field));
// The body without the form token field, as the form handling takes it.
std::string without_form_token(std::string_view body);

// A field of a form body, URL-decoded ("+" is a blank); nullopt when missing.
std::optional<std::string> form_field(std::string_view body, std::string_view name);

}  // namespace kivd::web
