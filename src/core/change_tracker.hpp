// When a publisher of live values sends, and which values. Values are
// integers of a snapshot the publisher reads; time counts in ticks of waiting
// (a second each), so the time a pass takes does not count.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

namespace kivd {

class ChangeTracker {
 public:
  enum class Kind : std::uint8_t { Off, Cyclic, OnChange };

  // A pass sends the cyclic values or not, and every on-change value
  // (send_all: the first delivered pass, the refresh pass) or the changed ones.
  struct Pass {
    bool cyclic = false;
    bool send_all = false;
  };

  // One kind per value; refresh_ticks: after more than that, the next pass
  // sends all on-change values again.
  ChangeTracker(std::vector<Kind> kinds, long refresh_ticks);

  // Waits tick by tick until a pass is due, asking `read` for the snapshot
  // and `interval` for the cyclic interval (in ticks) anew each tick.
  // Nothing when the stop comes first.
  using Reader = std::function<void(std::span<std::int32_t>)>;
  std::optional<Pass> next_pass(std::stop_token stop, const Reader& read, const std::function<long()>& interval);

  // One tick of next_pass: due are the cyclic values after more than
  // `interval` ticks, and any on-change value unlike the one last sent (the
  // cyclic ones go along then once `interval` ticks are up).
  std::optional<Pass> pass_due(std::span<const std::int32_t> snapshot, long interval);
  // One tick waited without a pass; false when the stop came.
  bool idle(std::stop_token stop);

  // Within a pass: whether value i, now v, goes out; and that it went out
  // (sent or not, it is not retried).
  bool due(const Pass& p, std::size_t i, std::int32_t v) const;
  void sent(std::size_t i, std::int32_t v) { last_[i] = v; }
  // After a pass: one that reached its peer ends the first pass's send_all.
  void pass_done(bool delivered) { first_ = first_ && !delivered; }

 private:
  std::vector<Kind> kinds_;
  std::vector<std::int32_t> last_, snapshot_;
  long refresh_ticks_;
  bool has_cyclic_;
  bool first_ = true;
  long cycle_ = 0, refresh_ = 0;  // ticks since the last cyclic / refresh pass
};

}  // namespace kivd
