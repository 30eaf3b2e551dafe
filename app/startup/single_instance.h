// Orvex start-up: one instance per machine, and how a second start reaches the first.
//
// The machine-wide instance lock is an flock on a lock file (default /run/quenvar/instance.lock,
// QUENVAR_INSTANCE_LOCK moves it). The file is left behind when the program ends; only the lock
// counts, so a crashed instance never blocks the next start. When the lock is held, the holder is
// found through /proc/locks: a holder of another user is reported as such, one of this user (or
// one that cannot be identified) as a running instance of this user.
//
// The running instance's main window listens on a Unix socket of the user's runtime folder
// ($XDG_RUNTIME_DIR, else a private folder /tmp/quenvar-<uid>). A second start connects, sends one
// request, and the main window raises and activates itself. Only peers of the same user are
// answered.
//
// Objects are used on one thread; the free functions are thread-safe.
#ifndef QUENVAR_APP_STARTUP_SINGLE_INSTANCE_H_
#define QUENVAR_APP_STARTUP_SINGLE_INSTANCE_H_

#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/status.h"

namespace quenvar::app {

enum class InstanceClaim {
  kHeld,              // this process now holds the lock for its whole life
  kRunningSameUser,   // another instance of this user runs
  kRunningOtherUser,  // another user's instance runs
};

class InstanceLock {
 public:
  explicit InstanceLock(std::string path);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // QUENVAR_INSTANCE_LOCK, else /run/quenvar/instance.lock.
  static std::string DefaultPath();
  // The per-user lock used when the machine-wide file cannot be created at all (no /run/quenvar
  // and no right to create it): it still keeps one instance per user.
  static std::string UserFallbackPath();

  // Tries to take the lock. Held locks stay held until the object is destroyed.
  InstanceClaim Claim();
  bool held() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

 private:
  InstanceClaim ClaimAt(const std::string& path, bool may_fall_back);

  std::string path_;
  int fd_ = -1;
};

// The user id of the process that holds an flock on the open file fd, from /proc/locks; -1 when it
// cannot be found.
long LockHolderUid(int fd);

// The user's runtime folder for the program's sockets, created private (0700) when missing.
std::string UserRuntimeDir();
// The socket of the running main window: UserRuntimeDir() + "/quenvar-main-window.sock".
std::string ActivationSocketPath();

// The listening side, owned by the main window.
class ActivationServer {
 public:
  ActivationServer() = default;
  ~ActivationServer();
  ActivationServer(const ActivationServer&) = delete;
  ActivationServer& operator=(const ActivationServer&) = delete;

  // Binds and listens at path, replacing a stale socket left there. Call only while holding the
  // instance lock, which makes any socket already there stale.
  platform::Status Listen(const std::string& path);
  // The listening descriptor (readable when a second start knocks), -1 before Listen.
  int fd() const { return fd_; }
  // Answers every pending request; calls on_activate once per valid request. Returns how many.
  int AcceptPending(const std::function<void()>& on_activate);

 private:
  int fd_ = -1;
  std::string path_;
  ino_t inode_ = 0;
};

// Asks the running instance listening at path to raise its main window. True when it answered;
// false when nobody listens (nothing is shown then).
bool ActivateRunningInstance(const std::string& path, int timeout_ms = 2000);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_STARTUP_SINGLE_INSTANCE_H_
