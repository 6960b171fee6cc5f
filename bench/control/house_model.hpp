// The simulated house of a benchmark day, second by second: what the PV
// plant gives and what the house draws per phase without the car, computed
// ahead for the whole day from a fixed seed (every run sees the same day).
#pragma once

#include <array>
#include <vector>

namespace kivd::bench {

inline constexpr int kVolt = 230;
inline constexpr int kDayStart = 6 * 3600;  // s after midnight
inline constexpr int kDayEnd = 21 * 3600;

enum class Weather { Sunny, Cloudy, Overcast };

struct DayProfile {
  const char* name;
  Weather weather;
  int pv_peak_W;
  bool loaded;  // heat pump, sauna, oven and workshop on top of the usual loads
  // The owner asks for quick charging in this window (s after midnight), 0 = never.
  int quick_from = 0, quick_to = 0;
  bool battery = false;  // a home battery whose own controller holds the grid at 0
};

class HouseModel {
 public:
  explicit HouseModel(const DayProfile& day, unsigned seed = 16);

  // W per phase at second t (kDayStart..kDayEnd): the PV plant feeds its
  // power evenly into three phases; the house's loads sit on their phases.
  double pv_W(int t) const { return pv_[index(t)]; }
  const std::array<double, 3>& load_W(int t) const { return load_[index(t)]; }
  // Surplus before the car (W, + left over).
  double surplus_W(int t) const {
    const auto& l = load_W(t);
    return pv_W(t) - l[0] - l[1] - l[2];
  }
  bool quick(int t) const { return t >= day_.quick_from && t < day_.quick_to; }

 private:
  static std::size_t index(int t);
  DayProfile day_;
  std::vector<double> pv_;
  std::vector<std::array<double, 3>> load_;
};

}  // namespace kivd::bench
