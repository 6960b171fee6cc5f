#pragma once

namespace kivd {

// Opens and binds the wallbox UDP socket into daemon_state().udp_sock; any
// failure but the device binding is logged and ends the process (status 1).
void open_wallbox_socket();

}  // namespace kivd
