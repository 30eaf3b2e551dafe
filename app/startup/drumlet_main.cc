// drumlet: switches on the optical drives that sleep in runtime suspend. Exit code 1 while one of
// them is waking up (the caller then waits for the drives to appear), else 0.
#include "app/startup/drive_power.h"

int main() { return quenvar::app::WakeOpticalDrives("/sys/class/block", "/dev"); }
