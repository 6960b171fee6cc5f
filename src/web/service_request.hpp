// One request in the forked child: read, hand over, answer.
#pragma once

#include "core/local_time.hpp"

namespace kivd::web {

// -1 when the request head could not be read (nothing is answered), else 0.
int Service_Request(int conn, const TimeSnapshot& time);

}  // namespace kivd::web
