#pragma once

namespace kivd {

// Detaches into the background with a locked PID file and starts the signal
// thread. A process whose parent is init is left as it is; returns false then.
bool daemonize();

}  // namespace kivd
