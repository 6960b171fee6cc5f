#include "mqtt/mqtt_thread.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "core/change_tracker.hpp"
#include "core/clock.hpp"
#include "core/daemon_state.hpp"
#include "core/live_values.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/utils.hpp"
#include "mqtt/discovery_record.hpp"
#include "mqtt/mqtt_commands.hpp"
#include "mqtt/mqtt_discovery.hpp"
#include "mqtt/mqtt_session.hpp"
#include "mqtt/mqtt_values.hpp"
#include "core/control_vars.hpp"

namespace kivd {

namespace mqtt {

namespace {

using namespace std::chrono_literals;
using Steady = Clock::Steady;

constexpr auto kStep = 500ms;  // longest time the library's loop holds the thread (and a stop waits)
constexpr auto kTick = 1s;     // how often changed values are looked for
constexpr std::chrono::seconds kMaxBackoff = 60s;
constexpr auto kClearFor = 10s;  // how long an unused pass tries to remove the discovery

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

DeviceInfo device_info(const Settings& s) {
  const std::string host = host_name();
  DeviceInfo d;
  d.node = node_id(host);
  char product[60];
  live().wb_product_id.copy_to(product);
  d.model = std::string_view(product) == "wallbox not found" ? "charging controller" : product;
  d.sw_version = KIVVersion();
  d.url = "http://" + host + ":" + std::to_string(s.WebPort) + "/";
  return d;
}

SessionParams session_params(const Settings& s) {
  SessionParams p;
  p.client_id = node_id(host_name());
  p.host = s.MqttHost;
  p.port = s.MqttPort;
  p.user = s.MqttUser;
  p.password = s.MqttPassword;
  p.tls = s.MqttTls;
  p.ca_file = s.MqttCaFile;
  p.will_topic = s.MqttTopic + "/status";
  return p;
}

// Sends the values of one pass: changed ones, or every one.
class Publisher {
 public:
  explicit Publisher(const std::string& base)
      : tracker_(std::vector<ChangeTracker::Kind>(state_values().size(), ChangeTracker::Kind::OnChange), LONG_MAX),
        snapshot_(state_values().size()) {
    for (const StateValue& v : state_values()) topics_.push_back(base + "/" + v.object);
  }

  void publish(Session& session, bool every) {
    const auto values = state_values();
    for (std::size_t i = 0; i < values.size(); ++i) snapshot_[i] = values[i].read();
    ChangeTracker::Pass pass{false, true};
    if (!every) {
      const auto due = tracker_.pass_due(snapshot_, LONG_MAX);
      if (!due) return;
      pass = *due;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!tracker_.due(pass, i, snapshot_[i])) continue;
      char payload[64];
      const std::size_t n = format_value(values[i], snapshot_[i], payload);
      session.publish(topics_[i].c_str(), std::string_view(payload, n), true);
      tracker_.sent(i, snapshot_[i]);
    }
    tracker_.pass_done(true);
  }

 private:
  ChangeTracker tracker_;
  std::vector<std::int32_t> snapshot_;
  std::vector<std::string> topics_;
};

class Client {
 public:
  Client(const Settings& s, std::stop_token stop)
      : s_(s), stop_(std::move(stop)), session_(session_params(s)), publisher_(s.MqttTopic),
        status_(s.MqttTopic + "/status"), commands_(s.MqttTopic + "/set/"), result_(s.MqttTopic + "/set/result") {}

  void run() {
    if (!session_.ready()) {
      log_line("MQTT: client could not be set up (%s)...exit!", session_.setup_error().c_str());
      return;
    }
    std::chrono::seconds backoff = 1s;
    while (!stop_.stop_requested()) {
      std::string why;
      if (session_.connect(why, stop_)) {
        while (!stop_.stop_requested() && session_.step(kStep, why)) {
          if (session_.take_connected()) {
            connected();
            backoff = 1s;
          }
          handle_commands();
          if (session_.connected()) tick();
        }
      }
      if (stop_.stop_requested()) break;
      outage(why);
      if (!sleep_for(backoff, stop_)) break;
      backoff = std::min(backoff * 2, kMaxBackoff);
    }
    if (session_.connected()) {
      session_.publish(status_.c_str(), "offline", true, 1);
      session_.close();
    }
  }

 private:
  void connected() {
    log_line("MQTT: connected to broker %s:%d", s_.MqttHost.c_str(), s_.MqttPort);
    outage_logged_ = false;
    was_connected_ = true;
    session_.publish(status_.c_str(), "online", true, 1);
    session_.subscribe((commands_ + "+").c_str());
    // Configs left from before (discovery off now, another prefix or host
    // name) are removed; the current ones are recorded.
    std::vector<std::string> old = take_published();
    std::vector<std::string> topics;
    if (s_.MqttDiscovery) {
      for (const Message& m : discovery_messages(device_info(s_), s_.MqttTopic, s_.MqttDiscoveryPrefix)) {
        session_.publish(m.topic.c_str(), m.payload, true, 1);
        topics.push_back(m.topic);
      }
    }
    for (const std::string& t : old)
      if (std::find(topics.begin(), topics.end(), t) == topics.end()) session_.publish(t.c_str(), "", true, 1);
    if (!topics.empty()) remember_published(topics);
    publisher_.publish(session_, true);
    const auto now = time_source().now();
    next_tick_ = now + kTick;
    next_full_ = now + std::chrono::seconds(s_.MqttInterval);
  }

  void tick() {
    const auto now = time_source().now();
    if (now < next_tick_) return;
    next_tick_ = now + kTick;
    const bool every = now >= next_full_;
    if (every) next_full_ = now + std::chrono::seconds(s_.MqttInterval);
    publisher_.publish(session_, every);
  }

  void handle_commands() {
    for (const Incoming& in : session_.incoming()) {
      if (in.topic.compare(0, commands_.size(), commands_) != 0) continue;
      const std::string name = in.topic.substr(commands_.size());
      if (name == "result") continue;  // our own answers
      // A retained command would be applied again at every connect.
      if (in.retained) {
        log_line("MQTT: retained command on %s ignored", printable(in.topic, 80).c_str());
        continue;
      }
      const Command c = parse_command(name, in.payload);
      if (c.accepted) {
        SetVariables(c.pair);
        debug_line("MQTT: command %s applied", c.pair.c_str());
      } else {
        log_line("MQTT: command %s", printable(c.result, 120).c_str());
      }
      session_.publish(result_.c_str(), c.result, false);
    }
    session_.incoming().clear();
  }

  // One line per outage; the next connection ends it.
  void outage(const std::string& why) {
    if (outage_logged_) return;
    outage_logged_ = true;
    if (std::exchange(was_connected_, false))
      log_line("MQTT: connection to broker %s:%d lost (%s), reconnecting in the background", s_.MqttHost.c_str(),
               s_.MqttPort, why.c_str());
    else if (session_.refusal() != 0)
      log_line("MQTT: broker %s:%d refused the connection: %s", s_.MqttHost.c_str(), s_.MqttPort, why.c_str());
    else
      log_line("MQTT: broker %s:%d not reachable (%s), retrying in the background", s_.MqttHost.c_str(), s_.MqttPort,
               why.c_str());
  }

  const Settings& s_;
  std::stop_token stop_;
  Session session_;
  Publisher publisher_;
  const std::string status_, commands_, result_;
  bool outage_logged_ = false, was_connected_ = false;
  Steady::time_point next_tick_{}, next_full_{};
};

// Removes the discovery configs an earlier pass published, for a moment at most.
void clear_left_discovery(const Settings& s, const std::stop_token& stop) {
  const std::vector<std::string> topics = take_published();
  if (topics.empty() || s.MqttHost.empty()) return;
  Session session(session_params(s));
  std::string why = "no connection";
  const auto until = time_source().now() + kClearFor;
  bool done = false;
  if (session.ready() && session.connect(why, stop)) {
    bool sent = false;
    while (!stop.stop_requested() && time_source().now() < until && session.step(kStep, why)) {
      if (session.take_connected()) {
        for (const std::string& t : topics) session.publish(t.c_str(), "", true, 1);
        sent = true;
      }
      // Done once the broker has acknowledged every removal.
      if (sent && session.unacknowledged() == 0) {
        session.close();
        done = true;
        break;
      }
    }
  }
  if (done) {
    log_line("MQTT: discovery messages removed from broker %s:%d", s.MqttHost.c_str(), s.MqttPort);
    return;
  }
  remember_published(topics);  // tried again at the next pass
  log_line("MQTT: discovery messages could not be removed from broker %s:%d (%s)", s.MqttHost.c_str(), s.MqttPort,
             why.c_str());
}

}  // namespace

}  // namespace mqtt

void StartMQTT(int index, std::stop_token stop) {
  const Settings& s = cfg();  // the settings of this restart pass
  if (!log_worker_start(index, s.MqttUsing, "MQTT client not used...", "Starting MQTT client...")) {
    mqtt::clear_left_discovery(s, stop);
    return;
  }
  if (s.MqttHost.empty()) {
    log_line("MQTT: no broker host set...exit!");
    return;
  }
  mqtt::Client(s, std::move(stop)).run();
}

}  // namespace kivd
