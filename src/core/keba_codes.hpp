// Texts for the wallbox's state, plug and error codes: the log texts of the
// charging-error line (wallbox) and the names the status pages and the XML
// show (web); the wallbox type and its product texts.
#pragma once

#include <string_view>

namespace kivd {

// The one wallbox type the daemon drives (setting WallboxType).
inline constexpr const char* kKebaType = "KEBAP20";
bool is_keba_type(std::string_view type);  // without regard to case
// The product text shown in place of the box's own for a serial number
// (report 1), or nullptr to keep the box's own.
const char* keba_product_override(std::string_view serial);

const char* keba_state_text(int state);        // info page and XML
const char* keba_plug_text(int plug);          // info page
const char* keba_plug_xml(int plug);           // XML status
const char* keba_error1_text(int code);        // log
const char* keba_error1_xml(int code);         // XML status
const char* keba_error2_text(int code);        // log
const char* keba_error2_xml(int code);         // XML status

}  // namespace kivd
