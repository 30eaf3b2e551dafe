#include "app/prompting/scripted_controller_ui.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "platform/message_window.h"

namespace quenvar::app {
namespace {

using Clock = std::chrono::steady_clock;

class ScriptedContext : public ModalContext {
 public:
  ScriptedContext(ScriptedControllerUi::ModalRecord* record, uint32_t divisor)
      : record_(record), divisor_(divisor) {}

  PromptWindow window() const override { return this; }

  bool SetTimer(uint32_t id, uint32_t period_ms) override {
    const auto period = std::chrono::milliseconds(std::max<uint32_t>(1, period_ms / divisor_));
    timers_[id] = Timer{period, Clock::now() + period};
    return true;
  }

  bool KillTimer(uint32_t id) override { return timers_.erase(id) != 0; }

  void SetProgressRange(int32_t low, int32_t high) override {
    record_->range_low = low;
    record_->range_high = high;
  }
  void SetProgressPosition(int32_t position) override { record_->position = position; }

  void EndDialog(int result) override {
    if (ended_) return;
    ended_ = true;
    record_->result = result;
  }

  bool ended() const { return ended_; }

  // Fires the timers that are due; returns how many fired.
  int FireDue(ModalDialog& dialog) {
    int fired = 0;
    const Clock::time_point now = Clock::now();
    std::vector<uint32_t> due;
    for (const auto& [id, timer] : timers_) {
      if (timer.next <= now) due.push_back(id);
    }
    for (uint32_t id : due) {
      auto it = timers_.find(id);
      if (it == timers_.end() || ended_) continue;  // killed by an earlier handler
      it->second.next = now + it->second.period;
      ++fired;
      ++record_->ticks;
      dialog.OnTimer(*this, id);
    }
    return fired;
  }

  // Milliseconds to the next timer, capped.
  uint32_t WaitMs(uint32_t cap) const {
    const Clock::time_point now = Clock::now();
    uint32_t wait = cap;
    for (const auto& [id, timer] : timers_) {
      (void)id;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(timer.next - now).count();
      wait = std::min<uint32_t>(wait, left <= 0 ? 0u : static_cast<uint32_t>(left));
    }
    return wait;
  }

 private:
  struct Timer {
    Clock::duration period;
    Clock::time_point next;
  };
  ScriptedControllerUi::ModalRecord* record_;
  uint32_t divisor_;
  std::map<uint32_t, Timer> timers_;
  bool ended_ = false;
};

}  // namespace

void ScriptedControllerUi::QueueCancel(int after_events) {
  cancels_.push_back(after_events);
}

void ScriptedControllerUi::Clear() {
  cancels_.clear();
  modal_records_.clear();
  display_events_.clear();
  execution_states_.clear();
  pump_calls_ = 0;
}

int ScriptedControllerUi::RunModal(PromptWindow owner, ModalDialog& dialog) {
  (void)owner;
  ModalRecord record;
  record.dialog = dialog.dialog_id();
  ScriptedContext context(&record, divisor_);
  std::deque<int> presses;
  presses.swap(cancels_);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(modal_limit_ms_);
  int events = 0;
  dialog.OnOpen(context);
  while (!context.ended()) {
    if ((!presses.empty() && events >= presses.front()) || (cancel_source_ && cancel_source_())) {
      if (!presses.empty() && events >= presses.front()) presses.pop_front();
      ++record.cancels;
      dialog.OnCancel(context);
      continue;
    }
    events += context.FireDue(dialog);
    if (context.ended()) break;
    events += static_cast<int>(platform::PumpMessages());
    if (context.ended()) break;
    if (Clock::now() > deadline) {
      context.EndDialog(-1);
      break;
    }
    platform::WaitForMessages(context.WaitMs(20));
  }
  dialog.OnDestroy(context);
  modal_records_.push_back(record);
  return record.result;
}

void ScriptedControllerUi::ProcessPendingMessages() {
  platform::PumpMessages();
  if (pump_hook_) pump_hook_(++pump_calls_);
}

void ScriptedControllerUi::StartProgressDisplay(int mode) {
  display_events_.push_back(mode);
}

void ScriptedControllerUi::StopProgressDisplay() {
  display_events_.push_back(-1);
}

void ScriptedControllerUi::SetExecutionState(uint32_t flags) {
  execution_states_.push_back(flags);
}

}  // namespace quenvar::app
