// The worker thread entries and the few calls the core makes into the other
// subsystems. Each entry logs its start or "not used" line with its index
// and returns when its pass is asked to stop.
#pragma once

#include <stop_token>

namespace kivd {

void StartKEBAReceiver(int index, std::stop_token stop);   // 0, wallbox
void StartKIV(int index, std::stop_token stop);            // 1, meter
void StartWebserver(int index, std::stop_token stop);      // 2, web (first pass only)
void ControlKEBA(int index, std::stop_token stop);         // 3, wallbox
void KNXSender(int index, std::stop_token stop);           // 4, knx
void StartStorageSystem(int index, std::stop_token stop);  // 5, storage
void StartSQL(int index, std::stop_token stop);            // 6, db

// Wallbox commands used by the restart cycle; 1 success, 0 failure.
int SwitchEnable(int on);
int SwitchRelais(int on);
int SetCurrent(int mA);

// Database structure check made before each pass when the database is used.
void CheckDatabase();

}  // namespace kivd
