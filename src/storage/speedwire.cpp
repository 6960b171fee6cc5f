#include "storage/speedwire.hpp"

#include <cstdio>
#include <cstring>
#include <limits>

namespace kivd::speedwire {
namespace {

// Header common to every request; bytes 12-13, 18, 26-27, 30-35 and 40 on
// are filled per request.
constexpr std::array<std::uint8_t, 20> kHead = {
    'S', 'M', 'A', 0x00,     // signature
    0x00, 0x04, 0x02, 0xA0,  // tag length, tag
    0x00, 0x00, 0x00, 0x01,  // group
    0x00, 0x00,              // data length (big-endian)
    0x00, 0x10, 0x60, 0x65,  // tag, protocol
    0x00, 0xA0,              // length in words, control
};

void put_le16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t le32(Bytes a, std::size_t at) {
  return static_cast<std::uint32_t>(a[at]) | static_cast<std::uint32_t>(a[at + 1]) << 8 |
         static_cast<std::uint32_t>(a[at + 2]) << 16 | static_cast<std::uint32_t>(a[at + 3]) << 24;
}

std::int32_t sle32(Bytes a, std::size_t at) { return static_cast<std::int32_t>(le32(a, at)); }

// Fills the header of a request of `size` bytes. `control` goes to bytes
// 26-27 and 34-35 (00 00 queries, 00 03 logoff, 00 01 logon).
void put_header(std::uint8_t* p, std::size_t size, std::uint8_t control, std::uint32_t app_serial,
                std::uint8_t id, std::uint32_t command) {
  std::memcpy(p, kHead.data(), kHead.size());
  const std::size_t data_length = size - 20;  // from byte 16 up to the 4-byte end mark
  p[12] = static_cast<std::uint8_t>(data_length >> 8);
  p[13] = static_cast<std::uint8_t>(data_length);
  p[18] = static_cast<std::uint8_t>((size - 22) / 4);  // words after the protocol tag, end mark excluded
  put_le16(p + 20, 0xFFFF);
  put_le32(p + 22, 0xFFFFFFFF);
  p[26] = 0x00;
  p[27] = control;
  put_le16(p + 28, kAppDeviceClass);
  put_le32(p + 30, app_serial);
  p[34] = 0x00;
  p[35] = control;
  put_le16(p + 36, 0);  // error code
  put_le16(p + 38, 0);  // fragment counter
  put_le16(p + 40, static_cast<std::uint16_t>(0x8000 | id));
  put_le32(p + 42, command);
}

struct QueryDef {
  std::uint32_t command, first, last;
};

QueryDef query_def(Query q) {
  switch (q) {
    case Query::Identify: return {0x00000200, 0, 0};
    case Query::SoftwareVersion: return {0x58000200, 0x00823400, 0x008234FF};
    case Query::DeviceType: return {0x58000200, 0x00821E00, 0x008220FF};
    case Query::StateOfCharge: return {0x51000200, 0x00295A00, 0x00295AFF};
    case Query::Battery: return {0x51000200, 0x00491E00, 0x00495DFF};
    case Query::AcPower: return {0x51000200, 0x00263F00, 0x00263FFF};
    case Query::AcVoltage: return {0x51000200, 0x00464800, 0x004652FF};
    case Query::AcFrequency: return {0x51000200, 0x00465700, 0x004657FF};
  }
  return {0, 0, 0};
}

bool has(Bytes a, std::size_t offset, std::size_t width) { return a.size() >= offset + width; }

void set_text(Text& t, const char* s) { std::snprintf(t.chars.data(), t.chars.size(), "%s", s); }

}  // namespace

Secret encode_user_password(std::string_view password) {
  Secret s;
  s.fill(0x88);
  for (std::size_t i = 0; i < s.size() && i < password.size(); ++i)
    s[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(password[i]) + 0x88);
  return s;
}

std::uint32_t application_serial(int a, int b) {
  const std::uint32_t mixed = static_cast<std::uint32_t>(a) * 65536u + static_cast<std::uint32_t>(b);
  const std::int32_t r = static_cast<std::int32_t>(mixed) % 100000000;
  return static_cast<std::uint32_t>(900000000 + r);
}

QueryImage build_query(Query q, std::uint32_t app_serial) {
  QueryImage img{};
  const QueryDef d = query_def(q);
  put_header(img.data(), img.size(), 0x00, app_serial, static_cast<std::uint8_t>(q), d.command);
  put_le32(img.data() + 46, d.first);
  put_le32(img.data() + 50, d.last);
  return img;  // 54-57: end mark 0
}

LogoffImage build_logoff(std::uint32_t app_serial, std::uint8_t id) {
  LogoffImage img{};
  put_header(img.data(), img.size(), 0x03, app_serial, id, 0xFFFD010E);
  put_le32(img.data() + 46, 0xFFFFFFFF);
  return img;  // 50-53: end mark 0
}

LogonImage build_logon(std::uint32_t app_serial, std::uint32_t now_s, const Secret& secret) {
  LogonImage img{};
  put_header(img.data(), img.size(), 0x01, app_serial, kLogonId, 0xFFFD040C);
  put_le32(img.data() + 46, 7);    // user group
  put_le32(img.data() + 50, 900);  // session time-out, s
  put_le32(img.data() + 54, now_s);
  std::memcpy(img.data() + 62, secret.data(), secret.size());
  return img;  // 58-61 and 74-77: 0
}

std::optional<std::uint32_t> answer_serial(Bytes a) {
  if (!has(a, 30, 4)) return std::nullopt;
  return le32(a, 30);
}

std::optional<std::uint8_t> answer_packet_id(Bytes a) {
  if (!has(a, 40, 1)) return std::nullopt;
  return a[40];
}

std::optional<std::uint16_t> answer_error_code(Bytes a) {
  if (!has(a, 36, 2)) return std::nullopt;
  return static_cast<std::uint16_t>(a[36] | a[37] << 8);
}

std::optional<Text> parse_software_version(Bytes a) {
  if (!has(a, 78, 4)) return std::nullopt;
  const int type = a[78], build = a[79], minor = a[80], major = a[81];
  char type_text[4];
  if (type <= 5)
    std::snprintf(type_text, sizeof type_text, "%c", "NEABRS"[type]);
  else
    std::snprintf(type_text, sizeof type_text, "%d", type);
  Text t;
  std::snprintf(t.chars.data(), t.chars.size(), "%02d.%02d.%02d.%s", major, minor, build, type_text);
  return t;
}

std::optional<DeviceType> parse_device_type(Bytes a) {
  if (!has(a, 142, 2)) return std::nullopt;
  const std::uint8_t low = a[142], high = a[143];
  struct Known {
    std::uint8_t low;
    const char* name;
    int kind;
  };
  static constexpr Known kKnown[] = {
      {0x07, "Sunny Island 6.0H-11", 1}, {0x08, "Sunny Island 8.0H-11", 1}, {0x3E, "Sunny Island 3.0M", 1},
      {0x3F, "Sunny Island 4.4M", 1},    {0x6C, "Sunny Boy Storage 2.5", 2}, {0x73, "Sunny Island 8.0H-13", 3},
  };
  DeviceType d;
  if (high == 0x24) {
    for (const Known& k : kKnown) {
      if (k.low == low) {
        set_text(d.name, k.name);
        d.kind = k.kind;
        return d;
      }
    }
  }
  std::snprintf(d.name.chars.data(), d.name.chars.size(), "%s: %02X %02X", "unknown device", high, low);
  d.kind = 0;
  return d;
}

std::int32_t without_marker(std::int32_t raw) {
  const auto u = static_cast<std::uint32_t>(raw);
  return (u == 0x80000000u || u == 0x7FFFFFFFu) ? 0 : raw;
}

std::int32_t times_ten(std::int32_t raw) {
  const std::int64_t v = static_cast<std::int64_t>(without_marker(raw)) * 10;
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

std::optional<std::int32_t> parse_first_value(Bytes a) {
  if (!has(a, 62, 4)) return std::nullopt;
  return without_marker(sle32(a, 62));
}

std::optional<Battery> parse_battery(Bytes a, int kind) {
  // Offsets of temperature, voltage and current per kind; kind 2 has no
  // temperature record, kind 0 is not read.
  struct Layout {
    std::size_t temp, voltage, current;
  };
  Layout l{};
  switch (kind) {
    case 1: l = {90, 118, 146}; break;
    case 2: l = {0, 90, 118}; break;
    case 3: l = {118, 146, 174}; break;
    default: return Battery{};
  }
  if (!has(a, l.current, 4)) return std::nullopt;
  Battery b;
  b.temperature = l.temp ? without_marker(sle32(a, l.temp)) : 0;
  b.voltage = times_ten(sle32(a, l.voltage));
  b.current = without_marker(sle32(a, l.current));
  return b;
}

std::optional<AcVoltages> parse_ac_voltages(Bytes a) {
  if (!has(a, 118, 4)) return std::nullopt;
  return AcVoltages{times_ten(sle32(a, 62)), times_ten(sle32(a, 90)), times_ten(sle32(a, 118))};
}

std::optional<std::int32_t> parse_ac_frequency(Bytes a) {
  if (!has(a, 62, 4)) return std::nullopt;
  return times_ten(sle32(a, 62));
}

}  // namespace kivd::speedwire
