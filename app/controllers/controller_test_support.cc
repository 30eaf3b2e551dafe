#include "app/controllers/controller_test_support.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/resources/string_table.h"
#include "platform/drive_map.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/result.h"
#include "quillden/virtual.h"

namespace quenvar::app::test_support {

const std::string& TestRoot() {
  static const std::string root = [] {
    char pattern[] = "/tmp/quenvar_ctrl_XXXXXX";
    std::string dir = ::mkdtemp(pattern);
    ::mkdir((dir + "/registry").c_str(), 0700);
    ::setenv("QUENVAR_REGISTRY_ROOT", (dir + "/registry").c_str(), 1);
    const std::string map = "D=virtual:dvd+rw:" + dir + "/d.disc;E=virtual:dvd-r:" + dir +
                            "/e.disc;F=virtual:cd-r:" + dir + "/f.disc;U=usb:/dev/quenvar-none";
    ::setenv("QUENVAR_DRIVES", map.c_str(), 1);
    platform::DriveMap::Reload();
    // The folder goes when the process ends (the engine's handles on it end with the process too).
    static const std::string* const doomed = new std::string(dir);  // outlives static destructors
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*doomed, ignored);
    });
    return dir;
  }();
  return root;
}

std::string Backing(char letter) {
  return TestRoot() + "/" + static_cast<char>(letter + 32) + ".disc";
}

namespace {

// The engine's reason for the last failed virtual drive call.
std::string VirtualDriveError() {
  char16_t reason[512];
  DRV_GetVirtualDriveError(reason, 512);
  return platform::Utf16ToUtf8(platform::Utf16View(reason));
}

}  // namespace

void InsertBlank(char letter, const std::string& kind) {
  ASSERT_EQ(DRV_CreateVirtualMedium(U16(Backing(letter)).c_str(), U16(kind).c_str(), 0), QD_OK)
      << VirtualDriveError();
  SetTiming(letter, 0, 0, 0, 0, 0);
  SetTray(letter, false);
}

void SetTray(char letter, bool open) {
  ASSERT_EQ(DRV_SetVirtualTray(U16(Backing(letter)).c_str(), open, TRUE), QD_OK)
      << VirtualDriveError();
}

void SetTiming(char letter, DWORD blank, DWORD format, DWORD close, DWORD flush,
               DWORD background_format) {
  const _VIRTUALTIMING timing = {blank, format, close, flush, background_format};
  ASSERT_EQ(DRV_SetVirtualTiming(U16(Backing(letter)).c_str(), &timing), QD_OK)
      << VirtualDriveError();
}

std::u16string U16(const std::string& text) {
  return platform::Utf8ToUtf16(text);
}

std::string WriteFile(const std::string& relative, const std::string& bytes) {
  const std::filesystem::path path = std::filesystem::path(TestRoot()) / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

void WriteSomething(int32_t drive_number) {
  const std::string file = WriteFile("something/old.txt", "old data on the disc");
  HANDLE disc = MST_CreateDatadisk();
  ASSERT_NE(MST_AddDatadiskFile(disc, U16(file).c_str(), u""), INVALID_HANDLE_VALUE);
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  ASSERT_NE(drive, nullptr);
  EXPECT_EQ(MST_WriteDatadisk(drive, disc, 3, nullptr, TRUE, 0), 0u);
  DRV_CloseDrive(drive);
  MST_DestroyDatadisk(disc);
}

void ControllerTest::SetUp() {
  TestRoot();
  SetUiLanguage(1033);
  prompter_.SetMainWindow(main_window_);
  ui_.set_time_divisor(50);
  ui_.set_modal_limit_ms(60000);
  scoped_prompter_ = std::make_unique<ScopedPrompter>(&prompter_);
  scoped_ui_ = std::make_unique<ScopedControllerUi>(&ui_);
}

void ControllerTest::TearDown() {
  scoped_ui_.reset();
  scoped_prompter_.reset();
}

std::vector<std::u16string> ControllerTest::Messages() const {
  std::vector<std::u16string> texts;
  for (const auto& record : prompter_.records()) {
    if (record.kind == ScriptedPrompter::Kind::kMessage) texts.push_back(record.message.text);
  }
  return texts;
}

}  // namespace quenvar::app::test_support
