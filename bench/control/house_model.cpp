#include "house_model.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace kivd::bench {

namespace {

constexpr int kAllPhases = 3;

struct Load {
  int phase;  // 0..2, or kAllPhases spread over three
  double W;
  int from, to;  // s after midnight
};

constexpr int hm(int h, int m) { return h * 3600 + m * 60; }

const std::vector<Load> usual_loads = {
    {0, 2000, hm(7, 10), hm(7, 14)},    // kettle
    {0, 2000, hm(15, 30), hm(15, 34)},  // kettle
    {2, 2100, hm(10, 0), hm(10, 25)},   // washing machine heating
    {2, 400, hm(10, 25), hm(11, 30)},   // washing machine
    {0, 1800, hm(13, 30), hm(14, 30)},  // dishwasher
    {1, 2500, hm(12, 0), hm(12, 45)},   // cooking
    {1, 2500, hm(18, 30), hm(19, 15)},  // cooking
    {2, 150, hm(18, 0), hm(21, 0)},     // television
};

const std::vector<Load> extra_loads = {
    {kAllPhases, 2400, hm(7, 0), hm(9, 0)},    // heat pump
    {kAllPhases, 2400, hm(11, 0), hm(15, 0)},  // heat pump
    {kAllPhases, 2400, hm(17, 0), hm(20, 0)},  // heat pump
    {0, 4600, hm(11, 15), hm(13, 45)},         // sauna, 20 A on L1
    {1, 3000, hm(11, 45), hm(12, 50)},         // oven
    {2, 2500, hm(14, 0), hm(16, 0)},           // workshop
};

// Share of the clear-sky power that passes the clouds, per second: spells of
// ten seconds to ten minutes, each a new cover, reached within one to five
// seconds (a cloud's edge).
std::vector<double> clouds(Weather w, unsigned seed, std::size_t n) {
  std::vector<double> out(n, 1.0);
  if (w == Weather::Sunny) return out;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> spell(10, 600), edge(1, 5);
  std::uniform_real_distribution<double> cover(w == Weather::Cloudy ? 0.15 : 0.35, w == Weather::Cloudy ? 1.0 : 0.7);
  double from = cover(rng), to = from;
  for (std::size_t i = 0; i < n;) {
    from = to;
    to = cover(rng);
    const std::size_t len = static_cast<std::size_t>(spell(rng));
    const std::size_t e = static_cast<std::size_t>(edge(rng));
    for (std::size_t k = 0; k < len && i < n; ++k, ++i)
      out[i] = k < e ? from + (to - from) * static_cast<double>(k) / static_cast<double>(e) : to;
  }
  return out;
}

}  // namespace

std::size_t HouseModel::index(int t) { return static_cast<std::size_t>(std::clamp(t, kDayStart, kDayEnd) - kDayStart); }

HouseModel::HouseModel(const DayProfile& day, unsigned seed) : day_(day) {
  const std::size_t n = static_cast<std::size_t>(kDayEnd - kDayStart) + 1;
  const std::vector<double> share = clouds(day.weather, seed, n);
  // Each seed moves every appliance by up to half an hour.
  std::mt19937 rng(seed * 7919u);
  std::uniform_int_distribution<int> shift(-1800, 1800);
  auto moved = [&](std::vector<Load> loads) {
    for (Load& a : loads) {
      const int d = shift(rng);
      a.from += d;
      a.to += d;
    }
    return loads;
  };
  const std::vector<Load> usual = moved(usual_loads), extra = moved(extra_loads);
  pv_.resize(n);
  load_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const int t = kDayStart + static_cast<int>(i);
    // Sun from 05:30 to 21:30, highest at 13:30.
    const double x = (t - hm(5, 30)) / (16.0 * 3600);
    const double sun = x > 0 && x < 1 ? std::pow(std::sin(x * std::numbers::pi), 1.5) : 0.0;
    pv_[i] = day.pv_peak_W * sun * share[i];
    // A fridge on L2 a third of each hour, the rest standby.
    std::array<double, 3> l{250, (t / 60) % 60 < 20 ? 300.0 : 180.0, 220};
    auto add = [&](const std::vector<Load>& loads) {
      for (const Load& a : loads) {
        if (t < a.from || t >= a.to) continue;
        if (a.phase == kAllPhases)
          for (double& p : l) p += a.W / 3;
        else l[static_cast<std::size_t>(a.phase)] += a.W;
      }
    };
    add(usual);
    if (day.loaded) add(extra);
    load_[i] = l;
  }
}

}  // namespace kivd::bench
