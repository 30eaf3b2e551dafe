#include "tools/quenvar-create/terminal_front_end.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/message_window.h"
#include "platform/unicode.h"
#include "tools/common/drive_arg.h"

namespace quenvar::create {

namespace {

bool ParsePair(const std::string& text, std::pair<int, int>* out) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  char* end = nullptr;
  const long item = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + colon || item < 1 || item > 99) return false;
  const long set = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || end == text.c_str() + colon + 1 || set < 1 || set > 99) return false;
  *out = {static_cast<int>(item), static_cast<int>(set)};
  return true;
}

bool ParseCount(const std::string& text, int low, int high, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

// The options that answer the run's questions; false (with *error) when value is not an answer.
bool SetAnswerOption(const std::string& name, const std::string& v, Options* options,
                     std::string* error) {
  if (name == "--insert") {
    if (v != "ok" && v != "cancel" && v != "wait") {
      *error = "--insert takes ok, cancel or wait";
      return false;
    }
    options->insert = v == "ok"       ? InsertPolicy::kOk
                      : v == "cancel" ? InsertPolicy::kCancel
                                      : InsertPolicy::kWait;
  } else if (name == "--on-battery") {
    if (v != "continue" && v != "stop") {
      *error = "--on-battery takes continue or stop";
      return false;
    }
    options->on_battery_continue = v == "continue";
  } else if (name == "--on-failure") {
    if (v == "retry") {
      options->on_failure = FailurePolicy::kRetry;
    } else if (v == "next") {
      options->on_failure = FailurePolicy::kNext;
    } else if (v == "abort") {
      options->on_failure = FailurePolicy::kAbort;
    } else {
      *error = "--on-failure takes retry, next or abort";
      return false;
    }
  } else {  // --erase, --format, --confirm-cancel
    if (v != "yes" && v != "no") {
      *error = name + " takes yes or no";
      return false;
    }
    bool* answer = name == "--erase"    ? &options->erase
                   : name == "--format" ? &options->format
                                        : &options->confirm_cancel;
    *answer = v == "yes";
  }
  return true;
}

// The options that say what to create and how; false (with *error) for a bad value.
bool SetRunOption(const std::string& name, const std::string& v, Options* options,
                  std::string* error) {
  if (name == "--drive") {
    const int number = quenvar::tools::DriveNumberOf(v);
    if (number == 0) {
      *error = "--drive takes a drive letter";
      return false;
    }
    options->drive = quenvar::tools::DriveLetterOf(number);
  } else if (name == "--set") {
    std::pair<int, int> pair;
    if (!ParsePair(v, &pair)) {
      *error = "--set takes ITEM:SET, both numbers from 1";
      return false;
    }
    options->sets.push_back(pair);
  } else if (name == "--verify-mode") {
    if (v != "quick" && v != "full") {
      *error = "--verify-mode takes quick or full";
      return false;
    }
    options->verify = v == "quick" ? kVerifyQuickMode : kVerifyFullMode;
  } else if (name == "--blank") {
    options->blank_kind = v;
  } else if (name == "--keep") {
    options->keep_dir = v;
  } else {  // --retries, --media-prompts
    int* target = name == "--retries" ? &options->retries : &options->max_media_prompts;
    if (!ParseCount(v, name == "--retries" ? 0 : 1, 100, target)) {
      *error = name + " takes a small number";
      return false;
    }
  }
  return true;
}

bool IsAnswerOption(const std::string& arg) {
  return arg == "--insert" || arg == "--erase" || arg == "--format" || arg == "--confirm-cancel" ||
         arg == "--on-battery" || arg == "--on-failure";
}

bool IsRunOption(const std::string& arg) {
  return arg == "--drive" || arg == "--set" || arg == "--verify-mode" || arg == "--blank" ||
         arg == "--keep" || arg == "--retries" || arg == "--media-prompts";
}

}  // namespace

std::string Usage() {
  return "usage: quenvar-create [options] TOP-LEVEL-FILE\n"
         "  --drive X            record on drive X: (default: the first recorder)\n"
         "  --set N:S            create disc set S of contents item N (both from 1; repeatable);\n"
         "                       without --set the discs the media list checks are created\n"
         "  --verify | --no-verify   compare the written media with their sources (default: the\n"
         "                       configuration's verify setting); --verify uses the "
         "configuration's\n"
         "                       verify mode\n"
         "  --verify-mode quick|full   verify, comparing the first 2048 bytes of each file "
         "(quick)\n"
         "                       or every byte (full)\n"
         "  --insert ok|cancel|wait   answer to 'insert blank media' prompts (default ok); wait\n"
         "                       waits until the recording drive holds a medium\n"
         "  --blank KIND         before answering a media prompt, put a blank medium of KIND\n"
         "                       (cd-r, dvd+r, ...) into the recording drive when it is virtual\n"
         "  --keep DIR           save each recorded virtual medium to DIR before the next blank\n"
         "  --erase yes|no       answer to erase confirmations (default no)\n"
         "  --format yes|no      answer to the USB format confirmation (default no)\n"
         "  --confirm-cancel yes|no   answer to 'do you want to cancel?' after a media prompt was\n"
         "                       answered with cancel (default yes)\n"
         "  --on-battery continue|stop   answer when the computer runs on battery (default\n"
         "                       continue)\n"
         "  --on-failure retry|next|abort   after a failed disc (default abort)\n"
         "  --retries N          Retry answers per disc before aborting (default 1)\n"
         "  --media-prompts N    media prompts per disc before giving up (default 3)\n"
         "  --list               show the media list and exit\n"
         "A question that comes again with the same answer while the same disc is being created\n"
         "ends the run. SIGINT and SIGTERM cancel the running job and end the run.\n"
         "Exit status: 0 when every chosen disc was created, 1 otherwise (the last line on stderr\n"
         "says why), 2 for bad usage.\n";
}

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  *options = Options{};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsAnswerOption(arg) || IsRunOption(arg)) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return false;
      }
      const std::string& value = args[++i];
      const bool set = IsAnswerOption(arg) ? SetAnswerOption(arg, value, options, error)
                                           : SetRunOption(arg, value, options, error);
      if (!set) return false;
    } else if (arg == "--verify") {
      options->verify = kVerifyOnConfigured;
    } else if (arg == "--no-verify") {
      options->verify = kVerifyOff;
    } else if (arg == "--list") {
      options->list_only = true;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      *error = "unknown option " + arg;
      return false;
    } else if (options->top_level.empty()) {
      options->top_level = arg;
    } else {
      *error = "only one top-level file";
      return false;
    }
  }
  if (options->top_level.empty()) {
    *error = "no top-level file";
    return false;
  }
  return true;
}

std::string TerminalText(std::u16string_view text) {
  std::u16string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
    plain += text[i];
  }
  return platform::Utf16ToUtf8(plain);
}

void TerminalWindow::SetInformationText(std::u16string_view text) {
  if (text == text_) return;
  // Texts grow by appending: print only what is new when the old text is their beginning.
  std::u16string_view fresh = text;
  if (!text_.empty() && text.substr(0, text_.size()) == text_) fresh = text.substr(text_.size());
  text_ = std::u16string(text);
  std::string printed = TerminalText(fresh);
  if (!printed.empty() && printed.back() != '\n') printed += '\n';
  std::fprintf(out_, "%s", printed.c_str());
  std::fflush(out_);
}

bool TerminalWindow::ConfirmBattery() {
  return app::CheckBattery(app::CurrentPrompter().MainWindow(), power_supply_dir_) != 0;
}

void TerminalWindow::SetCurrentBar(uint32_t position) {
  current_ = position;
  PrintBars();
}

void TerminalWindow::SetTotalBar(uint32_t position) {
  total_ = position;
  PrintBars();
}

void TerminalWindow::PrintBars() {
  // One line per whole ten per mille of either bar keeps logs short.
  const int current = static_cast<int>(current_ / 100);
  const int total = static_cast<int>(total_ / 100);
  if (current == printed_current_ && total == printed_total_) return;
  printed_current_ = current;
  printed_total_ = total;
  std::fprintf(out_, "progress: current medium %3u.%u%%, total %3u.%u%%\n", current_ / 10,
               current_ % 10, total_ / 10, total_ % 10);
  std::fflush(out_);
}

void TerminalWindow::StartTimer(uint32_t id, uint32_t period_ms) {
  timer_id_ = id;
  period_ = std::chrono::milliseconds(period_ms);
  next_tick_ = std::chrono::steady_clock::now() + period_;
}

void TerminalWindow::KillTimer(uint32_t id) {
  if (timer_id_ == id) timer_id_ = 0;
}

void TerminalWindow::ProcessPendingMessages() {
  platform::PumpMessages();
  if (timer_id_ != 0 && std::chrono::steady_clock::now() >= next_tick_) {
    next_tick_ += period_;
    if (run_ != nullptr) run_->OnTimer(timer_id_);
  }
  if (interrupt_ != nullptr && run_ != nullptr && run_->running() && interrupt_->Take()) {
    std::fprintf(out_, "interrupt: cancelling the running job\n");
    std::fflush(out_);
    run_->OnCancelPressed();
  }
}

HeadlessPrompter::HeadlessPrompter(const Options& options, std::FILE* out,
                                   std::function<void()> load_blank)
    : options_(options), out_(out), load_blank_(std::move(load_blank)) {}

void HeadlessPrompter::Print(const std::string& text) {
  std::fprintf(out_, "%s", text.c_str());
  if (!text.empty() && text.back() != '\n') std::fputc('\n', out_);
  std::fflush(out_);
}

namespace {

// A message on one line: its lines joined by blanks.
std::string OneLine(std::u16string_view text) {
  std::string line;
  for (char c : TerminalText(text)) {
    if (c == '\n') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += c;
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool IsCancelQuestion(std::u16string_view text) {
  for (uint32_t id : {app::ids::kAskCancelProcess, app::ids::kAskCancelRecording,
                      app::ids::kAskCancelErase, app::ids::kAskCancelThisProcess}) {
    if (text == app::LoadString(id)) return true;
  }
  return false;
}

bool IsEraseQuestion(std::u16string_view text) {
  return text == app::LoadString(app::ids::kAskQuickErase) ||
         text == app::LoadString(app::ids::kAskFullErase);
}

constexpr int kMediumPollMs = 200;

}  // namespace

void HeadlessPrompter::FollowDisc() {
  if (!disc_source_) return;
  const std::pair<int, int> disc = disc_source_();
  if (disc == disc_) return;
  disc_ = disc;
  asked_.clear();
}

void HeadlessPrompter::EndRun(std::string reason) {
  if (!ending_) end_reason_ = std::move(reason);
  ending_ = true;
}

bool HeadlessPrompter::FirstTime(const app::MessageRequest& request, int answer) {
  if (asked_.insert({request.text, answer}).second) return true;
  EndRun("the same question came again and would get the same answer: " + OneLine(request.text));
  return false;
}

int HeadlessPrompter::WaitForMedium() {
  Print("  -> waiting for a medium (SIGINT or SIGTERM cancels)");
  for (;;) {
    if (interrupt_ != nullptr && interrupt_->raised()) return app::kIdCancel;
    if (medium_present_ && medium_present_()) return app::kIdOk;
    platform::PumpMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(kMediumPollMs));
  }
}

int HeadlessPrompter::MediaPrompt(const app::MessageRequest& request, const char* kind) {
  Print(std::string("[") + kind + "] " + TerminalText(request.text));
  int& count = media_prompts_[disc_];
  ++count;
  int answer = app::kIdOk;
  if (ending_ || (interrupt_ != nullptr && interrupt_->raised())) {
    answer = app::kIdCancel;
  } else if (options_.insert == InsertPolicy::kCancel) {
    answer = app::kIdCancel;
    EndRun("the media prompt was answered with cancel (--insert cancel)");
  } else if (count > options_.max_media_prompts) {
    answer = app::kIdCancel;
    EndRun("no usable medium after " + std::to_string(options_.max_media_prompts) +
           " media prompts");
  } else if (!FirstTime(request, answer)) {
    answer = app::kIdCancel;
  } else if (options_.insert == InsertPolicy::kWait) {
    answer = WaitForMedium();
    if (answer == app::kIdCancel) EndRun("interrupted while waiting for a medium");
  }
  Print(answer == app::kIdOk ? "  -> ok" : "  -> cancel");
  if (answer == app::kIdOk && options_.insert == InsertPolicy::kOk && load_blank_) load_blank_();
  return answer;
}

int HeadlessPrompter::ShowMessage(const app::MessageRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  FollowDisc();
  const char* kind = request.icon == app::PromptIcon::kWarning ? "warning" : "notice";
  const bool interrupted = interrupt_ != nullptr && interrupt_->raised();
  int answer = app::kIdOk;
  std::string reply;
  switch (request.buttons) {
    case app::PromptButtons::kOk:
      if (request.icon == app::PromptIcon::kWarning) last_error_ = OneLine(request.text);
      break;
    case app::PromptButtons::kYesNo: {
      bool yes;
      if (request.text == app::LoadString(app::ids::kOnBattery)) {
        yes = options_.on_battery_continue && !ending_;
        if (!yes) EndRun("the computer runs on battery (--on-battery stop)");
      } else if (IsCancelQuestion(request.text)) {
        yes = interrupted || ending_ || options_.confirm_cancel;
        if (!ending_ && !interrupted) {
          yes = FirstTime(request, yes ? app::kIdYes : app::kIdNo) ? yes : true;
        }
      } else {
        yes = false;  // a question nobody gave an answer for: the cautious one
        if (!ending_) FirstTime(request, app::kIdNo);
      }
      answer = yes ? app::kIdYes : app::kIdNo;
      reply = yes ? "yes" : "no";
      break;
    }
    case app::PromptButtons::kOkCancel: {
      if (IsEraseQuestion(request.text) ||
          request.text == app::LoadString(app::ids::kAskFormatUsb)) {
        const bool ok = !ending_ && !interrupted &&
                        (IsEraseQuestion(request.text) ? options_.erase : options_.format);
        answer = ok ? app::kIdOk : app::kIdCancel;
        if (ok && !FirstTime(request, answer)) answer = app::kIdCancel;
        if (!ok && request.text == app::LoadString(app::ids::kAskFormatUsb))
          EndRun("the USB flash memory may not be formatted (--format no)");
      } else {
        return MediaPrompt(request, kind);  // prints the prompt and its answer
      }
      reply = answer == app::kIdOk ? "ok" : "cancel";
      break;
    }
  }
  Print(std::string("[") + kind + "] " + TerminalText(request.text));
  if (!reply.empty()) Print("  -> " + reply);
  return answer;
}

int HeadlessPrompter::SelectNextProcess(app::PromptWindow, std::u16string_view disc_title) {
  std::lock_guard<std::mutex> lock(mutex_);
  int answer = app::kIdCancel;
  if (ending_ || (interrupt_ != nullptr && interrupt_->raised())) {
    answer = app::kIdCancel;
  } else if (options_.on_failure == FailurePolicy::kNext) {
    answer = app::kIdNextMedia;
  } else if (options_.on_failure == FailurePolicy::kRetry) {
    int& used = retries_[std::u16string(disc_title)];
    if (used < options_.retries) {
      ++used;
      answer = app::kIdRetryMedia;
    }
  }
  // The disc starts over (or the run moves on): its questions may be asked afresh.
  asked_.clear();
  Print("[question] Failed to create " + platform::Utf16ToUtf8(disc_title) + ": " +
        (answer == app::kIdRetryMedia  ? "retry"
         : answer == app::kIdNextMedia ? "next"
                                       : "abort"));
  return answer;
}

int HeadlessPrompter::ConfirmCancel(app::PromptWindow, std::u16string_view,
                                    std::u16string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Only an interrupt opens the cancel prompt: it means yes.
  Print("[question] " + TerminalText(text) + "  -> ok");
  return app::kIdOk;
}

int HeadlessPrompter::Choose(const app::ChoiceRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (request.lines.empty()) return -1;
  Print("[choice] " + TerminalText(request.lines[0]));
  return 0;
}

void HeadlessPrompter::ShowWaitNotice(std::u16string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Print("[wait] " + TerminalText(text));
}

std::string HeadlessPrompter::Reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !end_reason_.empty() ? end_reason_ : last_error_;
}

bool HeadlessPrompter::stuck() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ending_;
}

void HeadlessControllerUi::set_interrupt(Interrupt* interrupt) {
  set_cancel_source([interrupt] { return interrupt != nullptr && interrupt->Take(); });
}

void HeadlessControllerUi::SetExecutionState(uint32_t flags) {
  app::ScriptedControllerUi::SetExecutionState(flags);
  keep_awake_.SetExecutionState(flags);
}

}  // namespace quenvar::create
