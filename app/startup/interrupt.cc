#include "app/startup/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

std::atomic<int> g_write_fd{-1};
std::atomic<int> g_first_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int signal_number) {
  const int saved = errno;
  int none = 0;
  g_first_signal.compare_exchange_strong(none, signal_number);
  const int fd = g_write_fd.load();
  if (fd >= 0) {
    const char byte = static_cast<char>(signal_number);
    // A full pipe already says that a signal came.
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
  }
  errno = saved;
}

bool IsCancelQuestion(std::u16string_view text) {
  for (uint32_t id : {ids::kAskCancelProcess, ids::kAskCancelRecording, ids::kAskCancelErase,
                      ids::kAskCancelThisProcess}) {
    if (text == LoadString(id)) return true;
  }
  return false;
}

}  // namespace

InterruptPipe::InterruptPipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  read_fd_ = ends[0];
  g_write_fd.store(ends[1]);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

InterruptPipe::~InterruptPipe() {
  if (read_fd_ < 0) return;
  // The handlers stay: a late signal still finds the flag, and writes nowhere.
  const int write_fd = g_write_fd.exchange(-1);
  ::close(write_fd);
  ::close(read_fd_);
}

int InterruptPipe::Drain() {
  char bytes[64];
  while (read_fd_ >= 0 && ::read(read_fd_, bytes, sizeof bytes) > 0) {
  }
  return g_first_signal.load();
}

int InterruptPipe::signal_number() const {
  return g_first_signal.load();
}

const char* InterruptName(int signal_number) {
  return signal_number == SIGINT ? "SIGINT" : "SIGTERM";
}

int EndingPrompter::ShowMessage(const MessageRequest& request) {
  if (!ending()) return inner_->ShowMessage(request);
  switch (request.buttons) {
    case PromptButtons::kYesNo:
      return IsCancelQuestion(request.text) ? kIdYes : kIdNo;
    case PromptButtons::kOkCancel:
      return kIdCancel;
    case PromptButtons::kOk:
      break;
  }
  return kIdOk;
}

int EndingPrompter::SelectNextProcess(PromptWindow owner, std::u16string_view disc_title) {
  return ending() ? kIdCancel : inner_->SelectNextProcess(owner, disc_title);
}

int EndingPrompter::ConfirmCancel(PromptWindow owner, std::u16string_view title,
                                  std::u16string_view text) {
  return ending() ? kIdOk : inner_->ConfirmCancel(owner, title, text);
}

int EndingPrompter::Choose(const ChoiceRequest& request) {
  return ending() ? -1 : inner_->Choose(request);
}

}  // namespace quenvar::app
