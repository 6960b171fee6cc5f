#include "wallbox/current_limits.hpp"

#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "wallbox/charging_math.hpp"

namespace kivd {

SafetyInput safety_input(bool box_share) {
  const Settings& s = cfg();
  const LiveValues& v = live();
  const std::array<int, 3> wallbox{v.wb_i1.load(), v.wb_i2.load(), v.wb_i3.load()};
  // Readings of different moments: the car's share the meter saw is not
  // known, so none of the box's current counts as room.
  return {s.InfrastructureCurrent, s.InfrastructureDistance,
          fuse_meter_mA({v.em_i1.load(), v.em_i2.load(), v.em_i3.load()}, v.em_one_phase_mA.load(), wallbox),
          box_share ? wallbox : std::array<int, 3>{0, 0, 0}};
}

int GetSafetyCurrent(bool box_share) {
  const SafetyInput in = safety_input(box_share);
  const SafetyResult r = safety_current(in);
  debug_line("GetSafetyCurrent: EM L1: %lld, L2: %lld, L3: %lld, WB L1: %d, L2: %d, L3: %d, lowest free common: %d",
             r.free_mA[0], r.free_mA[1], r.free_mA[2], in.wallbox_mA[0], in.wallbox_mA[1], in.wallbox_mA[2],
             r.current_mA);
  return r.current_mA;
}

int GetDutyCurrent(int watts, int phases) {
  if (cfg().FixTeslaBug == 1) {
    const int c = duty_current_tesla(watts, phases);
    debug_line("Tesla 'overload workaround': only 1000mA steps, now %d mA", c);
    return c;
  }
  return duty_current(watts, phases);
}

}  // namespace kivd
