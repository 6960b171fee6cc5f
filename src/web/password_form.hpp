// The "Web password" block of the settings page: the new password twice, and
// the current one while a password is set. A change is checked here and
// written through the settings write-back; it applies from the next restart.
#pragma once

#include <string>
#include <string_view>

#include "web/http_io.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

// The block's fields; they never reach the settings form's own handling.
inline constexpr const char* kPasswordFields[] = {"WebPwOld", "WebPwNew", "WebPwNew2"};

// The posted body without the block's fields.
std::string without_password_fields(std::string_view body);

// Applies a posted change (nothing when both new fields are empty) and
// returns the note the block then shows, or nullptr. peer: for the log.
const char* apply_password_change(const ReqInfo& req, std::string_view peer);

// The block, inside the settings form; note from apply_password_change.
void web_password_block(Sink& out, const char* note);

}  // namespace kivd::web
