// One request: read, hand over (in the forked child only), answer.
#pragma once

#include <string>

#include "core/local_time.hpp"
#include "web/http_request.hpp"

namespace kivd::web {

// -1 when the request head could not be read (nothing is answered), else 0.
int Service_Request(int conn, const TimeSnapshot& time);

// Answers a request already read. may_change: the forked child, which hands
// form posts and commands over; false on a worker thread in the daemon,
// which only answers (read_only_request).
// rest: on a reader thread, where what a slow client cannot take at once is
// kept for the server's poll loop (FdSink::spill_to).
void answer_request(int conn, ReqInfo& req, const TimeSnapshot& time, bool may_change, std::string* rest = nullptr);

// The refusals that come before everything else and need neither the child
// nor a password check: a foreign Host (421), a changing route asked by HEAD
// (405), another site's change and a form post without its token (403).
void refuse_early(ReqInfo& req);

// True when a request meant for the child is refused anyway (above, or by
// the password gate without a password check): the reader answers it, so
// requests that will be refused never wait in the child's queue.
bool refused_on_reader(int conn, ReqInfo& req);

}  // namespace kivd::web
