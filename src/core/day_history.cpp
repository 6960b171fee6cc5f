#include "core/day_history.hpp"

#include <chrono>
#include <thread>

#include "core/clock.hpp"
#include "core/live_values.hpp"
#include "core/settings.hpp"
#include "core/test_hooks.hpp"

namespace kivd {

namespace {

constexpr std::uint8_t kBatteryKnown = 1, kPvKnown = 2, kMeterStale = 4;
constexpr auto rlx = std::memory_order_relaxed;

}  // namespace

void DayHistory::add(const DayPoint& p) {
  const std::uint32_t seq = seq_.load(rlx);
  seq_.store(seq + 1, rlx);
  std::atomic_thread_fence(std::memory_order_release);
  const std::uint32_t at = next_.load(rlx);
  Slot& s = slots_[at];
  s.time.store(p.time, rlx);
  s.grid_w.store(p.grid_w, rlx);
  s.car_w.store(p.car_w, rlx);
  s.battery_w.store(p.battery_w, rlx);
  s.soc.store(p.soc, rlx);
  s.pv_w.store(p.pv_w, rlx);
  s.flags.store(static_cast<std::uint8_t>((p.battery_known ? kBatteryKnown : 0) | (p.pv_known ? kPvKnown : 0) |
                                          (p.meter_stale ? kMeterStale : 0)),
                rlx);
  next_.store(static_cast<std::uint32_t>((at + 1) % kPoints), rlx);
  const std::uint32_t n = count_.load(rlx);
  if (n < kPoints) count_.store(n + 1, rlx);
  seq_.store(seq + 2, std::memory_order_release);
}

void DayHistory::load(std::size_t i, DayPoint& p) const {
  const Slot& s = slots_[i];
  p.time = s.time.load(rlx);
  p.grid_w = s.grid_w.load(rlx);
  p.car_w = s.car_w.load(rlx);
  p.battery_w = s.battery_w.load(rlx);
  p.soc = s.soc.load(rlx);
  p.pv_w = s.pv_w.load(rlx);
  const std::uint8_t f = s.flags.load(rlx);
  p.battery_known = (f & kBatteryKnown) != 0;
  p.pv_known = (f & kPvKnown) != 0;
  p.meter_stale = (f & kMeterStale) != 0;
}

std::size_t DayHistory::copy(std::span<DayPoint> out) const {
  if (out.size() < kPoints) return 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  for (unsigned attempt = 0;; ++attempt) {
    const std::uint32_t before = seq_.load(std::memory_order_acquire);
    const std::uint32_t next = next_.load(rlx), count = count_.load(rlx);
    const std::size_t first = count < kPoints ? 0 : next;
    for (std::size_t k = 0; k < count; ++k) load((first + k) % kPoints, out[k]);
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::uint32_t after = seq_.load(rlx);
    if ((before & 1u) == 0 && after == before) return count;
    if ((after & 1u) != 0 && attempt % 64 == 63 && std::chrono::steady_clock::now() > give_up) {
      // The slot at `next` is the one being stored; when the ring is full it
      // is the oldest point, copied first.
      if (count < kPoints) return count;
      for (std::size_t k = 1; k < count; ++k) out[k - 1] = out[k];
      return count - 1;
    }
    std::this_thread::yield();
  }
}

DayHistory& day_history() {
  static DayHistory ring;
  return ring;
}

void day_history_tick() {
  static Clock::Steady::time_point due{};
  const auto now = time_source().now();
  if (due != Clock::Steady::time_point{} && now < due) return;
  due = now + std::chrono::seconds(test_sql_seconds());
  const LiveValues& l = live();
  DayPoint p;
  p.time = static_cast<std::int64_t>(time_source().wall_now());
  p.grid_w = l.intpow.load(rlx);
  p.meter_stale = !meter_values_fresh();
  p.car_w = l.wb_pow.load(rlx) / 1000;
  if (cfg().SSUsing && is_fresh(l.ss_received_ms.load(rlx), kStorageFreshFor)) {
    p.battery_known = true;
    p.battery_w = l.ss_ac_power.load(rlx);
    p.soc = l.ss_bat_soc.load(rlx);
  }
  day_history().add(p);
}

}  // namespace kivd
