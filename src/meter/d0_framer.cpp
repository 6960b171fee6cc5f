#include "meter/d0_framer.hpp"

#include <cctype>
#include <cstring>

namespace kivd::meter {

namespace {
constexpr std::string_view kSmlStart = "1B1B1B1B01010101";
constexpr std::string_view kSmlEscape = "1B1B1B1B";
constexpr std::size_t kSmlGroup = 8;  // SML escapes sit on 4-byte boundaries: 8 hex digits
}  // namespace

bool D0Framer::push_mode_c(char c) {
  // An identification line starts a readout; one begun before it was cut off.
  if (c == '/' && (!in_ || n_ == line_)) {
    reset();
    in_ = true;
  }
  if (!in_) return false;
  if (n_ == buf_.size()) {
    reset();
    return false;
  }
  buf_[n_++] = c;
  if (c != '\r' && c != '\n') return false;
  const bool end_line = n_ - 1 - line_ == 1 && buf_[line_] == '!';
  line_ = n_;
  if (!end_line) return false;
  --n_;  // the readout ends with the "!"
  return true;
}

bool D0Framer::push_sml(char c) {
  // Gateways may break the hexadecimal text into lines.
  if (c == '\r' || c == '\n') return false;
  if (!std::isxdigit(static_cast<unsigned char>(c))) {
    reset();
    return false;
  }
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!in_) {
    // Looking for the start sequence in the last 16 digits.
    if (n_ == kSmlStart.size()) {
      std::memmove(buf_.data(), buf_.data() + 1, n_ - 1);
      --n_;
    }
    buf_[n_++] = c;
    in_ = std::string_view(buf_.data(), n_) == kSmlStart;
    return false;
  }
  if (n_ == buf_.size()) {
    reset();
    return false;
  }
  buf_[n_++] = c;
  if (n_ % kSmlGroup != 0) return false;
  const std::string_view group(buf_.data() + n_ - kSmlGroup, kSmlGroup);
  if (!escape_) {
    escape_ = group == kSmlEscape;
    return false;
  }
  // After an escape: the end (1A, padding, checksum), an escaped escape in
  // the data, or a new start that cuts off this transmission.
  escape_ = false;
  if (group.substr(0, 2) == "1A") return true;
  if (group == kSmlEscape) return false;
  const bool restart = group == kSmlStart.substr(kSmlGroup);
  reset();
  if (restart) {
    std::memcpy(buf_.data(), kSmlStart.data(), kSmlStart.size());
    n_ = kSmlStart.size();
    in_ = true;
  }
  return false;
}

}  // namespace kivd::meter
