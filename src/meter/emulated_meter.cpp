#include "meter/emulated_meter.hpp"

#include <cstddef>

namespace kivd::meter {

namespace {

struct Measurement {
  std::uint8_t index;
  std::uint32_t value;       // type-4 value in the measurement's unit
  bool has_counter;
  std::uint64_t counter_ws;  // type-8 value
};

// A household drawing about 510 W over three phases at 230 V.
constexpr Measurement kMeasurements[] = {
    {1, 5106, true, 5347080},   {2, 0, true, 812880},       {3, 0, true, 75240},
    {4, 1814, true, 6788520},   {9, 5418, true, 8284320},   {10, 0, true, 1747800},
    {13, 0, false, 0},          {21, 1394, true, 1480320},  {22, 0, true, 472320},
    {23, 0, true, 284400},      {24, 503, true, 3988224},   {29, 1482, true, 3159720},
    {30, 0, true, 2026440},     {31, 671, false, 0},        {32, 229692, false, 0},
    {33, 941, false, 0},        {41, 1412, true, 864000},   {42, 0, true, 2250720},
    {43, 0, true, 35280},       {44, 883, true, 2993920},   {49, 1666, true, 2013840},
    {50, 0, true, 2911320},     {51, 1036, false, 0},       {52, 229939, false, 0},
    {53, 848, false, 0},        {61, 2299, true, 4912560},  {62, 0, true, 0},
    {63, 0, true, 192960},      {64, 427, true, 242944},    {69, 2339, true, 4941000},
    {70, 0, true, 0},           {71, 1132, false, 0},       {72, 229319, false, 0},
    {73, 983, false, 0},
};

class Writer {
 public:
  explicit Writer(EmulatedDatagram& d) : d_(d) {}
  void put(std::uint64_t v, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) d_[pos_ + k] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - k)));
    pos_ += n;
  }
  void id(std::uint8_t index, std::uint8_t type) {  // channel 0, tariff 0
    put(0, 1);
    put(index, 1);
    put(type, 1);
    put(0, 1);
  }
  std::size_t pos() const { return pos_; }

 private:
  EmulatedDatagram& d_;
  std::size_t pos_ = 0;
};

EmulatedDatagram build() {
  EmulatedDatagram d{};
  Writer w(d);
  w.put('S', 1), w.put('M', 1), w.put('A', 1), w.put(0, 1);
  w.put(4, 2), w.put(0x02A0, 2);
  w.put(1, 4);
  w.put(580, 2);
  w.put(0x0010, 2), w.put(0x6069, 2);
  w.put(270, 2);
  w.put(1234567890, 4);
  w.put(0, 4);
  for (const Measurement& m : kMeasurements) {
    w.id(m.index, 4);
    w.put(m.value, 4);
    if (m.has_counter) {
      w.id(m.index, 8);
      w.put(m.counter_ws, 8);
    }
  }
  // Firmware version record, then the end mark (the image's zeros).
  w.id(144, 0);
  w.put(0x01010052, 4);
  return d;
}

}  // namespace

const EmulatedDatagram& emulated_datagram() {
  static const EmulatedDatagram image = build();
  return image;
}

}  // namespace kivd::meter
