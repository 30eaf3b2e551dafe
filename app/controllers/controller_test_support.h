// Test support for the controller tests: virtual recorders in a private folder, the scripted
// prompter and controller UI installed, English texts.
//
// The engine reads the drive map once per process, so the map is fixed on first use: D: DVD+RW,
// E: DVD-R, F: CD-R (virtual recorders) and U: a USB disk (not an optical drive).
#ifndef QUENVAR_APP_CONTROLLERS_CONTROLLER_TEST_SUPPORT_H_
#define QUENVAR_APP_CONTROLLERS_CONTROLLER_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/prompting/scripted_controller_ui.h"
#include "app/prompting/scripted_prompter.h"
#include "quillden/types.h"

namespace quenvar::app::test_support {

inline constexpr int32_t kDriveD = 4;
inline constexpr int32_t kDriveE = 5;
inline constexpr int32_t kDriveF = 6;

// The folder of this process's drives and scratch files.
const std::string& TestRoot();
// The backing file of a drive letter.
std::string Backing(char letter);
// Puts a new blank medium of kind ("dvd-rw", "cd-rw", ...) into the drive, tray closed, no delays.
void InsertBlank(char letter, const std::string& kind);
void SetTray(char letter, bool open);
// Sets the busy periods of the drive (milliseconds, see quillden/virtual.h).
void SetTiming(char letter, DWORD blank, DWORD format, DWORD close, DWORD flush,
               DWORD background_format);
// Writes a small data disc to the medium of drive_number (no progress object, no verify).
void WriteSomething(int32_t drive_number);
// Writes bytes to a new file under TestRoot().
std::string WriteFile(const std::string& relative, const std::string& bytes);
// A UTF-16 copy of a UTF-8 path.
std::u16string U16(const std::string& text);

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The texts of every message box shown so far, in order.
  std::vector<std::u16string> Messages() const;

  ScriptedPrompter prompter_;
  ScriptedControllerUi ui_;
  int main_window_token_ = 0;
  PromptWindow main_window_ = &main_window_token_;

 private:
  std::unique_ptr<ScopedPrompter> scoped_prompter_;
  std::unique_ptr<ScopedControllerUi> scoped_ui_;
};

}  // namespace quenvar::app::test_support

#endif  // QUENVAR_APP_CONTROLLERS_CONTROLLER_TEST_SUPPORT_H_
