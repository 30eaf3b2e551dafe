#include "app/prompting/scripted_prompter.h"

#include <utility>

namespace quenvar::app {

ScriptedPrompter::ScriptedPrompter() = default;

void ScriptedPrompter::QueueAnswer(int answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.push_back(answer);
}

void ScriptedPrompter::SetDefaultAnswer(Kind kind, int answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (kind) {
    case Kind::kMessage: default_message_ = answer; break;
    case Kind::kSelectNextProcess: default_select_next_ = answer; break;
    case Kind::kConfirmCancel: default_confirm_cancel_ = answer; break;
    case Kind::kChoose: default_choose_ = answer; break;
    case Kind::kWaitShown:
    case Kind::kWaitClosed: break;  // notices have no answer
  }
}

void ScriptedPrompter::AddWindow(PromptWindow window) {
  std::lock_guard<std::mutex> lock(mutex_);
  windows_.insert(window);
}

void ScriptedPrompter::SetMainWindow(PromptWindow window) {
  std::lock_guard<std::mutex> lock(mutex_);
  main_window_ = window;
}

std::vector<ScriptedPrompter::Record> ScriptedPrompter::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

void ScriptedPrompter::ClearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

bool ScriptedPrompter::wait_notice_shown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wait_shown_;
}

int ScriptedPrompter::Answer(Kind kind, int fallback) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queued_.empty()) {
    const int answer = queued_.front();
    queued_.pop_front();
    return answer;
  }
  switch (kind) {
    case Kind::kMessage: return default_message_ >= 0 ? default_message_ : fallback;
    case Kind::kSelectNextProcess: return default_select_next_;
    case Kind::kConfirmCancel: return default_confirm_cancel_;
    case Kind::kChoose: return default_choose_;
    default: return fallback;
  }
}

void ScriptedPrompter::Add(Record record) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(std::move(record));
}

int ScriptedPrompter::ShowMessage(const MessageRequest& request) {
  const int first = request.buttons == PromptButtons::kYesNo ? kIdYes : kIdOk;
  int answer = Answer(Kind::kMessage, first);
  // An answer the box has no button for is read as the box's first button.
  const bool valid = (request.buttons == PromptButtons::kOk && answer == kIdOk) ||
                     (request.buttons == PromptButtons::kOkCancel && (answer == kIdOk || answer == kIdCancel)) ||
                     (request.buttons == PromptButtons::kYesNo && (answer == kIdYes || answer == kIdNo));
  if (!valid) answer = first;
  Record record;
  record.kind = Kind::kMessage;
  record.message = request;
  record.owner = request.owner;
  record.answer = answer;
  Add(std::move(record));
  return answer;
}

int ScriptedPrompter::SelectNextProcess(PromptWindow owner, std::u16string_view disc_title) {
  int answer = Answer(Kind::kSelectNextProcess, kIdCancel);
  if (answer != kIdRetryMedia && answer != kIdNextMedia) answer = kIdCancel;
  Record record;
  record.kind = Kind::kSelectNextProcess;
  record.owner = owner;
  record.title = std::u16string(disc_title);
  record.answer = answer;
  Add(std::move(record));
  return answer;
}

int ScriptedPrompter::ConfirmCancel(PromptWindow owner, std::u16string_view title, std::u16string_view text) {
  int answer = Answer(Kind::kConfirmCancel, kIdCancel);
  if (answer != kIdOk) answer = kIdCancel;
  Record record;
  record.kind = Kind::kConfirmCancel;
  record.owner = owner;
  record.title = std::u16string(title);
  record.text = std::u16string(text);
  record.answer = answer;
  Add(std::move(record));
  return answer;
}

int ScriptedPrompter::Choose(const ChoiceRequest& request) {
  int answer = Answer(Kind::kChoose, 0);
  if (request.lines.empty() || answer < -1 || answer >= static_cast<int>(request.lines.size())) answer = -1;
  if (answer == -1 && !request.can_cancel && !request.lines.empty()) answer = 0;
  Record record;
  record.kind = Kind::kChoose;
  record.owner = request.owner;
  record.dialog = request.dialog;
  record.lines = request.lines;
  record.answer = answer;
  Add(std::move(record));
  return answer;
}

void ScriptedPrompter::ShowWaitNotice(std::u16string_view text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wait_shown_ = true;
  }
  Record record;
  record.kind = Kind::kWaitShown;
  record.text = std::u16string(text);
  Add(std::move(record));
}

void ScriptedPrompter::CloseWaitNotice() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!wait_shown_) return;
    wait_shown_ = false;
  }
  Record record;
  record.kind = Kind::kWaitClosed;
  Add(std::move(record));
}

bool ScriptedPrompter::IsWindow(PromptWindow window) const {
  if (window == nullptr || window == kInvalidWindow) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return window == main_window_ || windows_.count(window) != 0;
}

PromptWindow ScriptedPrompter::MainWindow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return main_window_;
}

}  // namespace quenvar::app
