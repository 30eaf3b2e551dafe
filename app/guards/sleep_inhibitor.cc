#include "app/guards/sleep_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

#include "app/prompting/controller_ui.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/unicode.h"

namespace quenvar::app {
namespace {

constexpr uint32_t kEsSystemRequired = 0x00000001u;

std::string BusError(const char* step, int r, const sd_bus_error* error) {
  std::string text = step;
  text += ": ";
  text += (error != nullptr && sd_bus_error_is_set(error) && error->message != nullptr)
              ? error->message
              : std::strerror(-r);
  return text;
}

}  // namespace

int LogindInhibitorSource::Inhibit(const InhibitRequest& request, std::string* error) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r < 0) {
    if (error) *error = BusError("system bus", r, nullptr);
    return -1;
  }
  sd_bus_error bus_error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int fd = -1;
  r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", "Inhibit", &bus_error, &reply, "ssss",
                         request.what.c_str(), request.who.c_str(), request.why.c_str(),
                         request.mode.c_str());
  if (r < 0) {
    if (error) *error = BusError("Inhibit", r, &bus_error);
  } else {
    int received = -1;
    r = sd_bus_message_read(reply, "h", &received);
    if (r < 0) {
      if (error) *error = BusError("Inhibit reply", r, nullptr);
    } else {
      // The reply owns the descriptor it carries; keep a copy of our own.
      fd = ::fcntl(received, F_DUPFD_CLOEXEC, 3);
      if (fd < 0 && error) *error = std::string("dup: ") + std::strerror(errno);
    }
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&bus_error);
  sd_bus_flush_close_unref(bus);
  return fd;
}

SleepInhibitor::SleepInhibitor(InhibitorSource* source) : source_(source) {
  if (source_ == nullptr) {
    own_source_ = std::make_unique<LogindInhibitorSource>();
    source_ = own_source_.get();
  }
}

SleepInhibitor::~SleepInhibitor() { Release(); }

InhibitRequest SleepInhibitor::ProgramRequest() {
  InhibitRequest request;
  request.what = "shutdown:sleep:idle";
  request.who = platform::Utf16ToUtf8(LoadString(ids::kAppTitle));
  // The notice's first paragraph, on one line.
  std::u16string reason(LoadString(ids::kShutdownRefused));
  const size_t end = reason.find(u"\r\n\r\n");
  if (end != std::u16string::npos) reason.resize(end);
  std::u16string line;
  for (char16_t c : reason) {
    if (c == u'\r') continue;
    if (c == u'\n') c = u' ';
    if (c == u' ' && !line.empty() && line.back() == u' ') continue;
    line.push_back(c);
  }
  while (!line.empty() && line.back() == u' ') line.pop_back();
  request.why = platform::Utf16ToUtf8(line);
  request.mode = "block";
  return request;
}

bool SleepInhibitor::Acquire() {
  if (fd_ >= 0) return true;
  last_error_.clear();
  const int fd = source_->Inhibit(ProgramRequest(), &last_error_);
  if (fd < 0) {
    if (last_error_.empty()) last_error_ = "no inhibitor";
    return false;
  }
  fd_ = fd;
  return true;
}

void SleepInhibitor::Release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

void KeepAwake::SetExecutionState(uint32_t flags) {
  if ((flags & kEsContinuous) == 0) return;
  if ((flags & kEsSystemRequired) != 0) {
    inhibitor_.Acquire();
  } else {
    inhibitor_.Release();
  }
}

}  // namespace quenvar::app
