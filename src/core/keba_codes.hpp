// Texts for the wallbox's state, plug and error codes: the log texts of the
// charging-error line (wallbox) and the names the status pages and the XML
// show (web).
#pragma once

namespace kivd {

const char* keba_state_text(int state);        // info page and XML
const char* keba_plug_text(int plug);          // info page
const char* keba_plug_xml(int plug);           // XML status
const char* keba_error1_text(int code);        // log
const char* keba_error1_xml(int code);         // XML status
const char* keba_error2_text(int code);        // log
const char* keba_error2_xml(int code);         // XML status

}  // namespace kivd
