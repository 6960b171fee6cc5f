// SMA Speedwire as the storage reader speaks it: the request images and the
// fields read from the inverter's answers. Pure code: bytes in, values out.
// Every parser checks the received length first, so a short answer yields
// nothing instead of bytes of an earlier answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kivd::speedwire {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::uint16_t kAppDeviceClass = 125;  // the daemon's class
inline constexpr std::size_t kAnswerBufferSize = 256;  // one answer datagram at most

inline constexpr std::size_t kQuerySize = 58;
inline constexpr std::size_t kLogoffSize = 54;
inline constexpr std::size_t kLogonSize = 78;
inline constexpr std::size_t kSecretSize = 12;

using QueryImage = std::array<std::uint8_t, kQuerySize>;
using LogoffImage = std::array<std::uint8_t, kLogoffSize>;
using LogonImage = std::array<std::uint8_t, kLogonSize>;
using Secret = std::array<std::uint8_t, kSecretSize>;

// Packet ids of one cycle; the logoffs take the last id sent plus one.
enum class Query : std::uint8_t {
  Identify = 1,
  SoftwareVersion = 4,
  DeviceType = 5,
  StateOfCharge = 6,
  Battery = 7,
  AcPower = 8,
  AcVoltage = 9,
  AcFrequency = 10,
};
inline constexpr std::uint8_t kLogonId = 3;

// The inverter's factory password for the user group.
inline constexpr std::string_view kFactoryPassword = "0000";

// The user-group password in the form the logon carries: each character plus
// 0x88, the rest of the 12 bytes filled with 0x88. Longer text is cut.
Secret encode_user_password(std::string_view password);

// The application serial from two draws of the time-seeded generator:
// 900000000 plus (a * 65536 + b, as signed 32 bits) modulo 100000000.
std::uint32_t application_serial(int a, int b);

QueryImage build_query(Query q, std::uint32_t app_serial);  // identify and value queries
LogoffImage build_logoff(std::uint32_t app_serial, std::uint8_t id);
LogonImage build_logon(std::uint32_t app_serial, std::uint32_t now_s, const Secret& secret);

// --- answers -------------------------------------------------------------

// The identify answer's source serial (bytes 30..33).
std::optional<std::uint32_t> answer_serial(Bytes a);
// The low byte of the packet id (byte 40).
std::optional<std::uint8_t> answer_packet_id(Bytes a);
// The logon answer's error code (bytes 36..37, 0 = logged on).
std::optional<std::uint16_t> answer_error_code(Bytes a);

// A published text of at most 59 characters.
struct Text {
  std::array<char, 60> chars{};
  std::string_view view() const { return chars.data(); }
};

// "%02d.%02d.%02d.%s": major, minor, build and the release type.
std::optional<Text> parse_software_version(Bytes a);

// Storage kinds: 0 unrecognised, 1 Sunny Island 6.0H-11/8.0H-11/3.0M/4.4M,
// 2 Sunny Boy Storage 2.5, 3 Sunny Island 8.0H-13.
struct DeviceType {
  Text name;
  int kind = 0;
};
std::optional<DeviceType> parse_device_type(Bytes a);

// The first value record (state of charge, AC power).
std::optional<std::int32_t> parse_first_value(Bytes a);

struct Battery {
  std::int32_t temperature = 0;  // 0.1 degC
  std::int32_t voltage = 0;      // mV
  std::int32_t current = 0;      // mA
};
std::optional<Battery> parse_battery(Bytes a, int kind);

struct AcVoltages {
  std::int32_t l1 = 0, l2 = 0, l3 = 0;  // mV
};
std::optional<AcVoltages> parse_ac_voltages(Bytes a);
std::optional<std::int32_t> parse_ac_frequency(Bytes a);  // mHz

// A device value with its no-value markers (0x80000000, 0x7FFFFFFF) as 0.
std::int32_t without_marker(std::int32_t raw);
// Ten times a device value (10 mV, 10 mHz units to mV, mHz); markers give 0
// and values beyond the 32-bit range are held at its ends.
std::int32_t times_ten(std::int32_t raw);

}  // namespace kivd::speedwire
