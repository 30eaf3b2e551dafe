#include "app/startup/drive_power.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace quenvar::app {
namespace {

constexpr int kPumpIntervalMs = 20;

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}

}  // namespace

int WakeOpticalDrives(const std::string& sysfs_block, const std::string& dev_root) {
  DIR* folder = ::opendir(sysfs_block.c_str());
  if (!folder) return 0;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() > 2 && name.compare(0, 2, "sr") == 0) names.push_back(name);
  }
  ::closedir(folder);

  int waking = 0;
  for (const std::string& name : names) {
    const std::string status = ReadFirstLine(sysfs_block + "/" + name + "/device/power/runtime_status");
    if (status.empty() || status == "active" || status == "unsupported") continue;
    waking = 1;
    // The open itself makes the kernel resume the device; nothing is read.
    const int fd = ::open((dev_root + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }
  return waking;
}

std::string OwnProgramFolder() {
  std::vector<char> buffer(4096);
  const ssize_t size = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (size <= 0) return {};
  const std::string path(buffer.data(), static_cast<size_t>(size));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string DrivePowerHelperPath() {
  const std::string folder = OwnProgramFolder();
  return folder.empty() ? std::string() : folder + "/drumlet";
}

uint32_t RunDrivePowerHelper(const std::string& helper_path, const std::function<void()>& pump) {
  if (helper_path.empty()) return 0;
  std::string argument = helper_path;
  char* argv[] = {argument.data(), nullptr};
  pid_t child = 0;
  if (::posix_spawn(&child, helper_path.c_str(), nullptr, nullptr, argv, environ) != 0) return 0;

  // A process descriptor lets the wait wake at the helper's end; without one, poll the child.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) {
      if (pidfd >= 0) ::close(pidfd);
      return 0;
    }
    if (pidfd >= 0) {
      pollfd entry{pidfd, POLLIN, 0};
      ::poll(&entry, 1, kPumpIntervalMs);
    } else {
      ::usleep(kPumpIntervalMs * 1000);
    }
    if (pump) pump();
  }
  if (pidfd >= 0) ::close(pidfd);
  return WIFEXITED(status) ? static_cast<uint32_t>(WEXITSTATUS(status)) : 0;
}

}  // namespace quenvar::app
