// The day's points as JSON: one array per series, so the answer stays small
// (about 60 kB for a full day).
#include <memory>

#include "web/day_chart.hpp"

namespace kivd::web {

namespace {

template <typename Value>
void series(Sink& out, const char* name, std::span<const DayPoint> points, Value value) {
  out.printf(",\"%s\":[", name);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const auto v = value(points[i]);
    if (v) out.printf(i ? ",%lld" : "%lld", static_cast<long long>(*v));
    else out.put(i ? ",null" : "null");
  }
  out.put("]");
}

using Opt = std::optional<long long>;

}  // namespace

void write_chart_json(Sink& out, std::span<const DayPoint> points, bool with_stale) {
  out.put("{\"version\":1");
  series(out, "t", points, [](const DayPoint& p) { return Opt(p.time); });
  series(out, "grid", points, [](const DayPoint& p) { return Opt(p.grid_w); });
  series(out, "car", points, [](const DayPoint& p) { return Opt(p.car_w); });
  series(out, "battery", points, [](const DayPoint& p) { return p.battery_known ? Opt(p.battery_w) : Opt(); });
  series(out, "soc", points, [](const DayPoint& p) { return p.battery_known ? Opt(p.soc) : Opt(); });
  series(out, "pv", points, [](const DayPoint& p) { return p.pv_known ? Opt(p.pv_w) : Opt(); });
  if (with_stale) series(out, "stale", points, [](const DayPoint& p) { return Opt(p.meter_stale ? 1 : 0); });
  out.put("}\n");
}

void page_api_day(Sink& out, const PageContext&) {
  const auto points = std::make_unique<DayPoint[]>(DayHistory::kPoints);
  const std::size_t n = day_history().copy(std::span<DayPoint>(points.get(), DayHistory::kPoints));
  write_chart_json(out, std::span<const DayPoint>(points.get(), n), true);
}

}  // namespace kivd::web
