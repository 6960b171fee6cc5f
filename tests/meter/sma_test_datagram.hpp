// Builds SMA Energy Meter datagrams for tests, written from the datagram
// layout (header, then 4-byte identifiers with big-endian values).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace kivd::meter::test {

class TestDatagram {
 public:
  explicit TestDatagram(std::uint32_t serial = 1900000001u, std::uint32_t time_ms = 123456789u) {
    bytes_ = {'S', 'M', 'A', 0, 0, 4, 0x02, 0xA0, 0, 0, 0, 1, 0, 0, 0, 0x10, 0x60, 0x69, 0x01, 0x5D};
    put(serial, 4);
    put(time_ms, 4);
  }
  TestDatagram& rec4(std::uint8_t index, std::int32_t v, std::uint8_t type = 4) {
    bytes_.insert(bytes_.end(), {0, index, type, 0});
    put(static_cast<std::uint32_t>(v), 4);
    return *this;
  }
  TestDatagram& rec8(std::uint8_t index, std::int64_t v) {
    bytes_.insert(bytes_.end(), {0, index, 8, 0});
    put(static_cast<std::uint64_t>(v), 8);
    return *this;
  }
  // The finished datagram: length field over the records written (or the
  // given one), padded with zeros to size.
  std::vector<std::uint8_t> build(std::size_t size = 600, std::optional<std::uint16_t> length = {}) const {
    std::vector<std::uint8_t> d = bytes_;
    const std::uint16_t len = length ? *length : static_cast<std::uint16_t>(d.size() - 28);
    d[12] = static_cast<std::uint8_t>(len >> 8);
    d[13] = static_cast<std::uint8_t>(len);
    d.resize(size, 0);
    return d;
  }

 private:
  void put(std::uint64_t v, int n) {
    for (int k = n - 1; k >= 0; --k) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
  }
  std::vector<std::uint8_t> bytes_;
};

inline std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  std::string digits;
  for (char c : hex)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (std::size_t k = 0; k + 1 < digits.size(); k += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(k, 2), nullptr, 16)));
  return out;
}

// A capture from tests/data, or nothing when it is absent.
inline std::optional<std::string> testdata(const std::string& name) {
  const char* dir = std::getenv("KIVD_TESTDATA");
  if (dir == nullptr) return std::nullopt;
  std::ifstream f(std::string(dir) + "/" + name);
  if (!f) return std::nullopt;
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace kivd::meter::test
