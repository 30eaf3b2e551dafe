// Orvex prompting: a ControllerUi without windows, for tests and the headless front end.
//
// Modal dialogs run in a loop on the calling thread that fires their timers (periods divided by the
// time divisor, so tests need not wait seconds), dispatches platform messages (the engine's file
// progress questions arrive that way) and presses Cancel when the script says so. Every run is
// recorded with its progress bar and result. ProcessPendingMessages dispatches platform messages
// and calls the pump hook, from which tests act in the middle of a job (for example cancel it).
#ifndef QUENVAR_APP_PROMPTING_SCRIPTED_CONTROLLER_UI_H_
#define QUENVAR_APP_PROMPTING_SCRIPTED_CONTROLLER_UI_H_

#include <deque>
#include <functional>
#include <vector>

#include "app/prompting/controller_ui.h"

namespace quenvar::app {

class ScriptedControllerUi : public ControllerUi {
 public:
  struct ModalRecord {
    uint16_t dialog = 0;
    int result = 0;
    int32_t range_low = 0;
    int32_t range_high = 0;
    int32_t position = 0;
    int cancels = 0;  // Cancel presses
    int ticks = 0;    // timer ticks fired
  };

  // Timer periods are divided by divisor (at least 1).
  void set_time_divisor(uint32_t divisor) { divisor_ = divisor ? divisor : 1; }
  // A modal run that has not ended after limit_ms of real time ends with -1 (a stuck test fails
  // instead of hanging).
  void set_modal_limit_ms(uint32_t limit_ms) { modal_limit_ms_ = limit_ms; }
  // Presses Cancel in the next modal run once after_events timer ticks and messages were handled
  // (counted from its start). Every press queued before a run belongs to that run.
  void QueueCancel(int after_events);
  void SetPumpHook(std::function<void(int call)> hook) { pump_hook_ = std::move(hook); }
  // Asked on every turn of a modal run: true presses Cancel (an interrupt of the headless front
  // end).
  void set_cancel_source(std::function<bool()> source) { cancel_source_ = std::move(source); }

  const std::vector<ModalRecord>& modal_records() const { return modal_records_; }
  // Display modes started, in order; -1 marks a stop.
  const std::vector<int>& display_events() const { return display_events_; }
  const std::vector<uint32_t>& execution_states() const { return execution_states_; }
  void Clear();

  int RunModal(PromptWindow owner, ModalDialog& dialog) override;
  void ProcessPendingMessages() override;
  void StartProgressDisplay(int mode) override;
  void StopProgressDisplay() override;
  void SetExecutionState(uint32_t flags) override;
  HWND EngineWindow() override { return nullptr; }

 private:
  uint32_t divisor_ = 1;
  uint32_t modal_limit_ms_ = 600000;
  std::deque<int> cancels_;
  std::function<void(int)> pump_hook_;
  std::function<bool()> cancel_source_;
  int pump_calls_ = 0;
  std::vector<ModalRecord> modal_records_;
  std::vector<int> display_events_;
  std::vector<uint32_t> execution_states_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_PROMPTING_SCRIPTED_CONTROLLER_UI_H_
