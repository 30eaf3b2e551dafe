// quenvar-create: the creation workflow on a terminal.
//
// TerminalWindow is the main window of a headless run: it prints the Information texts as they
// change and a progress line for the two bars, fires the panel's one-second timer from message
// dispatch, and turns an interrupt (SIGINT, SIGTERM) into the Cancel button. Its guards are the
// program's: the battery question and the outside packet-writing product's drive lock.
// HeadlessPrompter answers every question of the run from the options, each kind of question with
// its own answer: media prompts (optionally loading a fresh blank medium into a virtual recorder
// first, or waiting for a medium), erase and format confirmations, the confirmation of giving up a
// disc, the battery question, and the Retry / Next / Abort choice after a failed disc. No policy
// can loop: media prompts are bounded per disc, and a question that comes again with the same
// answer while the same disc is being created ends the run, with the reason kept for the last
// line. HeadlessControllerUi runs the controllers' dialogs without windows, presses their Cancel
// on an interrupt, and keeps the machine awake while a job runs. Everything but the prompter runs
// on the main thread; the prompter is thread-safe.
#ifndef QUENVAR_TOOLS_QUENVAR_CREATE_TERMINAL_FRONT_END_H_
#define QUENVAR_TOOLS_QUENVAR_CREATE_TERMINAL_FRONT_END_H_

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/guards/battery.h"
#include "app/guards/sleep_inhibitor.h"
#include "app/prompting/prompt.h"
#include "app/prompting/scripted_controller_ui.h"
#include "app/workflow/creation_run.h"

namespace quenvar::create {

enum class FailurePolicy { kRetry, kNext, kAbort };
enum class InsertPolicy { kOk, kCancel, kWait };

// Verify choices: the configuration decides, off, quick, full, or on in the configuration's mode.
inline constexpr int kVerifyConfigured = -1;
inline constexpr int kVerifyOff = 0;
inline constexpr int kVerifyQuickMode = 1;
inline constexpr int kVerifyFullMode = 2;
inline constexpr int kVerifyOnConfigured = 3;

struct Options {
  std::string top_level;  // the top-level configuration file
  char drive = 0;         // recording drive letter; 0: the first recorder
  std::vector<std::pair<int, int>>
      sets;  // (contents item, disc set), both from 1; empty: the list's checks
  int verify = kVerifyConfigured;
  InsertPolicy insert = InsertPolicy::kOk;  // answer to media prompts
  std::string blank_kind;      // load a blank of this kind into a virtual recorder at media prompts
  std::string keep_dir;        // save each recorded virtual medium here before loading a blank
  bool erase = false;          // answer erase questions with OK
  bool format = false;         // answer the USB format question with OK
  bool confirm_cancel = true;  // answer "do you want to cancel?" after a refused prompt with Yes
  bool on_battery_continue = true;  // answer the battery question with Yes
  FailurePolicy on_failure = FailurePolicy::kAbort;
  int retries = 1;            // Retry answers per disc before the policy turns to Abort
  int max_media_prompts = 3;  // media prompts per disc before answering Cancel
  bool list_only = false;
};

// The interrupt a signal handler leaves for the main thread: the signal number, and whether its
// cancel is still to be carried out. Lock-free, so the handler may set it.
struct Interrupt {
  std::atomic<int> signal{0};
  std::atomic<bool> pending{false};
  void Raise(int signal_number) {
    signal.store(signal_number);
    pending.store(true);
  }
  // True once per interrupt: whoever takes it carries out the cancel.
  bool Take() { return pending.exchange(false); }
  bool raised() const { return signal.load() != 0; }
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

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
  // The interrupt whose cancel the next dispatch carries out (not owned; may be null).
  void set_interrupt(Interrupt* interrupt) { interrupt_ = interrupt; }

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
  Interrupt* interrupt_ = nullptr;
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

  // Which disc the run creates now: (contents item, disc); questions are judged per disc.
  void set_disc_source(std::function<std::pair<int, int>()> source) {
    disc_source_ = std::move(source);
  }
  // For --insert wait: whether the recording drive holds a medium now.
  void set_medium_present(std::function<bool()> present) { medium_present_ = std::move(present); }
  // An interrupt ends a wait at a prompt and confirms every cancel question (not owned).
  void set_interrupt(const Interrupt* interrupt) { interrupt_ = interrupt; }

  int ShowMessage(const app::MessageRequest& request) override;
  int SelectNextProcess(app::PromptWindow owner, std::u16string_view disc_title) override;
  int ConfirmCancel(app::PromptWindow owner, std::u16string_view title,
                    std::u16string_view text) override;
  int Choose(const app::ChoiceRequest& request) override;
  void ShowWaitNotice(std::u16string_view text) override;
  void CloseWaitNotice() override {}
  bool IsWindow(app::PromptWindow window) const override { return window == &token_; }
  app::PromptWindow MainWindow() const override { return &token_; }

  // Why the prompter ended the run (a repeated question, media prompts used up, a refused prompt),
  // or else the last error message shown; one line, empty when there was none.
  std::string Reason() const;
  // True when the prompter itself ended the run because it could not go on.
  bool stuck() const;

 private:
  void Print(const std::string& text);
  // Starts a fresh record of questions when the run has moved to another disc.
  void FollowDisc();
  // False (and the run is ending) when the question got this answer before for the same disc.
  bool FirstTime(const app::MessageRequest& request, int answer);
  int MediaPrompt(const app::MessageRequest& request, const char* kind);
  int WaitForMedium();
  void EndRun(std::string reason);

  Options options_;
  std::FILE* out_;
  std::function<void()> load_blank_;
  std::function<std::pair<int, int>()> disc_source_;
  std::function<bool()> medium_present_;
  const Interrupt* interrupt_ = nullptr;
  mutable std::mutex mutex_;
  std::pair<int, int> disc_{-1, -1};
  std::map<std::pair<int, int>, int> media_prompts_;  // by disc
  std::map<std::u16string, int> retries_;             // by disc title
  std::set<std::pair<std::u16string, int>> asked_;    // question text and answer, this disc
  bool ending_ = false;  // every further question gets the answer that ends the run
  std::string end_reason_;
  std::string last_error_;
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
  // A modal dialog open when an interrupt comes gets its Cancel pressed (not owned).
  void set_interrupt(Interrupt* interrupt);

 private:
  app::KeepAwake keep_awake_;
};

}  // namespace quenvar::create

#endif  // QUENVAR_TOOLS_QUENVAR_CREATE_TERMINAL_FRONT_END_H_
