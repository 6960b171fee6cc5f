#include <chrono>

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
  if (!s.KNXUsing) {
    log_line("Thread %d: KNX interface not used ...", index);
    return;
  }
  log_line("Thread %d: Starting knx interface...", index);
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
  LastSent last{};
  bool first_pass = true;
  long cycle = 0;    // seconds waited since the last cyclic pass
  long refresh = 0;  // seconds waited since the last refresh pass

  for (;;) {
    PassKind kind;
    for (;;) {
      if (stop.stop_requested()) return;
      const int interval = cfg().KNXInterval;
      if (counts.cyclic > 0 && cycle > interval) {
        kind.cyclic = true;
        cycle = 0;
        break;
      }
      if (any_change(s, live(), last)) {
        kind.cyclic = cycle >= interval;
        if (kind.cyclic) cycle = 0;
        break;
      }
      ++cycle;
      ++refresh;
      if (!sleep_for(1s, stop)) return;
    }
    bool refresh_pass = false;
    if (refresh > kRefreshSeconds) {
      refresh = 0;
      refresh_pass = true;
    }
    kind.send_all_on_change = first_pass || refresh_pass;

    const auto write_due = [&](Tunnel& t) {
      for (int n = 1; n <= kDatapointCount; ++n) {
        if (!datapoint_enabled(s, n)) continue;
        const Reading r = read_source(n, live());
        if (!is_due(s, n, kind, r.raw, last)) continue;
        char text[60];
        copy_text(text, sizeof text, s.DPT[n - 1]);
        const GroupWrite w{s.DPT[n - 1], static_cast<std::uint16_t>(GetDestAddr(text)), encode(n, r)};
        t.write(w);
        if (!is_cyclic(n)) last[n - 1] = r.raw;  // sent or not: no retry
      }
    };
    const auto started = time_source().now();
    const PassResult res = pass(stop_fd, write_due);
    if (res.stopped) return;
    if (res.connect_answer) {
      first_pass = false;
    } else if (time_source().now() - started < 1s) {
      // A pass that failed at once (no socket, no bind) must not turn a
      // pending change into a loop that spins and floods the log.
      ++cycle;
      ++refresh;
      if (!sleep_for(1s, stop)) return;
    }
  }
}

}  // namespace knx

void KNXSender(int index, std::stop_token stop) { knx::run_sender(index, std::move(stop), knx::gateway_pass); }

}  // namespace kivd
