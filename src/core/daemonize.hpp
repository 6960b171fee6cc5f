#pragma once

namespace kivd {

// Detaches into the background with a locked PID file and starts the signal
// thread. A process whose parent is init is left as it is; returns false then.
bool daemonize();

// Writes the PID file again when the disk could not take it at start; call
// it now and then (the main loop does, each second).
void keep_pid_file();

}  // namespace kivd
