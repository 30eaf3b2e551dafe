// Orvex start-up: switching the optical drives on before they are listed.
//
// drumlet is a small helper program installed beside orvex. It asks every optical drive that the
// kernel has put into runtime suspend to resume (opening the device node resumes it) and ends with
// exit code 1 when any drive was not active, so that the caller waits for it, else 0.
// RunDrivePowerHelper starts drumlet from the program's own folder and waits for it while keeping
// the caller's windows serviced.
#ifndef QUENVAR_APP_STARTUP_DRIVE_POWER_H_
#define QUENVAR_APP_STARTUP_DRIVE_POWER_H_

#include <cstdint>
#include <functional>
#include <string>

namespace quenvar::app {

// drumlet's work: for every block device "sr*" under sysfs_block (normally /sys/class/block) whose
// device/power/runtime_status is not "active" (nor missing or "unsupported"), opens
// dev_root + "/" + name to resume it. Returns 1 when any such drive was found, else 0.
int WakeOpticalDrives(const std::string& sysfs_block, const std::string& dev_root);

// The folder of the running program's file (from /proc/self/exe), empty when unknown.
std::string OwnProgramFolder();
// The helper beside the program: OwnProgramFolder() + "/drumlet"; empty when the folder is unknown.
std::string DrivePowerHelperPath();

// Starts helper_path (with its own path as its only argument) and waits for it to end, calling
// pump about every 20 ms meanwhile. Returns the helper's exit code; 0 when the path is empty, the
// program cannot be started, or it did not end normally.
uint32_t RunDrivePowerHelper(const std::string& helper_path, const std::function<void()>& pump);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_STARTUP_DRIVE_POWER_H_
