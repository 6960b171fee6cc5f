// One libmosquitto client, driven from the MQTT worker's own thread: step()
// runs the library's loop for a bounded moment, so the worker sees its stop
// between two steps. A connection attempt looks the broker's name up, which
// can block for as long as the resolver waits: it runs on a helper thread,
// and a stop leaves it behind (the helper then frees the client).
#pragma once

#include <chrono>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace kivd::mqtt {

struct SessionParams {
  std::string client_id, host;
  int port = 1883;
  std::string user, password;
  bool tls = false;
  std::string ca_file;  // empty: the system's CAs
  std::string will_topic;
};

struct Incoming {
  std::string topic, payload;
  bool retained = false;
};

class Session {
 public:
  explicit Session(const SessionParams& p);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // False (and why) when the client could not be set up at all.
  bool ready() const { return mosq_ != nullptr; }
  const std::string& setup_error() const { return setup_error_; }

  // Starts a connection attempt (name lookup and the TCP connect begun);
  // false and why when it failed at once or stop came first. After a stop
  // the session is left alone: nothing else may be called but the destructor.
  bool connect(std::string& why, const std::stop_token& stop);
  // Runs the loop up to timeout. False when the connection ended or an
  // attempt failed; why says how.
  bool step(std::chrono::milliseconds timeout, std::string& why);

  bool connected() const { return connected_; }
  // Once per connection: true right after the broker accepted us.
  bool take_connected() { return std::exchange(just_connected_, false); }
  // The broker's refusal of the last attempt, 0 when none.
  int refusal() const { return refusal_; }
  std::vector<Incoming>& incoming() { return incoming_; }

  bool publish(const char* topic, std::string_view payload, bool retain, int qos = 0);
  // QoS 1 messages the broker has not acknowledged yet (the library holds
  // back all but 20 of them until it does).
  int unacknowledged() const { return unacknowledged_; }
  bool subscribe(const char* pattern);
  // Sends the DISCONNECT and what is still queued, for at most a moment.
  void close();

 private:
  static void on_connect(mosquitto*, void* self, int rc);
  static void on_disconnect(mosquitto*, void* self, int rc);
  static void on_message(mosquitto*, void* self, const mosquitto_message* m);
  static void on_publish(mosquitto*, void* self, int mid);

  struct Handle;  // owns the library's client, shared with an attempt's helper

  SessionParams params_;
  std::shared_ptr<Handle> handle_;
  mosquitto* mosq_ = nullptr;
  std::string setup_error_;
  bool started_ = false;  // connect_async was called once
  bool connected_ = false, just_connected_ = false;
  int refusal_ = 0;
  int unacknowledged_ = 0;
  std::vector<Incoming> incoming_;
};

}  // namespace kivd::mqtt
