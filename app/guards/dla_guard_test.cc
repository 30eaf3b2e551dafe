#include "app/guards/dla_guard.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "app/controllers/controller_test_support.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/registry.h"

namespace quenvar::app {
namespace {

using test_support::ControllerTest;
using test_support::kDriveD;

// One stand-in library, kept loaded by the test so its record of calls survives the guard's
// unloading.
class VxLibrary {
 public:
  explicit VxLibrary(const char* path) : path_(path), handle_(::dlopen(path, RTLD_NOW)) {}
  ~VxLibrary() {
    if (handle_) ::dlclose(handle_);
  }
  const char* path() const { return path_; }
  int Call(const char* name) const {
    auto f = reinterpret_cast<int (*)()>(::dlsym(handle_, name));
    return f ? f() : -100;
  }
  int calls() const { return Call("VxTestCalls"); }
  int lock() const { return Call("VxTestLastLock"); }
  int letter() const { return Call("VxTestLastLetter"); }
  std::u16string name() const {
    auto f = reinterpret_cast<const char16_t* (*)()>(::dlsym(handle_, "VxTestLastName"));
    return f ? std::u16string(f()) : u"?";
  }
  bool loaded() const { return handle_ != nullptr; }

 private:
  const char* path_;
  void* handle_;
};

class DlaGuardTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    platform::RegistryKey::DeleteTree(platform::RegistryHive::kLocalMachine, u"SOFTWARE\\Sonic");
  }
  void Register(const platform::RegistryValue& value) {
    platform::RegistryKey key;
    bool created = false;
    ASSERT_TRUE(platform::RegistryKey::Create(platform::RegistryHive::kLocalMachine, kDlaKey, &key,
                                              &created)
                    .ok());
    ASSERT_TRUE(key.Set(u"AppName", value).ok());
  }
  // The error line of the last message, or an empty text.
  std::u16string LastErrorLine() const {
    const auto messages = Messages();
    if (messages.empty()) return {};
    const size_t at = messages.back().find(u"( Error Code: ");
    return at == std::u16string::npos ? std::u16string() : messages.back().substr(at, 23);
  }
};

TEST_F(DlaGuardTest, RecognisedOnlyByTheExactName) {
  EXPECT_FALSE(IsSonicDlaInstalled());
  Register(platform::RegistryValue::Sz(u"sonic dla"));
  EXPECT_FALSE(IsSonicDlaInstalled());
  Register(platform::RegistryValue::Sz(u"Sonic DLA 2"));
  EXPECT_FALSE(IsSonicDlaInstalled());
  Register(platform::RegistryValue::Sz(u""));
  EXPECT_FALSE(IsSonicDlaInstalled());
  Register(platform::RegistryValue::MultiSz({u"Sonic DLA"}));
  EXPECT_FALSE(IsSonicDlaInstalled());
  Register(platform::RegistryValue::Sz(u"Sonic DLA"));
  EXPECT_TRUE(IsSonicDlaInstalled());
}

TEST_F(DlaGuardTest, NotInstalledOrNoLibraryGoesOn) {
  VxLibrary accept(VX_LIBRARY_ACCEPT);
  ASSERT_TRUE(accept.loaded());
  EXPECT_EQ(LockDriveForWriting(1, kDriveD, accept.path()), 1);
  EXPECT_EQ(accept.calls(), 0);  // without the registration the library is not asked

  Register(platform::RegistryValue::Sz(u"Sonic DLA"));
  EXPECT_EQ(LockDriveForWriting(1, kDriveD, "/nonexistent/VxBlock.dll"), 1);
  EXPECT_EQ(LockDriveForWriting(1, kDriveD), 1);  // the real name: not on this machine
  EXPECT_TRUE(Messages().empty());
}

TEST_F(DlaGuardTest, LockAndUnlockNameTheDriveAndTheProgram) {
  Register(platform::RegistryValue::Sz(u"Sonic DLA"));
  VxLibrary accept(VX_LIBRARY_ACCEPT);
  ASSERT_TRUE(accept.loaded());
  EXPECT_EQ(LockDriveForWriting(1, kDriveD, accept.path()), 1);
  EXPECT_EQ(accept.calls(), 1);
  EXPECT_EQ(accept.lock(), 1);
  EXPECT_EQ(accept.letter(), 'D');
  EXPECT_EQ(accept.name(), std::u16string(LoadString(ids::kAppTitle)));
  EXPECT_EQ(LockDriveForWriting(0, kDriveD, accept.path()), 1);
  EXPECT_EQ(accept.calls(), 2);
  EXPECT_EQ(accept.lock(), 0);
  EXPECT_EQ(accept.letter(), 'D');
  EXPECT_TRUE(Messages().empty());
}

TEST_F(DlaGuardTest, RefusedLockStopsTheRun) {
  Register(platform::RegistryValue::Sz(u"Sonic DLA"));
  VxLibrary refuse(VX_LIBRARY_REFUSE);
  ASSERT_TRUE(refuse.loaded());
  EXPECT_EQ(LockDriveForWriting(1, kDriveD, refuse.path()), 0);
  EXPECT_EQ(refuse.calls(), 1);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind(std::u16string(LoadString(ids::kCannotStartNoRecorder)), 0), 0u);
  EXPECT_EQ(LastErrorLine().substr(0, 23), u"( Error Code: 1205A9-F0");  // module 18, 1449
}

TEST_F(DlaGuardTest, IncompleteLibraryIsReportedAndTheRunGoesOn) {
  Register(platform::RegistryValue::Sz(u"Sonic DLA"));
  VxLibrary no_query(VX_LIBRARY_NO_QUERY);
  ASSERT_TRUE(no_query.loaded());
  EXPECT_EQ(LockDriveForWriting(1, kDriveD, no_query.path()), 1);
  EXPECT_EQ(no_query.calls(), 0);
  EXPECT_EQ(LastErrorLine(), u"( Error Code: 12057E-F0");  // 1406

  VxLibrary empty(VX_LIBRARY_EMPTY);
  ASSERT_TRUE(empty.loaded());
  EXPECT_EQ(LockDriveForWriting(1, kDriveD, empty.path()), 1);
  EXPECT_EQ(LastErrorLine(), u"( Error Code: 120575-F0");  // 1397
}

TEST_F(DlaGuardTest, DriveThatCannotBeOpenedIsReportedNotLocked) {
  Register(platform::RegistryValue::Sz(u"Sonic DLA"));
  VxLibrary accept(VX_LIBRARY_ACCEPT);
  ASSERT_TRUE(accept.loaded());
  EXPECT_EQ(LockDriveForWriting(1, 25, accept.path()), 1);  // Y: is not a drive here
  EXPECT_EQ(accept.calls(), 0);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind(std::u16string(LoadString(ids::kCannotStartNoRecorder)), 0), 0u);
  EXPECT_EQ(LastErrorLine(), u"( Error Code: 120590-F0");  // 1424
  // A drive number without a letter is never named to the library.
  EXPECT_EQ(LockDriveForWriting(0, 27, accept.path()), 1);
  EXPECT_EQ(accept.calls(), 0);
}

}  // namespace
}  // namespace quenvar::app
