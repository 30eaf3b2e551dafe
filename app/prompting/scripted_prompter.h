// Orvex prompting: a prompter that answers from a script, for tests and the headless front end.
//
// Answers queued with QueueAnswer are used in order by whichever question comes next; when the
// queue is empty each kind of question gets its default answer (SetDefaultAnswer). Out of the box a
// message gets its first button (OK or Yes), the Retry/Next/Abort question Abort, the cancel
// confirmation Cancel (the job goes on) and a choice its first line. Every prompt is recorded in a
// transcript. Thread-safe.
#ifndef QUENVAR_APP_PROMPTING_SCRIPTED_PROMPTER_H_
#define QUENVAR_APP_PROMPTING_SCRIPTED_PROMPTER_H_

#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/prompting/prompt.h"

namespace quenvar::app {

class ScriptedPrompter : public Prompter {
 public:
  enum class Kind { kMessage, kSelectNextProcess, kConfirmCancel, kChoose, kWaitShown, kWaitClosed };

  struct Record {
    Kind kind = Kind::kMessage;
    MessageRequest message;             // kMessage
    PromptWindow owner = nullptr;       // the owner of any kind
    std::u16string title;               // kSelectNextProcess (disc title), kConfirmCancel
    std::u16string text;                // kConfirmCancel, kWaitShown
    std::vector<std::u16string> lines;  // kChoose
    uint16_t dialog = 0;                // kChoose
    int answer = 0;
  };

  ScriptedPrompter();

  void QueueAnswer(int answer);
  void SetDefaultAnswer(Kind kind, int answer);

  // Windows the prompter reports as live; the main window counts as live too.
  void AddWindow(PromptWindow window);
  void SetMainWindow(PromptWindow window);

  std::vector<Record> records() const;
  void ClearRecords();
  bool wait_notice_shown() const;

  int ShowMessage(const MessageRequest& request) override;
  int SelectNextProcess(PromptWindow owner, std::u16string_view disc_title) override;
  int ConfirmCancel(PromptWindow owner, std::u16string_view title, std::u16string_view text) override;
  int Choose(const ChoiceRequest& request) override;
  void ShowWaitNotice(std::u16string_view text) override;
  void CloseWaitNotice() override;
  bool IsWindow(PromptWindow window) const override;
  PromptWindow MainWindow() const override;

 private:
  int Answer(Kind kind, int fallback);
  void Add(Record record);

  mutable std::mutex mutex_;
  std::deque<int> queued_;
  int default_message_ = -1;  // -1: the first button of the box
  int default_select_next_ = kIdCancel;
  int default_confirm_cancel_ = kIdCancel;
  int default_choose_ = 0;
  std::set<PromptWindow> windows_;
  PromptWindow main_window_ = nullptr;
  std::vector<Record> records_;
  bool wait_shown_ = false;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_PROMPTING_SCRIPTED_PROMPTER_H_
