#include "datadisk/file_progress_asker.h"

#include "platform/message_window.h"

namespace quillden {

bool FileProgressAsker::HasWindow() const {
  return record_ && quenvar::platform::IsWindow(record_->window.load());
}

uint32_t FileProgressAsker::Ask(uint32_t code, const char16_t* text) const {
  LRESULT reply = quenvar::platform::SendMessage(record_->window.load(), record_->message.load(), code,
                                                 reinterpret_cast<LPARAM>(text));
  return static_cast<uint32_t>(reply);
}

}  // namespace quillden
