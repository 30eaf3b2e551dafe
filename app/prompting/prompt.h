// Orvex prompting: the one way the program asks or tells the user anything.
//
// Workflow, controller and start-up code never create widgets; the first two live in the program
// core, which links no Qt. Every message box, question and small dialog goes through a Prompter:
// the Qt program installs QtPrompter (app/qtshell/qt_prompter.h),
// tests and the headless front end install ScriptedPrompter (app/prompting/scripted_prompter.h),
// which answers from a script and keeps a transcript.
//
// Answers use the platform's command numbers (1 OK, 2 Cancel, 6 Yes, 7 No, 1021 Retry this medium,
// 1022 Next medium). A Prompter may be called from any thread; an implementation that must show its
// dialogs on one thread (Qt) carries the call there and blocks the caller until the user answered,
// as a modal dialog of that thread would.
//
// Windows that own a prompt are opaque tokens handed out by the front end (PromptWindow); null and
// kInvalidWindow name no window. The installed prompter is process-wide and must outlive every
// caller; SetPrompter is meant for start-up and tests.
#ifndef QUENVAR_APP_PROMPTING_PROMPT_H_
#define QUENVAR_APP_PROMPTING_PROMPT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenvar::app {

using PromptWindow = const void*;
inline const PromptWindow kInvalidWindow = reinterpret_cast<PromptWindow>(~uintptr_t{0});

enum class PromptButtons { kOk, kOkCancel, kYesNo };
enum class PromptIcon { kNone, kInformation, kWarning };

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;
inline constexpr int kIdRetryMedia = 1021;
inline constexpr int kIdNextMedia = 1022;

struct MessageRequest {
  PromptWindow owner = nullptr;
  std::u16string text;
  // The window title; none means the platform's default caption for a message box.
  std::optional<std::u16string> caption;
  PromptButtons buttons = PromptButtons::kOk;
  PromptIcon icon = PromptIcon::kNone;
};

// A choice among lines of a drop-down list (drive selection 146, USB device selection 157).
struct ChoiceRequest {
  uint16_t dialog = 0;
  PromptWindow owner = nullptr;
  std::vector<std::u16string> lines;
  bool can_cancel = false;
};

class Prompter {
 public:
  virtual ~Prompter() = default;

  // A message box; returns the button pressed (kIdOk, kIdCancel, kIdYes, kIdNo). Closing the box
  // by other means answers kIdCancel when there is a Cancel button, else kIdOk / kIdNo.
  virtual int ShowMessage(const MessageRequest& request) = 0;

  // The question after a medium failed: kIdRetryMedia, kIdNextMedia, or kIdCancel (Abort, also
  // when the window is closed).
  virtual int SelectNextProcess(PromptWindow owner, std::u16string_view disc_title) = 0;

  // The cancel confirmation: kIdOk or kIdCancel (also when the window is closed).
  virtual int ConfirmCancel(PromptWindow owner, std::u16string_view title, std::u16string_view text) = 0;

  // The index of the chosen line, or -1 when cancelled (or there are no lines).
  virtual int Choose(const ChoiceRequest& request) = 0;

  // The translucent wait notice; at most one is shown, a second Show replaces the first.
  virtual void ShowWaitNotice(std::u16string_view text) = 0;
  virtual void CloseWaitNotice() = 0;

  // True for a live window of this front end (never for null or kInvalidWindow).
  virtual bool IsWindow(PromptWindow window) const = 0;
  // The calling thread's main window, or null when that thread has none.
  virtual PromptWindow MainWindow() const = 0;
};

// The installed prompter. Before any is installed, a ScriptedPrompter with its default answers
// stands in, so nothing ever blocks on a missing user interface.
Prompter& CurrentPrompter();
// Installs prompter (null: back to the stand-in). Not owned.
void SetPrompter(Prompter* prompter);

// Installs a prompter for one scope (tests).
class ScopedPrompter {
 public:
  explicit ScopedPrompter(Prompter* prompter);
  ~ScopedPrompter();
  ScopedPrompter(const ScopedPrompter&) = delete;
  ScopedPrompter& operator=(const ScopedPrompter&) = delete;

 private:
  Prompter* previous_;
};

// A message box with the application title (string 57344) as caption, the form of every notice and
// question of the program except the error reports.
int ShowAppMessage(std::u16string_view text, PromptButtons buttons, PromptIcon icon,
                   PromptWindow owner = nullptr);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_PROMPTING_PROMPT_H_
