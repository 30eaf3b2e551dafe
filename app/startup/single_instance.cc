#include "app/startup/single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace quenvar::app {
namespace {

constexpr char kActivateRequest[] = "raise\n";
constexpr char kActivateReply[] = "ok\n";

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Waits until fd is ready for events or timeout_ms passes; false on time-out or error.
bool WaitFor(int fd, short events, int timeout_ms) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, timeout_ms);
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool FillSocketAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

}  // namespace

InstanceLock::InstanceLock(std::string path) : path_(std::move(path)) {}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the flock
}

std::string InstanceLock::DefaultPath() {
  const char* path = std::getenv("QUENVAR_INSTANCE_LOCK");
  if (path && *path) return path;
  return "/run/quenvar/instance.lock";
}

std::string InstanceLock::UserFallbackPath() { return UserRuntimeDir() + "/quenvar-instance.lock"; }

InstanceClaim InstanceLock::Claim() {
  if (fd_ >= 0) return InstanceClaim::kHeld;
  return ClaimAt(path_, true);
}

InstanceClaim InstanceLock::ClaimAt(const std::string& path, bool may_fall_back) {
  // The folder is shared by every user (sticky, like /tmp), so each user can create the file.
  const std::string folder = ParentOf(path);
  if (::mkdir(folder.c_str(), 01777) == 0) ::chmod(folder.c_str(), 01777);

  bool owner = true;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES) {
    // Another user's file; flock works on a descriptor opened for reading as well.
    owner = false;
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) return InstanceClaim::kRunningOtherUser;
  }
  if (fd < 0) {
    if (may_fall_back) {
      path_ = UserFallbackPath();
      return ClaimAt(path_, false);
    }
    // Nothing can be locked at all; carry on unguarded as a failed mutex creation would.
    return InstanceClaim::kHeld;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // Readable by everyone so that other users' starts can see that it is held.
    if (owner) ::fchmod(fd, 0644);
    fd_ = fd;
    return InstanceClaim::kHeld;
  }
  const int error = errno;
  const long holder = error == EWOULDBLOCK ? LockHolderUid(fd) : -1;
  ::close(fd);
  if (holder >= 0 && static_cast<uid_t>(holder) != ::geteuid()) return InstanceClaim::kRunningOtherUser;
  return InstanceClaim::kRunningSameUser;
}

long LockHolderUid(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return -1;
  char device[64];
  std::snprintf(device, sizeof(device), "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"; waiters carry "->" after the number.
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    fields >> number >> kind;
    if (kind == "->") continue;
    fields >> mode >> access >> pid >> where;
    if (kind != "FLOCK" || where != device) continue;
    struct stat process;
    if (::stat(("/proc/" + pid).c_str(), &process) != 0) return -1;
    return static_cast<long>(process.st_uid);
  }
  return -1;
}

std::string UserRuntimeDir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return runtime;
  const std::string folder = "/tmp/quenvar-" + std::to_string(::geteuid());
  ::mkdir(folder.c_str(), 0700);
  return folder;
}

std::string ActivationSocketPath() { return UserRuntimeDir() + "/quenvar-main-window.sock"; }

ActivationServer::~ActivationServer() {
  if (fd_ < 0) return;
  ::close(fd_);
  // Remove the socket only when it is still the one this server created.
  struct stat info;
  if (::lstat(path_.c_str(), &info) == 0 && info.st_ino == inode_) ::unlink(path_.c_str());
}

platform::Status ActivationServer::Listen(const std::string& path) {
  if (fd_ >= 0) return platform::Status::FromErrno(EBUSY, "listen " + path);
  sockaddr_un address;
  if (!FillSocketAddress(path, &address)) return platform::Status::FromErrno(ENAMETOOLONG, "bind " + path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return platform::Status::FromErrno(errno, "socket " + path);
  struct stat old;
  if (::lstat(path.c_str(), &old) == 0 && S_ISSOCK(old.st_mode)) ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 4) != 0) {
    const int error = errno;
    ::close(fd);
    return platform::Status::FromErrno(error, "bind " + path);
  }
  ::chmod(path.c_str(), 0600);
  struct stat info;
  inode_ = ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  fd_ = fd;
  path_ = path;
  return platform::Status::Ok();
}

int ActivationServer::AcceptPending(const std::function<void()>& on_activate) {
  if (fd_ < 0) return 0;
  int answered = 0;
  for (;;) {
    const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) {
      if (errno == EINTR) continue;
      break;  // EAGAIN: nothing more pending
    }
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    char request[sizeof(kActivateRequest)] = {};
    bool valid = ::getsockopt(peer, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
                 credentials.uid == ::geteuid() && WaitFor(peer, POLLIN, 500);
    if (valid) {
      const ssize_t got = ::recv(peer, request, sizeof(request) - 1, MSG_DONTWAIT);
      valid = got == static_cast<ssize_t>(std::strlen(kActivateRequest)) &&
              std::memcmp(request, kActivateRequest, static_cast<size_t>(got)) == 0;
    }
    if (valid) {
      if (on_activate) on_activate();
      ::send(peer, kActivateReply, std::strlen(kActivateReply), MSG_NOSIGNAL | MSG_DONTWAIT);
      ++answered;
    }
    ::close(peer);
  }
  return answered;
}

bool ActivateRunningInstance(const std::string& path, int timeout_ms) {
  sockaddr_un address;
  if (!FillSocketAddress(path, &address)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      ::send(fd, kActivateRequest, std::strlen(kActivateRequest), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(std::strlen(kActivateRequest)) &&
      WaitFor(fd, POLLIN, timeout_ms)) {
    char reply[8] = {};
    const ssize_t got = ::recv(fd, reply, sizeof(reply) - 1, 0);
    answered = got == static_cast<ssize_t>(std::strlen(kActivateReply)) &&
               std::memcmp(reply, kActivateReply, static_cast<size_t>(got)) == 0;
  }
  ::close(fd);
  return answered;
}

}  // namespace quenvar::app
