#include "app/controllers/wren_data_ctrl.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "app/controllers/controller_test_support.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/fault_injection_env.h"
#include "platform/ini_file.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/result.h"

namespace quenvar::app {
namespace {

using test_support::ControllerTest;
using test_support::InsertBlank;
using test_support::TestRoot;
using test_support::U16;
using test_support::WriteFile;

constexpr char kMarker[] = "QUENVAR-VERIFY-MARKER";

std::u16string Text(uint32_t id) {
  return std::u16string(LoadString(id));
}

CFileSet MakeSet(const std::string& source, const std::string& target, bool subfolders,
                 const std::vector<std::string>& names) {
  std::string text = "[FILESET1]\nSourcePath=" + source + "\nTargetPath=" + target +
                     "\nSubFolder=" + (subfolders ? "Yes" : "No") + "\n";
  for (size_t i = 0; i < names.size(); ++i) {
    std::string number = std::to_string(i + 1);
    text += "File" + std::string(4 - number.size(), '0') + number + "=" + names[i] + "\n";
  }
  CFileSet set;
  EXPECT_EQ(set.Load(platform::IniFile::Parse(text), u"1"), 1);
  return set;
}

// src/a.txt, src/big.bin (starts with the marker), src/sub/c.txt, src/sub/deeper/d.txt,
// src/.cache/x
std::string MakeSourceTree() {
  static const std::string root = [] {
    std::mt19937 random(7);
    std::string big(150000, '\0');
    for (char& c : big) c = static_cast<char>(random());
    big.replace(0, sizeof kMarker - 1, kMarker);
    WriteFile("src/big.bin", big);
    WriteFile("src/a.txt", "alpha");
    WriteFile("src/sub/c.txt", std::string(5000, 'c'));
    WriteFile("src/sub/deeper/d.txt", "delta");
    WriteFile("src/.cache/x", "hidden folder");
    WriteFile("boot.img", std::string(2048, '\xEB'));
    return TestRoot() + "/src";
  }();
  return root;
}

uint32_t MediaIn(int32_t drive_number) {
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  _MEDIAINFORMATION info{};
  DRV_GetMediaInformation(drive, &info);
  DRV_CloseDrive(drive);
  return info.dwMedia;
}

class DataCtrlTest : public ControllerTest {
 protected:
  // Everything up to the media check: a new disc, settings, the boot image and the source tree.
  void Prepare(int32_t drive_number, int32_t media_kind, int32_t verify) {
    MakeSourceTree();
    ASSERT_TRUE(CWrenCtrl().EnumerateRecorders(&list_));
    list_.SetSelection(drive_number);
    ctrl_.set_drive_list(&list_);
    DiscJobSettings settings;
    settings.verify_mode = verify;
    settings.media_kind = media_kind;
    settings.file_system = 1;
    settings.volume_label = u"recovery_1";
    settings.disc_title = u"Recovery Disc 1";
    settings.next_title = u"Recovery Disc 2";
    ASSERT_EQ(ctrl_.CreateDatadisk(), 0u);
    ASSERT_EQ(ctrl_.ApplySettings(settings), 0u);
    ASSERT_EQ(ctrl_.ReadBootImage(U16(TestRoot() + "/boot.img"), 0, 0, 4), 0u);
    FileMap map;
    const CFileSet set = MakeSet(MakeSourceTree(), "", true, {"*"});
    ASSERT_EQ(ctrl_.CollectFileSet(&set, &map), 1);
    ASSERT_EQ(ctrl_.AddFiles(main_window_, &map), 0u);
    ASSERT_EQ(ctrl_.filesAdded(), 4);
  }

  CWrenDataCtrl ctrl_;
  DriveList list_;
};

TEST_F(DataCtrlTest, StarCollectsTheTreeByRelativeFolder) {
  const std::string src = MakeSourceTree();
  FileMap map;
  const CFileSet all = MakeSet(src, "", true, {"*"});
  EXPECT_EQ(ctrl_.CollectFileSet(&all, &map), 1);
  EXPECT_EQ(map, (FileMap{{U16(src + "/a.txt"), u""},
                          {U16(src + "/big.bin"), u""},
                          {U16(src + "/sub/c.txt"), u"sub"},
                          {U16(src + "/sub/deeper/d.txt"), u"sub\\deeper"}}));
  map.clear();
  const CFileSet flat = MakeSet(src, "", false, {"*"});
  EXPECT_EQ(ctrl_.CollectFileSet(&flat, &map), 1);
  EXPECT_EQ(map, (FileMap{{U16(src + "/a.txt"), u""}, {U16(src + "/big.bin"), u""}}));
}

TEST_F(DataCtrlTest, ListedNamesAndTheirFailures) {
  const std::string src = MakeSourceTree();
  FileMap map;
  const CFileSet listed = MakeSet(src, "T", true, {"a.txt", "sub", "sub\\c.txt"});
  EXPECT_EQ(ctrl_.CollectFileSet(&listed, &map), 1);
  EXPECT_EQ(map, (FileMap{{U16(src + "/a.txt"), u"T"},
                          {U16(src + "/sub/c.txt"), u"T"},  // entered last: the listed file wins
                          {U16(src + "/sub/deeper/d.txt"), u"T\\sub\\deeper"}}));
  map.clear();
  EXPECT_EQ(ctrl_.CollectFileSet(&listed, nullptr), 0);
  EXPECT_NE(Messages().back().find(u"0A00A8-F0-"),
            std::u16string::npos);  // module 10, location 168
}

// A listed name that does not exist fails its disc, naming the file, wherever it stands in the
// list; the file sets after it are not collected, and nothing is silently left out.
TEST_F(DataCtrlTest, MissingListedNameFailsTheDiscNamingIt) {
  const std::string src = MakeSourceTree();
  const std::string text =
      "[DISC0101]\nDiscTitle=D\nDiscType=DVD\n"
      "[FILESET010101]\nSourcePath=" +
      src +
      "\nFile0001=a.txt\n"
      "File0002=does-not-exist.bin\nFile0003=big.bin\n"
      "[FILESET010102]\nSourcePath=" +
      src + "\nFile0001=sub\n";
  CDiscItem disc;
  ASSERT_EQ(disc.Load(platform::IniFile::Parse(text), u"0101"), 1);
  FileMap map;
  EXPECT_EQ(ctrl_.CollectDiscFiles(&disc, &map), QD_E_SOURCE_MISSING);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(
      messages[0].rfind(FormatString(ids::kOpenFileFailed, {U16(src + "/does-not-exist.bin")}), 0),
      0u);
  EXPECT_NE(messages[0].find(u"( Error Code: 0A00AB-13-"), std::u16string::npos);

  // A missing source folder for "*", and a listed folder that vanished, fail the same way.
  map.clear();
  prompter_.ClearRecords();
  const CFileSet no_folder = MakeSet(src + "/nowhere", "", true, {"*"});
  EXPECT_EQ(ctrl_.CollectFileSet(&no_folder, &map), 0);
  EXPECT_EQ(ctrl_.collect_error(), QD_E_SOURCE_MISSING);
  EXPECT_EQ(Messages().at(0).rfind(FormatString(ids::kOpenFileFailed, {U16(src + "/nowhere")}), 0),
            0u);

  // Every name present: the whole disc is collected.
  const std::string complete =
      "[DISC0101]\nDiscTitle=D\nDiscType=DVD\n"
      "[FILESET010101]\nSourcePath=" +
      src +
      "\nFile0001=a.txt\n"
      "[FILESET010102]\nSourcePath=" +
      src + "\nTargetPath=T\nFile0001=sub\n";
  CDiscItem whole;
  ASSERT_EQ(whole.Load(platform::IniFile::Parse(complete), u"0101"), 1);
  map.clear();
  EXPECT_EQ(ctrl_.CollectDiscFiles(&whole, &map), 0u);
  EXPECT_EQ(map.size(), 3u);
}

TEST_F(DataCtrlTest, ParentFolderNamesAndFolderLinksStayInside) {
  const std::string src = MakeSourceTree();
  WriteFile("outside.txt", "not part of any disc");
  FileMap map;
  struct Case {
    std::string target;
    std::string name;
    std::u16string named;  // the entry the message names
  };
  for (const Case& c :
       {Case{"..\\up", "a.txt", u"..\\up"}, Case{"", "../outside.txt", u"../outside.txt"},
        Case{"", "sub\\..\\..\\", u"sub\\..\\..\\"}, Case{"T/../..", "*", u"T/../.."}}) {
    prompter_.ClearRecords();
    const CFileSet climbing = MakeSet(src, c.target, true, {c.name});
    EXPECT_EQ(ctrl_.CollectFileSet(&climbing, &map), 0) << c.target << " " << c.name;
    EXPECT_EQ(ctrl_.collect_error(), QD_E_INVALID_ARGUMENT);
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind(FormatString(ids::kEntryLeavesFolder, {c.named}), 0), 0u) << c.name;
  }
  EXPECT_TRUE(map.empty());

  const std::string loop_dir = TestRoot() + "/loop";
  WriteFile("loop/file.txt", "once");
  std::filesystem::create_directory_symlink(loop_dir, loop_dir + "/again");
  std::filesystem::create_symlink(loop_dir + "/file.txt", loop_dir + "/link.txt");
  EXPECT_EQ(ctrl_.CollectFolder(U16(loop_dir), u"", &map), 1);
  EXPECT_EQ(map, (FileMap{{U16(loop_dir + "/file.txt"), u""}, {U16(loop_dir + "/link.txt"), u""}}));
}

// A folder bind-mounted below itself is the same folder: it is not collected a second time.
TEST_F(DataCtrlTest, FolderMountedBelowItselfIsCollectedOnce) {
  const std::string tree = TestRoot() + "/bound";
  WriteFile("bound/a.txt", "once");
  std::filesystem::create_directory(tree + "/inner");
  if (::mount(tree.c_str(), (tree + "/inner").c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "no bind mounts here: " << std::strerror(errno);
  FileMap map;
  const int collected = ctrl_.CollectFolder(U16(tree), u"", &map);
  ::umount2((tree + "/inner").c_str(), MNT_DETACH);
  EXPECT_EQ(collected, 1);
  EXPECT_EQ(map, (FileMap{{U16(tree + "/a.txt"), u""}}));
}

TEST_F(DataCtrlTest, BootImageNameClashKeepsTheBootImage) {
  MakeSourceTree();
  ASSERT_EQ(ctrl_.CreateDatadisk(), 0u);
  ASSERT_EQ(ctrl_.ReadBootImage(U16(TestRoot() + "/boot.img"), 0, 0, 4), 0u);
  ASSERT_EQ(MST_CreateBootImageFileEntry(ctrl_.datadisk(), u"BOOT.IMG"), 0u);
  const std::string clash = WriteFile("clash/boot.img", "a file that is not the boot image");
  const std::string other = WriteFile("clash/other.txt", "other");
  const std::string third = WriteFile("clash/third.txt", "third");
  const FileMap map{{U16(clash), u""}, {U16(other), u""}, {U16(third), u"x"}};
  ctrl_.AddFiles(main_window_, &map);
  EXPECT_EQ(ctrl_.filesAdded(), 3);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], Text(ids::kBootImageNameClash) + u"boot.img");
  EXPECT_EQ(prompter_.records()[0].message.caption, Text(ids::kAppTitle));
  WIN32_FIND_DATAW find{};
  ASSERT_NE(MST_FindFullPathDatadiskFile(ctrl_.datadisk(), u"boot.img", &find),
            INVALID_HANDLE_VALUE);
  EXPECT_NE(find.dwFileAttributes & DDF_ATTR_BOOT_IMAGE, 0u);
  EXPECT_NE(MST_FindFullPathDatadiskFile(ctrl_.datadisk(), u"x\\third.txt", nullptr),
            INVALID_HANDLE_VALUE);
}

TEST_F(DataCtrlTest, CancelWhileAddingEndsTheDisc) {
  ASSERT_EQ(ctrl_.CreateDatadisk(), 0u);
  const std::string src = MakeSourceTree();
  const FileMap map{{U16(src + "/a.txt"), u""}, {U16(src + "/big.bin"), u""}};
  prompter_.QueueAnswer(kIdYes);
  ui_.QueueCancel(0);
  EXPECT_NE(ctrl_.AddFiles(main_window_, &map), 0u);
  EXPECT_EQ(ctrl_.filesAdded(), -1);
  EXPECT_EQ(Messages()[0], Text(ids::kAskCancelThisProcess));
  EXPECT_EQ(ctrl_.AddFiles(nullptr, &map), QD_E_INVALID_HANDLE);
}

TEST_F(DataCtrlTest, MissingBootImageFileIsShownWithTheDiscTitle) {
  ASSERT_EQ(ctrl_.CreateDatadisk(), 0u);
  DiscJobSettings settings;
  settings.file_system = 1;
  settings.disc_title = u"Disc X";
  ASSERT_EQ(ctrl_.ApplySettings(settings), 0u);
  EXPECT_EQ(ctrl_.ReadBootImage(u"/nonexistent/boot.img", 0, 0, 4), QD_E_SOURCE_MISSING);
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message.text,
            FormatString(ids::kOpenFileFailed, {u"/nonexistent/boot.img"}));
  EXPECT_EQ(records[0].message.caption, FormatString(ids::kNowCreatingCaption, {u"Disc X"}));
}

TEST_F(DataCtrlTest, EfiBootImageIsReadBesideTheBootImage) {
  ASSERT_EQ(ctrl_.CreateDatadisk(), 0u);
  DiscJobSettings settings;
  settings.file_system = 1;
  settings.disc_title = u"Disc E";
  ASSERT_EQ(ctrl_.ApplySettings(settings), 0u);
  EXPECT_EQ(ctrl_.ReadEfiBootImage(u"/nonexistent/esp.img"), QD_E_SOURCE_MISSING);
  ASSERT_EQ(prompter_.records().size(), 1u);
  EXPECT_EQ(prompter_.records()[0].message.text,
            FormatString(ids::kOpenFileFailed, {u"/nonexistent/esp.img"}));
  std::string esp(4096, 'e');
  esp[510] = static_cast<char>(0x55);
  esp[511] = static_cast<char>(0xAA);
  const std::string path = TestRoot() + "/esp.img";
  std::ofstream(path, std::ios::binary) << esp;
  EXPECT_EQ(ctrl_.ReadEfiBootImage(U16(path)), 0u);
  EXPECT_TRUE(MST_IsEfiBootImage(ctrl_.datadisk()));
  EXPECT_FALSE(MST_IsBootImage(ctrl_.datadisk()));
  EXPECT_EQ(ctrl_.ReadEfiBootImage(U16(path)), QD_E_BOOT_IMAGE_SET);
}

struct RunCase {
  char letter;
  int32_t drive;
  const char* kind;
  int32_t media_kind;
  int32_t verify;
};

class DataDiscRunTest : public DataCtrlTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(DataDiscRunTest, WritesVerifiesAndEjects) {
  const RunCase run = GetParam();
  InsertBlank(run.letter, run.kind);
  ASSERT_NO_FATAL_FAILURE(Prepare(run.drive, run.media_kind, run.verify));
  std::vector<uint32_t> verify_phases;
  ui_.SetPumpHook([&](int) {
    uint32_t status = 0, done = 0, total = 0, phase = 0;
    if (ctrl_.GetProgress(&status, &done, &total, &phase) && phase == kPhaseVerifying)
      verify_phases.push_back(total);
  });
  prompter_.QueueAnswer(kIdOk);  // the first media prompt
  std::u16string message = u"Insert a disc.\r\n";
  ASSERT_EQ(ctrl_.CreateDataDisc(&message), 0u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(message, FormatString(ids::kCreatedSuccessfully, {u"Recovery Disc 1"}) +
                         FormatString(ids::kWriteDownTitle, {u"Recovery Disc 1"}) +
                         FormatString(ids::kWillNowBeCreated, {u"Recovery Disc 2"}));
  EXPECT_EQ(Messages().size(), 1u);   // nothing but the first prompt
  EXPECT_EQ(MediaIn(run.drive), 0u);  // ejected
  EXPECT_EQ(ctrl_.busy(), 0);
  EXPECT_EQ(ctrl_.progress(), nullptr);
  EXPECT_EQ(ctrl_.closeMode(), 0u);
  if (run.verify == 0) {
    // Not verified, yet every file was looked for on the disc, without the verify display.
    EXPECT_EQ(ui_.display_events(), (std::vector<int>{0, -1}));
    EXPECT_EQ(ctrl_.verifier().files_verified(), 4);
  } else {
    EXPECT_EQ(ui_.display_events(), (std::vector<int>{0, -1, 1, -1}));
    EXPECT_FALSE(verify_phases.empty());
  }
  if (run.verify == 1) {
    EXPECT_EQ(ctrl_.verifier().files_verified(), 4);
  }
  if (run.verify == 2) {
    EXPECT_EQ(ctrl_.verifier().bytes_verified(), 150000u + 5 + 5000 + 5);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKindAndMode, DataDiscRunTest,
    ::testing::Values(RunCase{'D', 4, "dvd+rw", 2, 0}, RunCase{'D', 4, "dvd+rw", 2, 1},
                      RunCase{'D', 4, "dvd+rw", 2, 2}, RunCase{'E', 5, "dvd-r", 2, 0},
                      RunCase{'E', 5, "dvd-r", 2, 1}, RunCase{'E', 5, "dvd-r", 2, 2},
                      RunCase{'F', 6, "cd-r", 1, 0}, RunCase{'F', 6, "cd-r", 1, 1},
                      RunCase{'F', 6, "cd-r", 1, 2}),
    [](const ::testing::TestParamInfo<RunCase>& info) {
      std::string name =
          std::string(1, info.param.letter) + "_verify" + std::to_string(info.param.verify);
      return name;
    });

TEST_F(DataCtrlTest, FlippedByteFailsTheFullVerifyOnly) {
  InsertBlank('D', "dvd+rw");
  ASSERT_NO_FATAL_FAILURE(Prepare(4, 2, 0));
  prompter_.QueueAnswer(kIdOk);
  std::u16string message;
  ASSERT_EQ(ctrl_.CreateDataDisc(&message), 0u);

  // Flip one byte of big.bin on the medium, well after its first 2048 bytes.
  std::fstream disc(test_support::Backing('D'), std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(disc)), std::istreambuf_iterator<char>());
  const size_t at = bytes.find(kMarker);
  ASSERT_NE(at, std::string::npos);
  disc.seekp(static_cast<std::streamoff>(at + 3000));
  disc.put(static_cast<char>(bytes[at + 3000] ^ 0x5A));
  disc.close();
  test_support::SetTray('D', false);
  prompter_.ClearRecords();

  DataDiscVerifier verifier;
  ASSERT_TRUE(verifier.Prepare(ctrl_.datadisk(), 4, 2));
  EXPECT_EQ(verifier.Run(4, ctrl_.datadisk()), QD_E_COMPARE_DIFFERS);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  const std::u16string source = U16(MakeSourceTree() + "/big.bin");
  const std::u16string expected = Text(ids::kFilesDiffer) +
                                  FormatString(ids::kSourcePath, {source}) + u"\n" +
                                  FormatString(ids::kTargetPath, {u"D:\\big.bin"});
  EXPECT_EQ(messages[0].rfind(expected, 0), 0u);
  EXPECT_NE(messages[0].find(u"( Error Code: 02016F-3C-"), std::u16string::npos);

  prompter_.ClearRecords();
  ASSERT_TRUE(verifier.Prepare(ctrl_.datadisk(), 4, 1));
  EXPECT_EQ(verifier.Run(4, ctrl_.datadisk()), 0u);
  EXPECT_EQ(verifier.files_verified(), 4);
  EXPECT_TRUE(Messages().empty());

  // Equal content, different sizes: a difference without a message.
  const std::string longer = WriteFile("longer.txt", "alpha and more");
  EXPECT_EQ(verifier.CompareFile(U16(longer), u"D:\\a.txt"), QD_E_COMPARE_DIFFERS);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(verifier.CompareFile(U16(longer), u"D:\\missing.txt"), QD_E_FILE_OPEN);
  EXPECT_EQ(Messages().size(), 1u);
}

// A file that vanished between collecting and adding is left out by the engine without a word;
// the disc must not go on without it.
TEST_F(DataCtrlTest, FileThatNeverReachedTheTreeFailsTheDisc) {
  ASSERT_EQ(ctrl_.CreateDatadisk(), 0u);
  const std::string src = MakeSourceTree();
  const std::string gone = TestRoot() + "/vanished.bin";
  const FileMap map{{U16(src + "/a.txt"), u""}, {U16(gone), u"deep"}, {U16(src + "/big.bin"), u""}};
  EXPECT_EQ(ctrl_.AddFiles(main_window_, &map), QD_E_SOURCE_MISSING);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind(FormatString(ids::kOpenFileFailed, {U16(gone)}), 0), 0u);

  // A file replaced by a later one of the same disc path is no loss.
  ASSERT_EQ(ctrl_.CreateDatadisk(), 0u);
  prompter_.ClearRecords();
  const std::string twin = WriteFile("twin/a.txt", "the other alpha");
  const FileMap twins{{U16(src + "/a.txt"), u""}, {U16(twin), u""}};
  EXPECT_EQ(ctrl_.AddFiles(main_window_, &twins), 0u) << ::testing::PrintToString(Messages());
}

// Every written disc is read back for its files, also without verifying: a file whose source
// changed after it was added, or a tree entry the disc lacks, fails the disc.
TEST_F(DataCtrlTest, UnverifiedDiscIsStillCheckedForEveryFile) {
  InsertBlank('D', "dvd+rw");
  ASSERT_NO_FATAL_FAILURE(Prepare(4, 2, 0));
  const std::string growing = WriteFile("grow/g.txt", "short");
  const FileMap extra{{U16(growing), u"late"}};
  ASSERT_EQ(ctrl_.AddFiles(main_window_, &extra), 0u);
  WriteFile("grow/g.txt", "short, and then a good deal longer");
  prompter_.QueueAnswer(kIdOk);
  std::u16string message;
  EXPECT_EQ(ctrl_.CreateDataDisc(&message), QD_E_COMPARE_DIFFERS);
  auto messages = Messages();
  ASSERT_EQ(messages.size(), 2u);  // the media prompt, then the difference
  EXPECT_NE(messages[1].find(FormatString(ids::kTargetPath, {u"D:\\late\\g.txt"})),
            std::u16string::npos);
  EXPECT_EQ(MediaIn(4), 0u);  // ejected all the same
  EXPECT_EQ(ctrl_.busy(), 0);

  // A tree entry that is not on the written disc.
  test_support::SetTray('D', false);
  const std::string extra_file = WriteFile("extra.txt", "never written");
  ASSERT_NE(MST_AddDatadiskFile(ctrl_.datadisk(), U16(extra_file).c_str(), u""), nullptr);
  prompter_.ClearRecords();
  DataDiscVerifier presence;
  ASSERT_TRUE(presence.Prepare(ctrl_.datadisk(), 4, kVerifyPresence));
  EXPECT_EQ(presence.Run(4, ctrl_.datadisk()), QD_E_FILE_OPEN);
  messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind(FormatString(ids::kOpenFileFailed, {u"D:\\extra.txt"}), 0), 0u);
}

// A folder of the tree that cannot be listed, or that is gone by the time the walk reaches it,
// would leave its files off the disc: the file set fails naming the folder.
TEST_F(DataCtrlTest, FolderThatCannotBeListedFailsTheFileSet) {
  const std::string src = MakeSourceTree();
  const CFileSet all = MakeSet(src, "", true, {"*"});
  platform::FaultInjectionEnv env;
  ctrl_.set_env(&env);
  struct Case {
    const char* what;
    std::function<void()> fault;
    std::string named;
  };
  const std::vector<Case> cases = {
      {"listing fails deep down",
       [&] {
         env.SetPathFilter(src + "/sub/deeper");
         env.FailNthCall(platform::FaultKind::kList, 1);
       },
       src + "/sub/deeper"},
      {"a folder vanishes once its parent was listed",
       [&] { env.VanishAfterListing(src + "/sub"); }, src + "/sub/deeper"},
      {"the source folder cannot be listed",
       [&] {
         env.SetPathFilter(src);
         env.FailNthCall(platform::FaultKind::kList, 1, EACCES);
       },
       src},
  };
  for (const Case& c : cases) {
    env.Reset();
    c.fault();
    prompter_.ClearRecords();
    FileMap map;
    EXPECT_EQ(ctrl_.CollectFileSet(&all, &map), 0) << c.what;
    EXPECT_EQ(ctrl_.collect_error(), QD_E_SOURCE_MISSING) << c.what;
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 1u) << c.what;
    EXPECT_EQ(messages[0].rfind(FormatString(ids::kOpenFileFailed, {U16(c.named)}), 0), 0u)
        << c.what;
  }

  // A listed folder fails the same way; the whole disc's collection ends with the code.
  env.Reset();
  env.SetPathFilter(src + "/sub/deeper");
  env.FailNthCall(platform::FaultKind::kList, 1);
  FileMap map;
  const CFileSet listed = MakeSet(src, "S", true, {"sub"});
  EXPECT_EQ(ctrl_.CollectFileSet(&listed, &map), 0);
  EXPECT_EQ(ctrl_.collect_error(), QD_E_SOURCE_MISSING);

  // Without faults the same Env collects the whole tree.
  env.Reset();
  map.clear();
  EXPECT_EQ(ctrl_.CollectFileSet(&all, &map), 1);
  EXPECT_EQ(map.size(), 4u);
  EXPECT_GT(env.CallCount(platform::FaultKind::kList), 0u);
}

// A source that cannot be read while the written disc is verified fails the disc with the reason;
// the disc is never reported created.
TEST_F(DataCtrlTest, SourceReadFailureDuringVerifyFailsTheDisc) {
  InsertBlank('D', "dvd+rw");
  ASSERT_NO_FATAL_FAILURE(Prepare(4, 2, 2));
  const std::string big = MakeSourceTree() + "/big.bin";
  platform::FaultInjectionEnv env;
  env.SetPathFilter(big);
  env.FailNthCall(platform::FaultKind::kRead, 3);  // midway: two chunks compared already
  ctrl_.set_env(&env);
  prompter_.QueueAnswer(kIdOk);
  std::u16string message = u"Insert a disc.\r\n";
  EXPECT_EQ(ctrl_.CreateDataDisc(&message), QD_E_READ_FILE);
  EXPECT_EQ(message.find(FormatString(ids::kCreatedSuccessfully, {u"Recovery Disc 1"})),
            std::u16string::npos);
  EXPECT_EQ(env.CallCount(platform::FaultKind::kRead), 3u);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 2u);  // the media prompt, then the failed read naming the source
  EXPECT_EQ(messages[1].rfind(FormatString(ids::kReadFileFailed, {U16(big)}), 0), 0u)
      << ::testing::PrintToString(messages);
  EXPECT_EQ(MediaIn(4), 0u);  // ejected all the same
  EXPECT_EQ(ctrl_.busy(), 0);

  // The presence check opens every source too: one that cannot be opened fails the disc.
  test_support::SetTray('D', false);
  env.Reset();
  env.SetPathFilter(MakeSourceTree() + "/a.txt");
  env.FailNthCall(platform::FaultKind::kOpen, 1);
  prompter_.ClearRecords();
  DataDiscVerifier presence;
  presence.set_env(&env);
  ASSERT_TRUE(presence.Prepare(ctrl_.datadisk(), 4, kVerifyPresence));
  EXPECT_EQ(presence.Run(4, ctrl_.datadisk()), QD_E_FILE_OPEN);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].rfind(
                FormatString(ids::kOpenFileFailed, {U16(MakeSourceTree() + "/a.txt")}), 0),
            0u);
}

TEST_F(DataCtrlTest, CancelDuringWritingEndsWithCancelled) {
  InsertBlank('D', "dvd+rw");
  ASSERT_NO_FATAL_FAILURE(test_support::SetTiming('D', 1500, 1500, 2000, 1000, 3000));  // slow close
  ASSERT_NO_FATAL_FAILURE(Prepare(4, 2, 2));
  bool cancelled = false;
  ui_.SetPumpHook([&](int) {
    if (!cancelled && ctrl_.progress() != nullptr) {
      cancelled = true;
      ctrl_.CancelJob();
    }
  });
  prompter_.QueueAnswer(kIdOk);
  std::u16string message;
  EXPECT_EQ(ctrl_.CreateDataDisc(&message), QD_E_CANCELLED);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(ctrl_.busy(), 0);
  EXPECT_EQ(MediaIn(4), 0u);  // ejected after the cancel too
}

TEST_F(DataCtrlTest, BlankDvdPlusRDualLayerIsClosedWithMode4) {
  InsertBlank('D', "dvd+r-dl");
  ASSERT_NO_FATAL_FAILURE(Prepare(4, 3, 0));
  prompter_.QueueAnswer(kIdOk);
  std::u16string message;
  EXPECT_EQ(ctrl_.CreateDataDisc(&message), 0u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(ctrl_.closeMode(), 4u);
}

}  // namespace
}  // namespace quenvar::app
