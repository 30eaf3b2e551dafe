// Platform layer: events, waits on several events, and threads with exit codes.
//
// An Event is either manual-reset (stays set until Reset, releases every waiter) or auto-reset
// (a successful wait consumes it, so each Set releases exactly one wait). WaitForEvents waits for
// any one or for all of several events with a time-out; waiting for all consumes the auto-reset
// ones together, only when every event is set at the same moment. A Thread runs a body returning a
// 32-bit exit code; its end is a manual-reset event, so it can be waited for with other events.
// Everything here is thread-safe. Events must outlive every wait on them.
#ifndef QUENVAR_PLATFORM_SYNC_H_
#define QUENVAR_PLATFORM_SYNC_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace quenvar::platform {

// A time-out that never ends.
inline constexpr uint32_t kInfinite = UINT32_MAX;
// What WaitForEvents returns when the time-out passed.
inline constexpr size_t kWaitTimeout = static_cast<size_t>(-1);
// The exit code of a thread that is still running.
inline constexpr uint32_t kStillActive = 259;

class Event {
 public:
  enum class Kind { kManualReset, kAutoReset };
  explicit Event(Kind kind, bool initially_set = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when the event was (or became) set within timeout_ms; consumes an auto-reset event.
  bool Wait(uint32_t timeout_ms = kInfinite);
  // The current state, without consuming it.
  bool IsSet() const;

 private:
  friend size_t WaitForEvents(std::span<Event* const> events, bool wait_all, uint32_t timeout_ms);
  struct Waiter;

  const Kind kind_;
  mutable std::mutex mu_;
  bool set_;
  std::vector<Waiter*> waiters_;
};

// Waits until one of events (wait_all false: returns its index, the lowest set one) or all of them
// (wait_all true: returns 0) are set, or timeout_ms passes (returns kWaitTimeout). An empty span
// times out at once. The same event may not appear twice.
size_t WaitForEvents(std::span<Event* const> events, bool wait_all, uint32_t timeout_ms);

class Thread {
 public:
  using Body = std::function<uint32_t()>;
  // Starts body on a new thread; null when the system cannot create one.
  static std::unique_ptr<Thread> Start(Body body);
  // Letting go of a running thread does not stop it; it finishes on its own.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Waits up to timeout_ms for the body to return; true when it has.
  bool Join(uint32_t timeout_ms = kInfinite);
  // kStillActive while running, then the body's result.
  uint32_t ExitCode() const;
  // Set when the body has returned; for WaitForEvents.
  Event* ended();

 private:
  struct State;
  explicit Thread(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_SYNC_H_
