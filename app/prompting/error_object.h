// Orvex prompting: the report of an unexpected failure.
//
// Building a CErrorObject composes the message and shows it at once, with the warning icon, through
// the installed Prompter; the object then only holds the strings until it goes out of scope. Every
// message ends in the error line "( Error Code: MMLLLL-CC-VVVVVVVV )": the reporting module, the
// fixed location of the report site, the low byte of the failure code and either the platform's
// last error (general form) or the packed code of the last failed drive command (drive form: the
// operation code, sense key, additional sense code and qualifier, as DRV_GetLastCommandError
// returns it). The drive form also names the likely cause from the additional sense code.
//
// Reports may come from any thread; the prompt blocks that thread until the user answered.
#ifndef QUENVAR_APP_PROMPTING_ERROR_OBJECT_H_
#define QUENVAR_APP_PROMPTING_ERROR_OBJECT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "app/prompting/prompt.h"

namespace quenvar::app {

// The program areas that report, one number each.
enum ErrorModule : int {
  kModuleCompare = 0x02,
  kModuleContentsItem = 0x03,
  kModuleContentsList = 0x04,
  kModuleDiscItem = 0x05,
  kModuleDiscSet = 0x06,
  kModuleEraseProgressDlg = 0x07,
  kModuleFileProgressDlg = 0x09,
  kModuleFileSet = 0x0A,
  kModuleSelectDriveDlg = 0x0B,
  kModuleWrenCtrl = 0x0D,
  kModuleWrenDataCtrl = 0x0E,
  kModuleWrenImgCtrl = 0x0F,
  kModuleOrvexFrameDlg = 0x10,
  kModuleOrvexApp = 0x11,
  kModuleOrvexDlg = 0x12,
  kModuleSelFlashMemDlg = 0x13,
};

// A failure of the program itself: a missing object, a bad argument, a failed platform call.
inline constexpr int kErrorInternal = 0xF0;
// A handle that came back as the invalid handle value.
inline constexpr int kErrorInvalidHandle = 0xF1;

class CErrorObject {
 public:
  // General form: text (string 15003 when empty) followed by the error line with last_error.
  CErrorObject(int module, int location, int code, std::u16string_view text, uint32_t last_error,
               PromptWindow owner);
  // Drive form: text, the sense text of the command error's additional sense code, the error line
  // with command_error.
  CErrorObject(int module, int location, int code, uint32_t last_error, uint32_t command_error,
               std::u16string_view text, PromptWindow owner);

  CErrorObject(const CErrorObject&) = delete;
  CErrorObject& operator=(const CErrorObject&) = delete;

  int module() const { return module_; }
  int location() const { return location_; }
  int code() const { return code_; }
  uint32_t last_error() const { return last_error_; }
  uint32_t command_error() const { return command_error_; }
  PromptWindow owner() const { return owner_; }
  const std::u16string& text() const { return text_; }
  const std::u16string& message() const { return message_; }

  // The error line for these values.
  static std::u16string ErrorLine(int module, int location, int code, uint32_t value);
  // The string id of the sense text for a packed command error (by its additional sense code).
  static uint32_t SenseTextId(uint32_t command_error);

 private:
  void Show() const;

  int module_;
  int location_;
  int code_;
  uint32_t last_error_;
  uint32_t command_error_;
  PromptWindow owner_;
  std::u16string text_;
  std::u16string message_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_PROMPTING_ERROR_OBJECT_H_
