// Helpers for the web tests: raw requests over a socket pair, and a reset of
// the live values the pages show.
#pragma once

#include <string>

#include "web/http_request.hpp"
#include "core/local_time.hpp"

namespace kivd::webtest {

// Parses the bytes with Get_Request; rc receives its result.
web::ReqInfo parse_raw(const std::string& bytes, int* rc = nullptr, bool close_after = true);
// Runs Service_Request in this process on the bytes and returns the answer.
std::string serve_raw(const std::string& bytes);
// A fixed request time: 07.12.2026 13:05:09 local = UTC.
TimeSnapshot fixed_time();
// Live values back to their start values.
void reset_live();

}  // namespace kivd::webtest
