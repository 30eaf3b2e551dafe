// Orvex guards: keeping the machine awake and running while a job writes, verifies or erases.
//
// The keep-awake request of a job (ControllerUi::SetExecutionState with continuous + system
// required) becomes a "block" inhibitor of the login manager for sleep, shutdown and idle: while
// it is held, suspend, hibernate, power-off and reboot requests of other programs are refused
// and the user is told who blocks them. The inhibitor is a file descriptor; closing it ends the
// block, and the login manager also ends it when the process dies, so a crash never leaves the
// machine unable to sleep.
//
// InhibitorSource is the seam to the login manager: LogindInhibitorSource calls
// org.freedesktop.login1.Manager.Inhibit on the system bus; tests hand in their own source.
// Without a login manager (containers, CI) acquiring fails and the guard degrades silently: the
// job still runs. SleepInhibitor and KeepAwake are used on the main thread only.
#ifndef QUENVAR_APP_GUARDS_SLEEP_INHIBITOR_H_
#define QUENVAR_APP_GUARDS_SLEEP_INHIBITOR_H_

#include <cstdint>
#include <memory>
#include <string>

namespace quenvar::app {

struct InhibitRequest {
  std::string what;  // colon-separated: "shutdown:sleep:idle"
  std::string who;   // the application title
  std::string why;   // shown to the user whose request is refused
  std::string mode;  // "block" or "delay"
};

class InhibitorSource {
 public:
  virtual ~InhibitorSource() = default;
  // A file descriptor that holds the inhibitor until it is closed (owned by the caller), or -1
  // with *error.
  virtual int Inhibit(const InhibitRequest& request, std::string* error) = 0;
};

// The login manager on the system bus.
class LogindInhibitorSource : public InhibitorSource {
 public:
  int Inhibit(const InhibitRequest& request, std::string* error) override;
};

// One inhibitor, held or not. Acquire while held keeps the one descriptor; Release closes it.
// The destructor releases.
class SleepInhibitor {
 public:
  // source is not owned; null means the login manager.
  explicit SleepInhibitor(InhibitorSource* source = nullptr);
  ~SleepInhibitor();
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;

  // True when the inhibitor is held afterwards. A failure is kept in last_error().
  bool Acquire();
  void Release();
  bool held() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& last_error() const { return last_error_; }

  // The request the program makes: block sleep, shutdown and idle, as the application title,
  // with the refusal notice's first sentence as the reason.
  static InhibitRequest ProgramRequest();

 private:
  std::unique_ptr<InhibitorSource> own_source_;
  InhibitorSource* source_;
  int fd_ = -1;
  std::string last_error_;
};

// The execution state of the main thread: continuous with system required (0x80000041, or any
// continuous state with 0x1) holds the inhibitor, continuous alone (0x80000000) releases it. A
// state without the continuous bit only resets the idle timer on the platform it comes from and
// changes nothing here.
class KeepAwake {
 public:
  explicit KeepAwake(InhibitorSource* source = nullptr) : inhibitor_(source) {}
  void SetExecutionState(uint32_t flags);
  bool held() const { return inhibitor_.held(); }
  SleepInhibitor& inhibitor() { return inhibitor_; }

 private:
  SleepInhibitor inhibitor_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_GUARDS_SLEEP_INHIBITOR_H_
