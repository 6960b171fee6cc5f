#pragma once

namespace kivd::test {

// Puts every live value back to its start value, so tests do not see what an
// earlier test left.
void reset_live_values();

}  // namespace kivd::test
