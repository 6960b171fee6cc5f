#include "mqtt/mqtt_session.hpp"

#include <mosquitto.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "core/test_hooks.hpp"

namespace kivd::mqtt {

namespace {

constexpr int kKeepAliveSeconds = 20;  // also bounds a connection attempt that hangs
constexpr const char* kSystemCaPath = "/etc/ssl/certs";

// mosquitto_new ignores SIGPIPE process-wide; the daemon does so itself
// at start (core/signals.cpp), so nothing changes when the client starts.
void init_library() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

// One connection attempt on its helper thread; whoever ends last frees it.
struct Attempt {
  std::mutex m;
  std::condition_variable_any cv;
  bool done = false;
  int rc = MOSQ_ERR_SUCCESS, err = 0;
};

// The library's text, or ours where it has none (2.0.11 calls a keep-alive
// time-out, also of a connect that gets no answer, an "Unknown error.").
std::string error_text(int rc, int err) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(err);
  if (rc == MOSQ_ERR_KEEPALIVE) return "no answer from the broker";
  return mosquitto_strerror(rc);
}

}  // namespace

struct Session::Handle {
  mosquitto* mosq = nullptr;
  ~Handle() {
    if (mosq) mosquitto_destroy(mosq);
  }
};

Session::Session(const SessionParams& p) : params_(p), handle_(std::make_shared<Handle>()) {
  init_library();
  mosq_ = handle_->mosq = mosquitto_new(params_.client_id.c_str(), true, this);
  if (!mosq_) {
    setup_error_ = "out of memory";
    return;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_disconnect_callback_set(mosq_, on_disconnect);
  mosquitto_message_callback_set(mosq_, on_message);
  mosquitto_publish_callback_set(mosq_, on_publish);
  const char* offline = "offline";
  int rc = mosquitto_will_set(mosq_, params_.will_topic.c_str(), 7, offline, 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !params_.user.empty())
    rc = mosquitto_username_pw_set(mosq_, params_.user.c_str(), params_.password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && params_.tls)
    rc = mosquitto_tls_set(mosq_, params_.ca_file.empty() ? nullptr : params_.ca_file.c_str(),
                           params_.ca_file.empty() ? kSystemCaPath : nullptr, nullptr, nullptr, nullptr);
  if (rc != MOSQ_ERR_SUCCESS) {
    setup_error_ = mosquitto_strerror(rc);
    mosquitto_destroy(mosq_);
    mosq_ = handle_->mosq = nullptr;
  }
}

Session::~Session() = default;  // the client goes with the last holder of its handle

bool Session::connect(std::string& why, const std::stop_token& stop) {
  connected_ = false;
  refusal_ = 0;
  auto attempt = std::make_shared<Attempt>();
  // The helper owns copies of all it uses: it may outlive this session.
  std::thread([attempt, handle = handle_, host = params_.host, port = params_.port, again = started_,
               delay = test_mqtt_lookup_delay()] {
    // Not stoppable on purpose: it stands for a lookup the resolver holds.
    if (delay > 0) std::this_thread::sleep_for(std::chrono::seconds(delay));
    const int rc = again ? mosquitto_reconnect_async(handle->mosq)
                         : mosquitto_connect_async(handle->mosq, host.c_str(), port, kKeepAliveSeconds);
    const int err = errno;
    const std::lock_guard lock(attempt->m);
    attempt->rc = rc;
    attempt->err = err;
    attempt->done = true;
    attempt->cv.notify_all();
  }).detach();
  // The host and port are kept even when the first attempt failed.
  started_ = true;
  std::unique_lock lock(attempt->m);
  if (!attempt->cv.wait(lock, stop, [&] { return attempt->done; })) {
    // The helper still uses the client: this session lets go of it.
    mosq_ = nullptr;
    handle_.reset();
    why = "stopped";
    return false;
  }
  if (attempt->rc == MOSQ_ERR_SUCCESS) return true;
  why = error_text(attempt->rc, attempt->err);
  return false;
}

bool Session::step(std::chrono::milliseconds timeout, std::string& why) {
  const int rc = mosquitto_loop(mosq_, static_cast<int>(timeout.count()), 1);
  if (rc == MOSQ_ERR_SUCCESS) return true;
  connected_ = false;
  if (refusal_ != 0)
    why = mosquitto_connack_string(refusal_);
  else
    why = error_text(rc, errno);
  return false;
}

bool Session::publish(const char* topic, std::string_view payload, bool retain, int qos) {
  if (!connected_) return false;
  if (mosquitto_publish(mosq_, nullptr, topic, static_cast<int>(payload.size()), payload.data(), qos, retain) !=
      MOSQ_ERR_SUCCESS)
    return false;
  if (qos > 0) ++unacknowledged_;
  return true;
}

bool Session::subscribe(const char* pattern) {
  return connected_ && mosquitto_subscribe(mosq_, nullptr, pattern, 0) == MOSQ_ERR_SUCCESS;
}

void Session::close() {
  if (!connected_) return;
  mosquitto_disconnect(mosq_);
  // What the socket did not take at once goes out here; the library ends
  // the loop with an error once the DISCONNECT is written.
  for (int i = 0; i < 5 && mosquitto_want_write(mosq_); ++i)
    if (mosquitto_loop(mosq_, 50, 1) != MOSQ_ERR_SUCCESS) break;
  connected_ = false;
}

void Session::on_connect(mosquitto*, void* self, int rc) {
  auto* s = static_cast<Session*>(self);
  s->refusal_ = rc;
  s->connected_ = rc == 0;
  s->just_connected_ = rc == 0;
}

void Session::on_disconnect(mosquitto*, void* self, int) {
  auto* s = static_cast<Session*>(self);
  s->connected_ = false;
  s->unacknowledged_ = 0;  // a new connection starts afresh
}

void Session::on_publish(mosquitto*, void* self, int) {
  auto* s = static_cast<Session*>(self);
  if (s->unacknowledged_ > 0) --s->unacknowledged_;
}

void Session::on_message(mosquitto*, void* self, const mosquitto_message* m) {
  auto* s = static_cast<Session*>(self);
  // Commands are a few bytes; anything large is no command of ours.
  if (s->incoming_.size() >= 16 || m->payloadlen > 256) return;
  Incoming in;
  in.topic = m->topic ? m->topic : "";
  if (m->payloadlen > 0) in.payload.assign(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
  in.retained = m->retain;
  s->incoming_.push_back(std::move(in));
}

}  // namespace kivd::mqtt
