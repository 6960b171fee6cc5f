// One request: read, hand over (in the forked child only), answer.
#pragma once

#include "core/local_time.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

// -1 when the request head could not be read (nothing is answered), else 0.
int Service_Request(int conn, const TimeSnapshot& time);

// Answers a request already read. may_change: the forked child, which hands
// form posts and commands over; false on a worker thread in the daemon,
// which only answers (read_only_request).
void answer_request(int conn, ReqInfo& req, const TimeSnapshot& time, bool may_change);

}  // namespace kivd::web
