// The worker threads of a pass, in the order they start. Each entry logs its
// start or "not used" line with its index and returns when its pass is asked
// to stop.
#pragma once

#include <array>
#include <stop_token>

#include "db/sql_thread.hpp"
#include "knx/knx_thread.hpp"
#include "meter/meter_thread.hpp"
#include "mqtt/mqtt_thread.hpp"
#include "storage/storage_thread.hpp"
#include "wallbox/control_loop.hpp"
#include "wallbox/keba_receiver.hpp"
#include "web/web_thread.hpp"

namespace kivd {

struct Worker {
  void (*entry)(int index, std::stop_token stop);
  const char* thread_name;  // as ps and top show it
};

// The index of a worker is its place here.
inline constexpr std::array<Worker, 8> kWorkers = {{
    {StartKEBAReceiver, "kiv-kebarecv"},
    {StartKIV, "kiv-meter"},
    {StartWebserver, "kiv-web"},  // first pass only, never stopped
    {ControlKEBA, "kiv-control"},
    {KNXSender, "kiv-knx"},
    {StartStorageSystem, "kiv-storage"},
    {StartSQL, "kiv-sql"},
    {StartMQTT, "kiv-mqtt"},
}};
inline constexpr int kWebIndex = 2;

}  // namespace kivd
