#include <chrono>

#include "core/change_tracker.hpp"
#include "core/clock.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/stop_wait.hpp"
#include "core/utils.hpp"
#include "knx/datapoints.hpp"
#include "knx/knx_sender.hpp"
#include "knx/knx_thread.hpp"

namespace kivd {

namespace knx {

namespace {
constexpr int kRefreshSeconds = 600;
}

PassResult gateway_pass(const StopFd& stop, const std::function<void(Tunnel&)>& write_due) {
  const Settings& s = cfg();
  PassParams p;
  p.router = s.KNXRouter;
  p.port = s.KNXPort;
  p.device = s.NetworkInterface;
  return run_pass(p, stop, write_due);
}

void run_sender(int index, std::stop_token stop, const PassRunner& pass) {
  using namespace std::chrono_literals;
  const Settings& s = cfg();  // the settings of this restart pass
  if (!log_worker_start(index, s.KNXUsing, "KNX interface not used ...",
                        "Starting knx interface..."))
    return;
  const DatapointCounts counts = count_enabled(s);
  if (counts.cyclic + counts.on_change == 0) {
    log_line("KNX: No datapoints activated...exit!");
    return;
  }
  log_line("KNX: %d datapoint(s) activated (%ld cycle, %ld on change)...",
           static_cast<int>(counts.cyclic + counts.on_change), counts.cyclic, counts.on_change);
  if (!valid_router(s.KNXRouter)) {
    log_line("KNX thread: gateway address %s is not a dotted IPv4 address...exit!", s.KNXRouter.c_str());
    return;
  }
  if (s.KNXPort < 1 || s.KNXPort > 65535) {
    log_line("KNX thread: gateway port %d out of range...exit!", s.KNXPort);
    return;
  }
  if (!sleep_for(3s, stop)) return;

  const StopFd stop_fd(stop);
  ChangeTracker tracker(datapoint_kinds(s), kRefreshSeconds);
  const auto read = [](std::span<std::int32_t> out) { read_sources(live(), out); };
  const auto interval = [] { return static_cast<long>(cfg().KNXInterval); };
  while (const auto kind = tracker.next_pass(stop, read, interval)) {
    const auto write_due = [&](Tunnel& t) {
      for (int n = 1; n <= kDatapointCount; ++n) {
        const Reading r = read_source(n, live());
        if (!tracker.due(*kind, n - 1, r.raw)) continue;
        char text[60];
        copy_text(text, sizeof text, s.DPT[n - 1]);
        const GroupWrite w{s.DPT[n - 1], static_cast<std::uint16_t>(GetDestAddr(text)), encode(n, r)};
        t.write(w);
        tracker.sent(n - 1, r.raw);  // sent or not: no retry
      }
    };
    const auto started = time_source().now();
    const PassResult res = pass(stop_fd, write_due);
    if (res.stopped) return;
    tracker.pass_done(res.connect_answer);
    // A pass that failed at once (no socket, no bind) must not turn a
    // pending change into a loop that spins and floods the log.
    if (!res.connect_answer && time_source().now() - started < 1s && !tracker.idle(stop)) return;
  }
}

}  // namespace knx

void KNXSender(int index, std::stop_token stop) { knx::run_sender(index, std::move(stop), knx::gateway_pass); }

}  // namespace kivd
