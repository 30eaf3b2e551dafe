#include "app/prompting/error_object.h"

#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {

CErrorObject::CErrorObject(int module, int location, int code, std::u16string_view text,
                           uint32_t last_error, PromptWindow owner)
    : module_(module),
      location_(location),
      code_(code),
      last_error_(last_error),
      command_error_(0),
      owner_(owner),
      text_(text) {
  message_ = text_.empty() ? std::u16string(LoadString(ids::kUnexpectedErrorRestart)) : text_;
  message_ += ErrorLine(module_, location_, code_, last_error_);
  Show();
}

CErrorObject::CErrorObject(int module, int location, int code, uint32_t last_error, uint32_t command_error,
                           std::u16string_view text, PromptWindow owner)
    : module_(module),
      location_(location),
      code_(code),
      last_error_(last_error),
      command_error_(command_error),
      owner_(owner),
      text_(text) {
  message_ = text_;
  message_ += u'\n';
  message_ += LoadString(SenseTextId(command_error_));
  message_ += u'\n';
  message_ += ErrorLine(module_, location_, code_, command_error_);
  Show();
}

std::u16string CErrorObject::ErrorLine(int module, int location, int code, uint32_t value) {
  // Module and location print as given, wider when they exceed their fields; only the code is cut.
  return FormatText(LoadString(ids::kErrorLine),
                    {module, location, static_cast<unsigned>(code) & 0xFFu, value});
}

uint32_t CErrorObject::SenseTextId(uint32_t command_error) {
  switch ((command_error >> 8) & 0xFF) {
    case 0x03:
    case 0x09:
    case 0x0C: return ids::kSenseRecording;
    case 0x04: return ids::kSenseNotReady;
    case 0x11: return ids::kSenseReading;
    case 0x29: return ids::kSenseReinitialized;
    case 0x30: return ids::kSenseIncompatible;
    case 0x31: return ids::kSenseFormatting;
    case 0x3A: return ids::kSenseNoMedium;
    case 0x73: return ids::kSensePowerCalibration;
    default: return ids::kUnexpectedError;
  }
}

void CErrorObject::Show() const {
  Prompter& prompter = CurrentPrompter();
  MessageRequest request;
  request.text = message_;
  request.buttons = PromptButtons::kOk;
  request.icon = PromptIcon::kWarning;
  if (prompter.IsWindow(owner_)) {
    // Owned by the reporting window, with the platform's default caption.
    request.owner = owner_;
  } else if (PromptWindow main_window = prompter.MainWindow()) {
    request.owner = main_window;
    request.caption = std::u16string(LoadString(ids::kAppTitle));
  }
  prompter.ShowMessage(request);
}

}  // namespace quenvar::app
