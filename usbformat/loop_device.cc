#include "loop_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "block_device.h"

namespace quenvar::usbformat {

std::string Capture(const std::string& command, int* exit_code) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    if (exit_code) *exit_code = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  int status = pclose(pipe);
  if (exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

LoopDevice::LoopDevice(uint64_t size_bytes) : dir_("tarnfold-loop-") {
  if (geteuid() != 0) {
    why_ = "loop devices need root";
    return;
  }
  if (dir_.path().empty()) {
    why_ = "no temporary folder";
    return;
  }
  file_ = dir_.Child("stick.img");
  int fd = open(file_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size_bytes)) != 0) {
    if (fd >= 0) close(fd);
    why_ = "cannot create the backing file";
    return;
  }
  close(fd);
  int rc = 0;
  std::string out = Capture("losetup -f --show -P '" + file_ + "' 2>/dev/null", &rc);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  if (rc != 0 || out.empty()) {
    why_ = "losetup failed (no loop device support?)";
    return;
  }
  device_ = out;
}

LoopDevice::~LoopDevice() {
  if (!device_.empty()) {
    Capture("losetup -d '" + device_ + "' 2>/dev/null");
  }
}

bool LoopDevice::Partition(const std::string& script) {
  std::string path = dir_.Child("setup.sfdisk");
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::fputs(script.c_str(), f);
  std::fclose(f);
  int rc = 0;
  Capture("sfdisk --quiet '" + device_ + "' < '" + path + "' >/dev/null 2>&1", &rc);
  return rc == 0;
}

std::string LoopDevice::PartitionNode(int n) const {
  DiskNode disk;
  std::string why;
  if (!ResolveDisk(device_, &disk, &why)) return "";
  return RereadAndFindPartition(disk, n, 5000);
}

std::string LoopDevice::Hash() const {
  std::string out = Capture("sha256sum '" + device_ + "'");
  return out.substr(0, out.find(' '));
}

}  // namespace quenvar::usbformat
