#include "web/password_form.hpp"

#include <iterator>

#include "core/ini_writeback.hpp"
#include "core/log.hpp"
#include "core/password_hash.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"
#include "web/password_gate.hpp"

namespace kivd::web {

namespace {

bool is_password_field(std::string_view field) {
  const std::string_view name = field.substr(0, field.find('='));
  for (const char* f : kPasswordFields)
    if (name == f) return true;
  return false;
}

// The hash the change is checked against: the file's, which a restart will
// use, falling back to the running one.
std::string stored_hash() {
  const IniDict d = IniDict::load_file(ini_path());
  return d.loaded() ? d.get_string("WEBSERVER:PASSWORD_HASH", cfg().WebPasswordHash) : cfg().WebPasswordHash;
}

}  // namespace

std::string without_password_fields(std::string_view body) { return without_fields(body, is_password_field); }

const char* apply_password_change(const ReqInfo& req, std::string_view peer) {
  const std::string body = req.post_data.value_or("");
  const std::string fresh = form_field(body, "WebPwNew").value_or("");
  const std::string again = form_field(body, "WebPwNew2").value_or("");
  if (fresh.empty() && again.empty()) return nullptr;
  // A body cut at the read limit could hold a cut password.
  const auto announced = announced_length(req);
  if (!announced || *announced > body.size()) {
    log_line("Settings: web password unchanged, the form arrived incomplete");
    return kPasswordNotes[0];
  }
  if (fresh != again) return kPasswordNotes[1];
  if (fresh.size() > kPasswordMax) return kPasswordNotes[2];
  const std::string old_hash = stored_hash();
  if (!old_hash.empty() && !verify_password(form_field(body, "WebPwOld").value_or(""), old_hash)) {
    log_line("Webserver: wrong current password from %.47s, web password unchanged", std::string(peer).c_str());
    return kPasswordNotes[3];
  }
  const auto hash = hash_password(fresh);
  if (!hash || WriteIniKey(ini_path(), "WEBSERVER:PASSWORD_HASH", *hash) == 0) {
    log_line("Settings: web password could not be saved");
    return kPasswordNotes[4];
  }
  log_line("Settings: web password changed from %.47s", std::string(peer).c_str());
  return kPasswordNotes[5];
}

int password_note_index(const char* note) {
  for (std::size_t i = 0; i < std::size(kPasswordNotes); ++i)
    if (note == kPasswordNotes[i]) return static_cast<int>(i);
  return -1;
}

const char* password_note_text(int index) {
  return index >= 0 && static_cast<std::size_t>(index) < std::size(kPasswordNotes) ? kPasswordNotes[index] : nullptr;
}

void web_password_block(Sink& out, const char* note) {
  const bool set = !stored_hash().empty();
  out.put("<a id=\"webpassword\"></a><B>Web password</B>");
  out.put(set ? " (set)\n" : " (none: anyone on this network can control the charger)\n");
  if (note) out.printf("<B>%s</B>\n", note);
  if (set)
    out.put("Current password     <input type=\"password\" name=\"WebPwOld\" size=\"20\" maxlength=\"128\" "
            "autocomplete=\"current-password\">\n");
  out.put("New password         <input type=\"password\" name=\"WebPwNew\" size=\"20\" maxlength=\"128\" "
          "autocomplete=\"new-password\">\n");
  out.put("New password again   <input type=\"password\" name=\"WebPwNew2\" size=\"20\" maxlength=\"128\" "
          "autocomplete=\"new-password\">\n");
}

}  // namespace kivd::web
