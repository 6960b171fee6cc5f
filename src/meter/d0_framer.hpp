// Cuts the D0 gateway's TCP stream into whole readouts, however the stream
// is split into reads: AS1440 from the "/" identification line to the "!"
// end line; MT175 SML (hexadecimal text) from its start escape sequence to
// its end escape sequence. Pure: bytes in, readouts out.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace kivd::meter {

class D0Framer {
 public:
  // Longer readouts are dropped.
  static constexpr std::size_t kCapacity = 2048;

  explicit D0Framer(bool mt175) : mt175_(mt175) {}

  // Takes the next bytes of the stream; `take` gets each readout they
  // complete, valid during the call only.
  template <typename Take>
  void feed(std::string_view bytes, Take take) {
    for (const char c : bytes)
      if (mt175_ ? push_sml(c) : push_mode_c(c)) {
        take(std::string_view(buf_.data(), n_));
        reset();
      }
  }
  // Drops a readout begun, as after a lost connection.
  void reset() {
    n_ = 0;
    line_ = 0;
    in_ = false;
    escape_ = false;
  }

 private:
  // Each true when the character completed the readout in buf_[0, n_).
  bool push_mode_c(char c);
  bool push_sml(char c);

  bool mt175_;
  std::array<char, kCapacity> buf_{};
  std::size_t n_ = 0;
  std::size_t line_ = 0;  // where the current line starts
  bool in_ = false;       // inside a readout
  bool escape_ = false;   // SML: the last 4-byte group was an escape
};

}  // namespace kivd::meter
