// Ending the program on SIGINT and SIGTERM.
//
// InterruptPipe turns the two signals into bytes on a pipe, the one thing a signal handler may
// safely do, so that the program's event loop hears of them through a socket notifier like any
// other input. The first signal is kept; later ones change nothing.
//
// EndingPrompter stands in front of the program's prompter. Until the program is told to end it
// passes every question on; from then on it shows nothing and answers each question the way that
// stops the run: a media prompt, an erase or format question is cancelled, "do you want to cancel?"
// is answered yes and the cancel prompt OK, any other question no, the Retry / Next / Abort choice
// with Abort. Notices are acknowledged unseen: the program ends with the reason on one line.
// Thread-safe like the prompter it fronts.
#ifndef QUENVAR_APP_STARTUP_INTERRUPT_H_
#define QUENVAR_APP_STARTUP_INTERRUPT_H_

#include <atomic>

#include "app/prompting/prompt.h"

namespace quenvar::app {

class InterruptPipe {
 public:
  // Installs the handlers of SIGINT and SIGTERM; one object per process.
  InterruptPipe();
  ~InterruptPipe();
  InterruptPipe(const InterruptPipe&) = delete;
  InterruptPipe& operator=(const InterruptPipe&) = delete;

  // Readable once a signal came; -1 when no pipe could be made (the signals then keep their
  // default action).
  int fd() const { return read_fd_; }
  // Empties the pipe; the first signal received (0 none).
  int Drain();
  int signal_number() const;

 private:
  int read_fd_ = -1;
};

// "SIGINT" or "SIGTERM".
const char* InterruptName(int signal_number);

class EndingPrompter : public Prompter {
 public:
  explicit EndingPrompter(Prompter* inner) : inner_(inner) {}

  void set_ending() { ending_.store(true); }
  bool ending() const { return ending_.load(); }

  int ShowMessage(const MessageRequest& request) override;
  int SelectNextProcess(PromptWindow owner, std::u16string_view disc_title) override;
  int ConfirmCancel(PromptWindow owner, std::u16string_view title,
                    std::u16string_view text) override;
  int Choose(const ChoiceRequest& request) override;
  void ShowWaitNotice(std::u16string_view text) override { inner_->ShowWaitNotice(text); }
  void CloseWaitNotice() override { inner_->CloseWaitNotice(); }
  bool IsWindow(PromptWindow window) const override { return inner_->IsWindow(window); }
  PromptWindow MainWindow() const override { return inner_->MainWindow(); }

 private:
  Prompter* inner_;
  std::atomic<bool> ending_{false};
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_STARTUP_INTERRUPT_H_
