// Texts the status pages show for the wallbox's state, plug and error codes.
#pragma once

namespace kivd::web {

const char* state_text(int wb_state);
const char* plug_text_info(int wb_plug);
const char* plug_text_xml(int wb_plug);
const char* error1_xml_name(int code);
const char* error2_xml_name(int code);
// "SURPLUS", "QUICK", "MANUAL", "OFF" for ChargingMode 1..4, else "".
const char* charging_mode_text(int mode);

}  // namespace kivd::web
