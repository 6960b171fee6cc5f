// What an install cut short (the updater killed while copying the new
// program) leaves beside the program.
#pragma once

#include <string>

namespace kivd {

// Removes the updater's unfinished copies beside the program (and beside
// what it links to): regular files named ".<name>.new." and six characters,
// unchanged for a few seconds and not locked by an updater still writing.
// Links and other names are left alone. Called at start, before any update
// can run.
void RemoveStaleUpdateCopies(const std::string& program);

}  // namespace kivd
