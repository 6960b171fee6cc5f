#include "core/change_tracker.hpp"

#include <algorithm>
#include <chrono>

#include "core/clock.hpp"

namespace kivd {

ChangeTracker::ChangeTracker(std::vector<Kind> kinds, long refresh_ticks)
    : kinds_(std::move(kinds)),
      last_(kinds_.size(), 0),
      snapshot_(kinds_.size(), 0),
      refresh_ticks_(refresh_ticks),
      has_cyclic_(std::find(kinds_.begin(), kinds_.end(), Kind::Cyclic) != kinds_.end()) {}

std::optional<ChangeTracker::Pass> ChangeTracker::next_pass(std::stop_token stop, const Reader& read,
                                                            const std::function<long()>& interval) {
  while (!stop.stop_requested()) {
    read(snapshot_);
    if (const auto p = pass_due(snapshot_, interval())) return p;
    if (!idle(stop)) break;
  }
  return std::nullopt;
}

std::optional<ChangeTracker::Pass> ChangeTracker::pass_due(std::span<const std::int32_t> snapshot, long interval) {
  Pass p;
  p.cyclic = has_cyclic_ && cycle_ > interval;
  if (!p.cyclic) {
    bool changed = false;
    for (std::size_t i = 0; i < kinds_.size() && !changed; ++i)
      changed = kinds_[i] == Kind::OnChange && snapshot[i] != last_[i];
    if (!changed) return std::nullopt;
    p.cyclic = cycle_ >= interval;
  }
  if (p.cyclic) cycle_ = 0;
  p.send_all = first_ || refresh_ > refresh_ticks_;
  if (refresh_ > refresh_ticks_) refresh_ = 0;
  return p;
}

bool ChangeTracker::idle(std::stop_token stop) {
  ++cycle_;
  ++refresh_;
  return sleep_for(std::chrono::seconds(1), stop);
}

bool ChangeTracker::due(const Pass& p, std::size_t i, std::int32_t v) const {
  if (kinds_[i] == Kind::Cyclic) return p.cyclic;
  return kinds_[i] == Kind::OnChange && (p.send_all || v != last_[i]);
}

}  // namespace kivd
