// Signals are taken synchronously by one thread, never in an asynchronous
// handler.
#pragma once

namespace kivd {

// Blocks the daemon's signals in the calling thread (threads created later
// inherit the mask), ignores the terminal stop signals and starts the signal
// thread.
void install_signal_thread();
bool signal_thread_running();

// The quit row: log, remove the PID file, exit 0. From a forked child or
// when no signal thread runs, it is carried out in the calling process.
[[noreturn]] void quit_process();

}  // namespace kivd
