// Orvex guards: the battery question before a run.
//
// A recording that loses power half-way leaves an unusable disc, so Create first asks whether to go
// on when the computer runs on battery. The state comes from the kernel's power supply class
// (/sys/class/power_supply, one folder per supply with "type", "online", "scope" files): the AC
// line is offline when the machine has a system battery and none of its external supplies (mains
// adapters, USB power delivery) is online. A machine without a battery, without readable supplies
// or without any external supply is never "on battery": the run simply goes on. Main thread only.
#ifndef QUENVAR_APP_GUARDS_BATTERY_H_
#define QUENVAR_APP_GUARDS_BATTERY_H_

#include <string>

#include "app/prompting/prompt.h"

namespace quenvar::app {

inline constexpr char kPowerSupplyDir[] = "/sys/class/power_supply";

// The AC line status as the platform's power status reports it.
enum class AcLineStatus : int { kOffline = 0, kOnline = 1, kUnknown = 255 };

// Reads the supplies under folder (kPowerSupplyDir on a real machine).
AcLineStatus ReadAcLineStatus(const std::string& folder = kPowerSupplyDir);

// 1 = go on, 0 = the user declined. On battery (AC offline) asks string 15066 with Yes/No, the
// application title and the information icon, owned by owner; otherwise asks nothing.
int CheckBattery(PromptWindow owner, const std::string& folder = kPowerSupplyDir);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_GUARDS_BATTERY_H_
