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

// The notes apply_password_change returns, in a fixed order: a redirect
// carries a note by its index.
inline constexpr const char* kPasswordNotes[] = {
    "The form arrived incomplete: the web password is unchanged.",
    "The two new passwords differ: the web password is unchanged.",
    "The new password is too long: the web password is unchanged.",
    "The current password is wrong: the web password is unchanged.",
    "The web password could not be saved.",
    "Web password saved. Restart the service to apply it.",
};
int password_note_index(const char* note);    // -1 for nullptr or another text
const char* password_note_text(int index);    // nullptr outside the list

// The posted body without the block's fields.
std::string without_password_fields(std::string_view body);

// Applies a posted change (nothing when both new fields are empty) and
// returns the note the block then shows, or nullptr. peer: for the log.
const char* apply_password_change(const ReqInfo& req, std::string_view peer);

// The block, inside the settings form; note from apply_password_change.
void web_password_block(Sink& out, const char* note);

}  // namespace kivd::web
