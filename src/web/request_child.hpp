// Requests that may change something run in a forked child, one at a time;
// the hand-over is applied after the child has ended.
#pragma once

#include "core/stop_wait.hpp"
#include "core/unique_fd.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

enum class AfterChild { Serve, Update };

// Forks a child that answers req (read already) on conn, hands over what it
// changes, waits for it (a stop request ends it) and applies the hand-over.
// conn is closed. Update: the daemon is to be updated; the server must end.
AfterChild serve_in_child(int listen_fd, UniqueFd& conn, ReqInfo& req, const StopFd& stop);

// In a request child: its hand-over files are written; returns once the
// daemon has applied them (or after a bounded wait). Does nothing elsewhere.
void handover_written();

// Ends the answer with a FIN and reads what the client still sends for a
// moment before the connection is closed.
void lingering_close_input(int conn);

}  // namespace kivd::web
