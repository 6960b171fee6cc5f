#pragma once

namespace kivd {

// Opens and binds the wallbox UDP socket into daemon_state().udp_sock. A bind
// that fails is logged and tried again with growing pauses (up to a minute);
// any other failure but the device binding is logged and ends the process
// (status 1).
void open_wallbox_socket();

}  // namespace kivd
