#include "platform/sync.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

namespace quenvar::platform {

// A wait in progress, registered with every event it waits on. Set raises its flag under the
// event's mutex, so the waiter cannot go away in between (it unregisters under the same mutex).
struct Event::Waiter {
  std::mutex mu;
  std::condition_variable cv;
  bool woken = false;
};

Event::Event(Kind kind, bool initially_set) : kind_(kind), set_(initially_set) {}
Event::~Event() = default;

void Event::Set() {
  std::lock_guard<std::mutex> lock(mu_);
  set_ = true;
  for (Waiter* waiter : waiters_) {
    std::lock_guard<std::mutex> wait_lock(waiter->mu);
    waiter->woken = true;
    waiter->cv.notify_all();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(mu_);
  return set_;
}

bool Event::Wait(uint32_t timeout_ms) {
  Event* self = this;
  return WaitForEvents(std::span<Event* const>(&self, 1), false, timeout_ms) == 0;
}

namespace {

// Checks the events once; consumes auto-reset events that satisfy the wait.
size_t TryAcquire(std::span<Event* const> events, bool wait_all, const std::vector<Event*>& lock_order,
                  bool (*is_set)(Event*), void (*consume)(Event*), std::mutex& (*mutex_of)(Event*)) {
  if (!wait_all) {
    for (size_t i = 0; i < events.size(); ++i) {
      std::lock_guard<std::mutex> lock(mutex_of(events[i]));
      if (is_set(events[i])) {
        consume(events[i]);
        return i;
      }
    }
    return kWaitTimeout;
  }
  // All at once: hold every mutex (in address order, so two such waits cannot deadlock).
  for (Event* e : lock_order) mutex_of(e).lock();
  bool all = std::all_of(events.begin(), events.end(), is_set);
  if (all) {
    for (Event* e : events) consume(e);
  }
  for (auto it = lock_order.rbegin(); it != lock_order.rend(); ++it) mutex_of(*it).unlock();
  return all ? 0 : kWaitTimeout;
}

}  // namespace

size_t WaitForEvents(std::span<Event* const> events, bool wait_all, uint32_t timeout_ms) {
  if (events.empty()) return kWaitTimeout;
  auto is_set = [](Event* e) { return e->set_; };
  auto consume = [](Event* e) {
    if (e->kind_ == Event::Kind::kAutoReset) e->set_ = false;
  };
  auto mutex_of = [](Event* e) -> std::mutex& { return e->mu_; };
  std::vector<Event*> lock_order(events.begin(), events.end());
  std::sort(lock_order.begin(), lock_order.end());

  size_t result = TryAcquire(events, wait_all, lock_order, is_set, consume, mutex_of);
  if (result != kWaitTimeout || timeout_ms == 0) return result;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  Event::Waiter waiter;
  for (Event* e : events) {
    std::lock_guard<std::mutex> lock(e->mu_);
    e->waiters_.push_back(&waiter);
  }
  while (true) {
    {
      std::lock_guard<std::mutex> lock(waiter.mu);
      waiter.woken = false;
    }
    // A Set after this check raises woken again, so it is not missed.
    result = TryAcquire(events, wait_all, lock_order, is_set, consume, mutex_of);
    if (result != kWaitTimeout) break;
    std::unique_lock<std::mutex> lock(waiter.mu);
    if (timeout_ms == kInfinite) {
      waiter.cv.wait(lock, [&] { return waiter.woken; });
    } else if (!waiter.cv.wait_until(lock, deadline, [&] { return waiter.woken; })) {
      lock.unlock();
      // One last look: an event set right at the deadline still counts.
      result = TryAcquire(events, wait_all, lock_order, is_set, consume, mutex_of);
      break;
    }
  }
  for (Event* e : events) {
    std::lock_guard<std::mutex> lock(e->mu_);
    std::erase(e->waiters_, &waiter);
  }
  return result;
}

struct Thread::State {
  Event ended{Event::Kind::kManualReset};
  std::mutex mu;
  uint32_t exit_code = kStillActive;
  std::thread thread;
};

std::unique_ptr<Thread> Thread::Start(Body body) {
  auto state = std::make_shared<State>();
  try {
    // The thread keeps the state alive, so the Thread object may go first.
    state->thread = std::thread([state, body = std::move(body)]() {
      uint32_t code = body();
      {
        std::lock_guard<std::mutex> lock(state->mu);
        state->exit_code = code;
      }
      state->ended.Set();
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return std::unique_ptr<Thread>(new Thread(std::move(state)));
}

Thread::~Thread() {
  std::lock_guard<std::mutex> lock(state_->mu);
  if (state_->thread.joinable()) state_->thread.detach();
}

bool Thread::Join(uint32_t timeout_ms) {
  if (!state_->ended.Wait(timeout_ms)) return false;
  std::lock_guard<std::mutex> lock(state_->mu);
  if (state_->thread.joinable() && state_->thread.get_id() != std::this_thread::get_id()) {
    state_->thread.join();
  }
  return true;
}

uint32_t Thread::ExitCode() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->exit_code;
}

Event* Thread::ended() { return &state_->ended; }

}  // namespace quenvar::platform
