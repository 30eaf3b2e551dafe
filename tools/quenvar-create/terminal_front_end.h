// quenvar-create: the creation workflow on a terminal.
//
// TerminalWindow is the main window of a headless run: it prints the Information texts as they
// change and a progress line for the two bars, fires the panel's one-second timer from message
// dispatch, and turns an interrupt (Ctrl-C) into the Cancel button. Its guards are the program's:
// the battery question and the outside packet-writing product's drive lock. HeadlessPrompter
// answers every question of the run from the options: media prompts (optionally loading a fresh
// blank medium into a virtual recorder first), erase confirmations, the battery question, and the
// Retry / Next / Abort choice after a failed disc, with a bound on repeated prompts so that no
// policy can loop forever. HeadlessControllerUi runs the controllers' dialogs without windows and
// keeps the machine awake while a job runs. Everything but the prompter runs on the main thread;
// the prompter is thread-safe.
#ifndef QUENVAR_TOOLS_QUENVAR_CREATE_TERMINAL_FRONT_END_H_
#define QUENVAR_TOOLS_QUENVAR_CREATE_TERMINAL_FRONT_END_H_

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/controllers/scripted_controller_ui.h"
#include "app/guards/battery.h"
#include "app/guards/sleep_inhibitor.h"
#include "app/workflow/creation_run.h"
#include "app/workflow/prompt.h"

namespace quenvar::create {

enum class FailurePolicy { kRetry, kNext, kAbort };

struct Options {
  std::string top_level;                  // the top-level configuration file
  char drive = 0;                         // recording drive letter; 0: the first recorder
  std::vector<std::pair<int, int>> sets;  // (contents item, disc set), both from 1; empty: the list's checks
  int verify = -1;                        // -1: the configuration's verify mode, 0 off, 1 on
  bool insert_ok = true;                  // answer media prompts with OK (else Cancel)
  std::string blank_kind;                 // load a blank of this kind into a virtual recorder at media prompts
  std::string keep_dir;                   // save each recorded virtual medium here before loading a blank
  bool erase = false;                     // answer erase questions with Yes
  bool on_battery_continue = true;        // answer the battery question with Yes
  FailurePolicy on_failure = FailurePolicy::kAbort;
  int retries = 1;                        // Retry answers per disc before the policy turns to Abort
  int max_media_prompts = 3;              // media prompts per disc before answering Cancel
  bool list_only = false;
};

// Parses the command line (without argv[0]); false with *error for bad options.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);
std::string Usage();

// Terminal text of a table string: "\r\n" becomes "\n".
std::string TerminalText(std::u16string_view text);

class TerminalWindow : public app::CreationWindow {
 public:
  // power_supply_dir: where the battery question reads the power supplies.
  explicit TerminalWindow(std::FILE* out, std::string power_supply_dir = app::kPowerSupplyDir)
      : out_(out), power_supply_dir_(std::move(power_supply_dir)) {}
  void set_run(app::CreationRun* run) { run_ = run; }
  // Asks for a cancel at the next dispatch (signal handlers may call it).
  void RequestCancel() { cancel_request_.store(true); }

  void SetInformationText(std::u16string_view text) override;
  void SetCurrentBar(uint32_t position) override;
  void SetTotalBar(uint32_t position) override;
  void RedrawList() override {}
  void EnableSelection(bool) override {}
  void EnableCreate(bool) override {}
  void StartTimer(uint32_t id, uint32_t period_ms) override;
  void KillTimer(uint32_t id) override;
  void ProcessPendingMessages() override;
  app::PromptWindow ListWindow() const override { return &token_; }
  bool ConfirmBattery() override;

  uint32_t current_bar() const { return current_; }
  uint32_t total_bar() const { return total_; }

 private:
  void PrintBars();

  std::FILE* out_;
  std::string power_supply_dir_;
  app::CreationRun* run_ = nullptr;
  std::atomic<bool> cancel_request_{false};
  std::u16string text_;
  uint32_t current_ = 0;
  uint32_t total_ = 0;
  int printed_current_ = -1;
  int printed_total_ = -1;
  uint32_t timer_id_ = 0;
  std::chrono::milliseconds period_{1000};
  std::chrono::steady_clock::time_point next_tick_;
  int token_ = 0;
};

class HeadlessPrompter : public app::Prompter {
 public:
  // load_blank is called before a media prompt is answered with OK (may be empty).
  HeadlessPrompter(const Options& options, std::FILE* out, std::function<void()> load_blank);

  int ShowMessage(const app::MessageRequest& request) override;
  int SelectNextProcess(app::PromptWindow owner, std::u16string_view disc_title) override;
  int ConfirmCancel(app::PromptWindow owner, std::u16string_view title, std::u16string_view text) override;
  int Choose(const app::ChoiceRequest& request) override;
  void ShowWaitNotice(std::u16string_view text) override;
  void CloseWaitNotice() override {}
  bool IsWindow(app::PromptWindow window) const override { return window == &token_; }
  app::PromptWindow MainWindow() const override { return &token_; }

 private:
  void Print(const std::string& text);

  Options options_;
  std::FILE* out_;
  std::function<void()> load_blank_;
  std::mutex mutex_;
  std::map<std::u16string, int> media_prompts_;  // by prompt text, which names the disc
  std::map<std::u16string, int> retries_;        // by disc title
  int token_ = 0;
};

// The controllers' user interface of a headless run. The keep-awake request of a job holds a
// sleep and shutdown inhibitor of the login manager; without one the job runs all the same.
class HeadlessControllerUi : public app::ScriptedControllerUi {
 public:
  // source is not owned; null means the login manager.
  explicit HeadlessControllerUi(app::InhibitorSource* source = nullptr) : keep_awake_(source) {}
  void SetExecutionState(uint32_t flags) override;
  bool awake_held() const { return keep_awake_.held(); }

 private:
  app::KeepAwake keep_awake_;
};

}  // namespace quenvar::create

#endif  // QUENVAR_TOOLS_QUENVAR_CREATE_TERMINAL_FRONT_END_H_
