#include "mqtt/mqtt_session.hpp"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

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

}  // namespace

Session::Session(const SessionParams& p) : params_(p) {
  init_library();
  mosq_ = mosquitto_new(params_.client_id.c_str(), true, this);
  if (!mosq_) {
    setup_error_ = "out of memory";
    return;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_disconnect_callback_set(mosq_, on_disconnect);
  mosquitto_message_callback_set(mosq_, on_message);
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
    mosq_ = nullptr;
  }
}

Session::~Session() {
  if (mosq_) mosquitto_destroy(mosq_);
}

bool Session::connect(std::string& why) {
  connected_ = false;
  refusal_ = 0;
  const int rc = started_ ? mosquitto_reconnect_async(mosq_)
                          : mosquitto_connect_async(mosq_, params_.host.c_str(), params_.port, kKeepAliveSeconds);
  // The host and port are kept even when the first attempt failed.
  started_ = true;
  if (rc == MOSQ_ERR_SUCCESS) return true;
  why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
  return false;
}

bool Session::step(std::chrono::milliseconds timeout, std::string& why) {
  const int rc = mosquitto_loop(mosq_, static_cast<int>(timeout.count()), 1);
  if (rc == MOSQ_ERR_SUCCESS) return true;
  connected_ = false;
  if (refusal_ != 0)
    why = mosquitto_connack_string(refusal_);
  else
    why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
  return false;
}

bool Session::publish(const char* topic, std::string_view payload, bool retain, int qos) {
  if (!connected_) return false;
  return mosquitto_publish(mosq_, nullptr, topic, static_cast<int>(payload.size()), payload.data(), qos, retain) ==
         MOSQ_ERR_SUCCESS;
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

void Session::on_disconnect(mosquitto*, void* self, int) { static_cast<Session*>(self)->connected_ = false; }

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
