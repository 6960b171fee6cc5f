// The database logger: thread 6 of each pass, and the structure check made before each pass.
#pragma once

#include <stop_token>

namespace kivd {

void StartSQL(int index, std::stop_token stop);

// Creates or migrates the table of the current year when needed.
void CheckDatabase();

}  // namespace kivd
