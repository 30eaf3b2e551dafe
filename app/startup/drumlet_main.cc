// drumlet: switches on the optical drives that sleep in runtime suspend. Exit code 1 while one of
// them is waking up (the caller then waits for the drives to appear), else 0.
#include <cstdio>
#include <cstring>

#include "app/startup/drive_power.h"

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(
        "Usage: drumlet\n"
        "Wakes the optical drives (/sys/class/block/sr*) whose runtime power status is not\n"
        "\"active\" by opening their device nodes. The recovery media program starts it from its\n"
        "own folder before it lists the drives.\n\n"
        "Exit status: 1 while a drive is still waking up (the caller waits for it to appear),\n"
        "0 otherwise.\n",
        stdout);
    return 0;
  }
  return quenvar::app::WakeOpticalDrives("/sys/class/block", "/dev");
}
