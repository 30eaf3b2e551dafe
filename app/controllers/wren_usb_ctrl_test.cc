// The USB flash media run: sizes and candidates, the device dialog, the confinement of targets,
// and whole runs on loop devices over sparse files registered in the drive map as USB media (root
// only; skipped with the reason elsewhere).
#include "app/controllers/wren_usb_ctrl.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <tuple>

#include "app/controllers/sel_flash_mem_dlg.h"
#include "app/prompting/scripted_controller_ui.h"
#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "loop_device.h"
#include "platform/drive_map.h"
#include "platform/fault_injection_env.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "tarnfold/tarnfold.h"

namespace quenvar::app {
namespace {

constexpr uint64_t kMiB = 1 << 20;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

TEST(UsbSizes, RequiredSizeAndCandidates) {
  // 4000 / 1024 + 0.1 = 4.006...
  EXPECT_EQ(FormatString(ids::kInsertUsb, {UsbGigabytes(4000)}),
            u"Please insert a USB flash memory greater than  4.0GB. ");
  EXPECT_EQ(FormatText(u"%.1f", {UsbGigabytes(64)}), u"0.2");
  // Capacity in whole megabytes must exceed required + 100.
  EXPECT_FALSE(IsUsbCandidate((4000 + 100) * kMiB, 4000));
  EXPECT_FALSE(IsUsbCandidate((4000 + 101) * kMiB - 1, 4000));  // rounds down to +100
  EXPECT_TRUE(IsUsbCandidate((4000 + 101) * kMiB, 4000));
  EXPECT_FALSE(IsUsbCandidate(0, 0));
  EXPECT_TRUE(IsUsbCandidate(101 * kMiB, 0));
  // A huge required size must not wrap around into a small one.
  EXPECT_FALSE(IsUsbCandidate(~uint64_t{0}, ~uint64_t{0} - 50));
}

TEST(UsbSizes, FormatRequestCutsTheLabelToTwelve) {
  UsbFormatRequest r = MakeUsbFormatRequest(u'U', u"RECOVERY-DISK-1", 1001);
  EXPECT_EQ(std::u16string(r.label), u"RECOVERY-DIS");
  EXPECT_EQ(r.letter, u'U');
  EXPECT_EQ(r.file_system, 1001);
  r = MakeUsbFormatRequest(u'V', u"", 1002);
  EXPECT_EQ(r.label[0], 0);
  EXPECT_EQ(r.file_system, 1002);
}

TEST(UsbSizes, DeviceLineNamesTheDiskAndItsSize) {
  SetUiLanguage(kLangEnglish);
  usbmedia::UsbDisk disk;
  disk.letter = 'U';
  disk.vendor = "ACME";
  disk.model = "Stick";
  disk.capacity_bytes = 8000 * kMiB;
  EXPECT_EQ(CSelFlashMemDlg::DeviceLine(disk), u"USB mass storage devices - (U: ACME Stick) 7.9GB");
}

TEST(UsbCopyList, TargetsStayInsideTheVolume) {
  std::vector<UsbCopyItem> items;
  std::u16string bad;
  ASSERT_TRUE(MakeUsbCopyList(
      {{u"/src/a.bin", u"\\IMAGE\\sub"}, {u"/src/b.txt", u""}, {u"/src/c.cfg", u"TOOLS/./x/"}},
      &items, &bad));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].folders, (std::vector<std::string>{"IMAGE", "sub"}));
  EXPECT_EQ(items[0].name, "a.bin");
  EXPECT_TRUE(items[1].folders.empty());
  EXPECT_EQ(items[2].folders, (std::vector<std::string>{"TOOLS", "x"}));

  for (const char16_t* target :
       {u"..", u"IMAGE\\..\\..\\etc", u"C:\\Windows", u"/x/../../y", u"D:"}) {
    items.clear();
    EXPECT_FALSE(MakeUsbCopyList({{u"/src/a.bin", target}}, &items, &bad)) << Utf16ToUtf8(target);
    EXPECT_TRUE(items.empty());
    EXPECT_NE(bad.find(u"a.bin"), std::u16string::npos);
  }
}

TEST(SelFlashMemDlg, WithoutADeviceListItReportsAndEnds) {
  ScriptedPrompter prompter;
  ScopedPrompter scoped(&prompter);
  CSelFlashMemDlg dialog;
  int32_t chosen = 7;
  EXPECT_EQ(dialog.Run(nullptr, nullptr, 64, &chosen), -1);
  EXPECT_EQ(chosen, 7);
  auto records = prompter.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].message.text.find(u"13002F-F0"), std::u16string::npos)  // module 19, 47
      << Utf16ToUtf8(records[0].message.text);
}

// ---- Runs on loop devices ----

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) had_ = true, old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
    platform::DriveMap::Reload();
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

class RecordingDisplay : public UsbRunDisplay {
 public:
  struct Bars {
    uint32_t a, b;
    bool reset;
  };
  void ShowPhaseText(uint32_t phase) override {
    phases.push_back(phase);
    if (on_phase) on_phase(phase);
  }
  void SetUsbBars(uint32_t a, uint32_t b, bool reset) override { bars.push_back({a, b, reset}); }
  bool cancel_requested() const override { return cancel; }
  std::vector<uint32_t> phases;
  std::vector<Bars> bars;
  bool cancel = false;
  std::function<void(uint32_t)> on_phase;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, size_t size, unsigned seed) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
  std::ofstream(path, std::ios::binary) << bytes;
}

// The compare of a mounted medium reads its copies through the Env, as it reads the sources: a
// fault on the copy's side is reported naming the copy and never passes for an equal file.
TEST(UsbCompare, FaultsOnTheCopyAreReportedNeverPassed) {
  SetUiLanguage(kLangEnglish);
  ScriptedPrompter prompter;
  ScopedPrompter scoped(&prompter);
  platform::ScopedTempDir dir("usb-compare-");
  const std::string source = dir.Child("source.bin"), copy = dir.Child("medium/copy.bin");
  WriteBytes(source, 5000, 7);
  WriteBytes(copy, 5000, 7);
  platform::FaultInjectionEnv env;
  DataDiscVerifier verifier;
  verifier.set_env(&env);
  const struct {
    const char* what;
    platform::FaultKind kind;
    uint64_t nth;
    uint32_t result;
    uint32_t message;
  } cases[] = {
      {"the second chunk of the copy", platform::FaultKind::kRead, 2, QD_E_READ_FILE,
       ids::kReadFileFailed},
      {"the copy's open file", platform::FaultKind::kStat, 2, QD_E_FILE_OPEN, ids::kOpenFileFailed},
      {"the copy's path", platform::FaultKind::kStat, 1, QD_E_FILE_OPEN, ids::kOpenFileFailed},
      {"opening the copy", platform::FaultKind::kOpen, 1, QD_E_FILE_OPEN, ids::kOpenFileFailed},
  };
  for (const auto& c : cases) {
    env.Reset();
    env.SetPathFilter(dir.Child("medium"));
    env.FailNthCall(c.kind, c.nth);
    prompter.ClearRecords();
    verifier.PrepareFiles(kVerifyFull, false);
    EXPECT_EQ(verifier.CompareFile(Utf8ToUtf16(source), Utf8ToUtf16(copy)), c.result) << c.what;
    EXPECT_EQ(env.CallCount(c.kind), c.nth) << c.what;
    const auto records = prompter.records();
    ASSERT_EQ(records.size(), 1u) << c.what;
    EXPECT_EQ(records[0].message.text.rfind(FormatString(c.message, {Utf8ToUtf16(copy)}), 0), 0u)
        << c.what << ": " << Utf16ToUtf8(records[0].message.text);
  }
  // The same Env without a fault finds the files equal.
  env.Reset();
  prompter.ClearRecords();
  verifier.PrepareFiles(kVerifyFull, false);
  EXPECT_EQ(verifier.CompareFile(Utf8ToUtf16(source), Utf8ToUtf16(copy)), 0u);
  EXPECT_TRUE(prompter.records().empty());
}

class UsbRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLanguage(kLangEnglish);
    ctrl_.set_display(&display_);
    ctrl_.set_eject_observer([this](char letter, usbmedia::EjectResult) { ejected_ += letter; });
  }

  // A contents file with one USB disc of required_mb whose file set copies source to target.
  std::unique_ptr<CContentsItem> Contents(uint64_t required_mb, const std::string& source,
                                          const std::string& target,
                                          const std::string& label = "USBTEST",
                                          const std::string& disc_keys = "") {
    const std::string path = dir_.Child("contents.ini");
    std::ofstream(path) << "[CONTENTS]\nContentsTitle=Test\nContentsID=T-1\n"
                        << "[DISCSET01]\nDiscSetTitle=USB\n"
                        << "[DISC0101]\nDiscTitle=USB Disc\nDiscType=USB\nDiscSize=" << required_mb
                        << "\nVolumeLabel=" << label << "\n"
                        << disc_keys << "[FILESET010101]\nSourcePath=" << source
                        << "\nTargetPath=" << target << "\nSubFolder=Yes\nFile0001=*\n";
    auto item = std::make_unique<CContentsItem>();
    EXPECT_EQ(item->Load(Utf8ToUtf16(path)), 1);
    return item;
  }

  std::vector<std::u16string> Messages() const {
    std::vector<std::u16string> texts;
    for (const auto& r : prompter_.records())
      if (r.kind == ScriptedPrompter::Kind::kMessage) texts.push_back(r.message.text);
    return texts;
  }
  int Choices() const {
    int n = 0;
    for (const auto& r : prompter_.records()) n += r.kind == ScriptedPrompter::Kind::kChoose;
    return n;
  }

  // The medium's files as 7z reads them from the partition (neither the kernel's driver nor the
  // tools that wrote them), extracted with their names and times into a folder of the test.
  std::string ExtractMedium(const usbformat::LoopDevice& loop) {
    const std::string node = loop.PartitionNode(1);
    const std::string into = dir_.Child("medium-" + std::to_string(++extracted_));
    int rc = -1;
    usbformat::Capture("7z x -y -o'" + into + "' '" + node + "' >/dev/null 2>&1", &rc);
    return rc == 0 && !node.empty() ? into : "";
  }
  // What 7z lists for one file of the medium ("Attributes", "Modified", ...).
  std::map<std::string, std::string> MediumEntry(const usbformat::LoopDevice& loop,
                                                 const std::string& path) {
    std::map<std::string, std::string> entry;
    const std::string text =
        usbformat::Capture("7z l -slt '" + loop.PartitionNode(1) + "' 2>/dev/null");
    bool inside = false;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      start = end + 1;
      const size_t eq = line.find(" = ");
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
      if (key == "Path") inside = value == path;
      if (inside) entry[key] = value;
    }
    return entry;
  }

  int extracted_ = 0;
  platform::ScopedTempDir dir_{"usb-run-"};
  ScriptedPrompter prompter_;
  ScopedPrompter scoped_prompter_{&prompter_};
  ScriptedControllerUi ui_;
  ScopedControllerUi scoped_ui_{&ui_};
  RecordingDisplay display_;
  CWrenUsbCtrl ctrl_;
  std::string ejected_;
};

#define REQUIRE_LOOP(loop) \
  if (!(loop).ok()) GTEST_SKIP() << "no loop device: " << (loop).why()

// Compares every file below source with the same path below copy; returns the number compared.
int CompareTrees(const std::string& source, const std::string& copy) {
  int n = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(source)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = std::filesystem::relative(entry.path(), source).string();
    EXPECT_EQ(ReadAll(entry.path().string()), ReadAll(copy + "/" + relative)) << relative;
    ++n;
  }
  return n;
}

TEST_F(UsbRunTest, SampleUsbSetIsCreatedComparedAndEjected) {
  const std::string root = QUENVAR_SAMPLE_ROOT;
  struct stat st {};
  if (stat((root + "/contents/system.ini").c_str(), &st) != 0)
    GTEST_SKIP() << "the sample recovery area is not built at " << root;
  usbformat::LoopDevice loop(256 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());

  CContentsItem item;
  ASSERT_EQ(item.Load(Utf8ToUtf16(root + "/contents/system.ini")), 1);
  int usb_set = -1;
  for (int s = 0; s < item.set_count(); ++s)
    if (item.set(s)->disc_count() > 0 && item.set(s)->disc(0)->media_kind() == 6) usb_set = s;
  ASSERT_GE(usb_set, 0);
  item.set_current_set(usb_set);

  ASSERT_EQ(ctrl_.CreateUsbDisc(&item, 0, 2), 0u);
  EXPECT_EQ(ejected_, "U");
  EXPECT_EQ(ctrl_.running(), 0);
  EXPECT_EQ(ui_.execution_states(), (std::vector<uint32_t>{kEsKeepAwake, kEsContinuous}));
  // The size notice, then the format question: one device, so no choice.
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], u"Please insert a USB flash memory greater than  0.2GB. ");
  EXPECT_EQ(messages[1], LoadString(ids::kAskFormatUsb));
  EXPECT_EQ(Choices(), 0);
  // Copy, then compare; the bars count files of both phases.
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0, 1}));
  ASSERT_FALSE(display_.bars.empty());
  const uint32_t files = display_.bars.front().a;
  EXPECT_TRUE(display_.bars.front().reset);
  EXPECT_EQ(display_.bars.front().b, 2 * files);
  EXPECT_EQ(display_.bars.back().a, files);
  EXPECT_EQ(display_.bars.back().b, 2 * files);

  // Read by a tool of its own, the medium holds every file of the area, equal to its source, and
  // the disc's boot program in the root folder under the name its boot sector looks for.
  const std::string medium = ExtractMedium(loop);
  ASSERT_FALSE(medium.empty());
  EXPECT_EQ(CompareTrees(root + "/area", medium) + 1, static_cast<int>(files));
  EXPECT_EQ(ReadAll(medium + "/" TF_BIOS_LOADER_NAME),
            ReadAll(root + "/area/boot/boot_program.bin"));
  std::string boot_sector(512, '\0');
  std::ifstream(loop.PartitionNode(1), std::ios::binary).read(boot_sector.data(), 512);
  EXPECT_EQ(boot_sector.substr(0x1F3, 11), "QVBOOT  BIN");
}

// A bootable disc's no-emulation boot program goes to the root folder as the loader the boot
// sector starts, and is compared like the files; a floppy image is no loader and stays away.
TEST_F(UsbRunTest, ABootableDiscsBootProgramBecomesTheLoader) {
  const std::string source = dir_.Child("files");
  WriteBytes(source + "/a.bin", 100 << 10, 1);
  const std::string program = dir_.Child("boot/program.bin");
  WriteBytes(program, 2048, 2);
  for (const char* emulation : {"NO", "FD"}) {
    SCOPED_TRACE(emulation);
    usbformat::LoopDevice loop(160 * kMiB);
    REQUIRE_LOOP(loop);
    ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
    auto item = Contents(16, source, "", "BOOTTEST",
                         "BootImage=" + program + "\nEmulation=" + emulation + "\n");
    ASSERT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), 0u);
    const bool loader = std::string(emulation) == "NO";
    EXPECT_EQ(display_.bars.front().a, loader ? 2u : 1u);
    const std::string medium = ExtractMedium(loop);
    ASSERT_FALSE(medium.empty());
    EXPECT_EQ(ReadAll(medium + "/a.bin"), ReadAll(source + "/a.bin"));
    struct stat st {};
    EXPECT_EQ(stat((medium + "/" TF_BIOS_LOADER_NAME).c_str(), &st) == 0, loader);
    if (loader) {
      EXPECT_EQ(ReadAll(medium + "/" TF_BIOS_LOADER_NAME), ReadAll(program));
    }
    display_.bars.clear();
  }
}

// A boot program that cannot be read fails the disc before the stick is formatted.
TEST_F(UsbRunTest, AMissingBootProgramFailsBeforeFormatting) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string source = dir_.Child("files");
  WriteBytes(source + "/a.bin", 4096, 1);
  ASSERT_EQ(Tarnfold('U', u"FAT32", u"KEEP"), TF_OK);
  const std::string before =
      usbformat::Capture("blkid -p -o value -s UUID " + loop.PartitionNode(1));
  ASSERT_FALSE(before.empty());
  auto item = Contents(16, source, "", "BOOTTEST",
                       "BootImage=" + dir_.Child("absent.bin") + "\nEmulation=NO\n");
  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), QD_E_SOURCE_MISSING);
  EXPECT_EQ(ejected_, "");
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[2].find(Utf8ToUtf16(dir_.Child("absent.bin"))), std::u16string::npos);
  EXPECT_EQ(usbformat::Capture("blkid -p -o value -s UUID " + loop.PartitionNode(1)), before)
      << "the stick was formatted";
}

// A boot program the stick's boot sector cannot load whole (empty, or over 64 KiB) would give a
// stick that does not start: the disc fails before the stick is formatted.
TEST_F(UsbRunTest, ABootProgramTheStickCannotLoadFailsBeforeFormatting) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string source = dir_.Child("files");
  WriteBytes(source + "/a.bin", 4096, 1);
  ASSERT_EQ(Tarnfold('U', u"FAT32", u"KEEP"), TF_OK);
  const std::string before =
      usbformat::Capture("blkid -p -o value -s UUID " + loop.PartitionNode(1));
  ASSERT_FALSE(before.empty());
  for (const uint64_t size : {uint64_t{0}, uint64_t{TF_BIOS_LOADER_MAX_SIZE} + 1}) {
    const std::string program = dir_.Child("boot" + std::to_string(size) + ".bin");
    WriteBytes(program, size, 3);
    auto item = Contents(16, source, "", "BOOTTEST", "BootImage=" + program + "\nEmulation=NO\n");
    EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), QD_E_NO_BOOT_IMAGE) << size;
    EXPECT_EQ(ejected_, "");
    const auto messages = Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_NE(messages.back().find(u"64 KiB"), std::u16string::npos);
    EXPECT_NE(messages.back().find(Utf8ToUtf16(program)), std::u16string::npos);
    EXPECT_EQ(usbformat::Capture("blkid -p -o value -s UUID " + loop.PartitionNode(1)), before)
        << "the stick was formatted";
  }
}

TEST_F(UsbRunTest, CancelDuringTheCopyEndsQuietlyAndDoesNotEject) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string source = dir_.Child("many");
  for (int i = 0; i < 40; ++i) WriteBytes(source + "/f" + std::to_string(i) + ".bin", 256 << 10, i);
  auto item = Contents(16, source, "\\DATA");
  ui_.SetPumpHook([this](int) {
    if (ctrl_.done() >= 2) ctrl_.Cancel();
  });

  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), QD_E_CANCELLED);
  EXPECT_EQ(ejected_, "");
  EXPECT_EQ(Messages().size(), 2u);  // the size notice and the format question only
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0}));  // no compare after a cancel
  EXPECT_LT(display_.bars.back().a, 40u);
  EXPECT_EQ(ctrl_.running(), 0);
  EXPECT_EQ(ui_.execution_states().back(), kEsContinuous);
  EXPECT_TRUE(ctrl_.mountPoint().empty());
}

TEST_F(UsbRunTest, TheWorkflowsCancelReachesTheCompare) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string source = dir_.Child("two");
  WriteBytes(source + "/a.bin", 4 << 20, 1);
  WriteBytes(source + "/b.bin", 4 << 20, 2);
  auto item = Contents(16, source, "");
  ui_.SetPumpHook([this](int) {
    if (!display_.phases.empty() && display_.phases.back() == 1) display_.cancel = true;
  });
  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), QD_E_CANCELLED);
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(ejected_, "");
}

TEST_F(UsbRunTest, TheCompareFindsAFileThatDiffersFromItsSource) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string source = dir_.Child("src");
  WriteBytes(source + "/a.bin", 5000, 1);
  WriteBytes(source + "/sub/b.bin", 9000, 2);
  auto item = Contents(16, source, "");
  // The source changes after it was copied: the medium no longer holds the same bytes.
  display_.on_phase = [&](uint32_t phase) {
    if (phase == 1) WriteBytes(source + "/sub/b.bin", 9000, 99);
  };
  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), QD_E_COMPARE_DIFFERS);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[2].find(u"b.bin"), std::u16string::npos) << Utf16ToUtf8(messages[2]);
  EXPECT_EQ(ejected_, "");
}

TEST_F(UsbRunTest, ACopyFailureShowsThePlatformErrorCode) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string source = dir_.Child("src");
  WriteBytes(source + "/a.bin", 5000, 1);
  WriteBytes(source + "/b.bin", 5000, 2);
  auto item = Contents(16, source, "");
  // A source that vanishes between the scan and the copy.
  display_.on_phase = [&](uint32_t phase) {
    if (phase == 0) std::filesystem::remove(source + "/b.bin");
  };
  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), static_cast<uint32_t>(ENOENT));
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2].rfind(LoadString(ids::kUnexpectedError), 0), 0u);
  EXPECT_NE(messages[2].find(u"040EAF-02-00000002"), std::u16string::npos)  // location 3759
      << Utf16ToUtf8(messages[2]);
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0}));
  EXPECT_EQ(ejected_, "");
}

// A source read that fails while the medium is compared with it, or while it is copied, fails the
// medium with the reason: it is neither reported created nor ejected.
class UsbSourceFaultTest : public UsbRunTest {
 protected:
  void SetUp() override {
    UsbRunTest::SetUp();
    source_ = dir_.Child("src");
    WriteBytes(source_ + "/a.bin", 5000, 1);
    WriteBytes(source_ + "/b.bin", 5000, 2);
    env_.SetPathFilter(source_);
    ctrl_.set_env(&env_);
    // Calls are counted from the phase on: the second source read of the phase fails.
    display_.on_phase = [this](uint32_t phase) {
      if (phase == 0) {
        struct stat volume {
        }, above{};
        kernel_mounted_ = stat(ctrl_.mountPoint().c_str(), &volume) == 0 &&
                          stat((ctrl_.mountPoint() + "/..").c_str(), &above) == 0 &&
                          volume.st_dev != above.st_dev;
      }
      if (phase == failing_phase_) env_.FailNthCall(platform::FaultKind::kRead, 2);
    };
  }

  std::string source_;
  platform::FaultInjectionEnv env_;
  uint32_t failing_phase_ = 0;
  bool kernel_mounted_ = false;
};

TEST_F(UsbSourceFaultTest, DuringTheCompare) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  auto item = Contents(16, source_, "");
  // The compare reads a.bin in 2048-byte chunks: its second chunk cannot be read.
  failing_phase_ = 1;
  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), QD_E_READ_FILE);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(
      messages[2].rfind(FormatString(ids::kReadFileFailed, {Utf8ToUtf16(source_ + "/a.bin")}), 0),
      0u)
      << Utf16ToUtf8(messages[2]);
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(ejected_, "");

  // The same run without a fault creates the medium.
  env_.Reset();
  env_.SetPathFilter(source_);
  failing_phase_ = 2;  // none
  prompter_.ClearRecords();
  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), 0u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(ejected_, "U");
  EXPECT_GT(env_.CallCount(platform::FaultKind::kRead), 0u);
}

TEST_F(UsbSourceFaultTest, DuringTheCopy) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  auto item = Contents(16, source_, "");
  // The copy reads each small source in one call: b.bin's read fails. Through mtools the copy
  // reads its sources itself, and the compare's read fails instead.
  failing_phase_ = 0;
  const uint32_t result = ctrl_.CreateUsbDisc(item.get(), 0, 2);
  EXPECT_NE(result, 0u);
  EXPECT_EQ(ejected_, "");
  if (!kernel_mounted_) GTEST_SKIP() << "no vfat in this kernel: the copy went through mtools";
  EXPECT_EQ(result, static_cast<uint32_t>(EIO));
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2].rfind(LoadString(ids::kUnexpectedError), 0), 0u);
  EXPECT_NE(messages[2].find(u"040EAF-05-00000005"), std::u16string::npos)  // location 3759, EIO
      << Utf16ToUtf8(messages[2]);
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0}));
}

// The medium's copy is read through the Env too: a read that fails on the medium, or a copy whose
// open file cannot be told to be the file looked at, fails the compare naming the copy.
TEST_F(UsbSourceFaultTest, OnTheMediumDuringTheCompare) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  auto item = Contents(16, source_, "");
  for (const platform::FaultKind kind : {platform::FaultKind::kRead, platform::FaultKind::kStat}) {
    std::string medium;
    display_.on_phase = [&](uint32_t phase) {
      if (phase == 0) {
        struct stat volume {
        }, above{};
        kernel_mounted_ = stat(ctrl_.mountPoint().c_str(), &volume) == 0 &&
                          stat((ctrl_.mountPoint() + "/..").c_str(), &above) == 0 &&
                          volume.st_dev != above.st_dev;
      }
      if (phase != 1) return;
      medium = ctrl_.mountPoint();
      env_.Reset();
      env_.SetPathFilter(medium);
      // The path is looked at, then the file opened: the second status is the open file's.
      env_.FailNthCall(kind, 2);
    };
    prompter_.ClearRecords();
    ejected_.clear();
    const uint32_t result = ctrl_.CreateUsbDisc(item.get(), 0, 2);
    if (!kernel_mounted_) GTEST_SKIP() << "no vfat in this kernel: the compare goes through mtools";
    const bool read = kind == platform::FaultKind::kRead;
    EXPECT_EQ(result, read ? QD_E_READ_FILE : QD_E_FILE_OPEN);
    EXPECT_EQ(ejected_, "");
    EXPECT_EQ(env_.CallCount(kind), 2u);
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].rfind(FormatString(read ? ids::kReadFileFailed : ids::kOpenFileFailed,
                                             {Utf8ToUtf16(medium + "/a.bin")}),
                                0),
              0u)
        << Utf16ToUtf8(messages[2]);
  }
}

// The copy takes the source's times from the file it opened: a status that cannot be read fails
// the copy with the platform's code.
TEST_F(UsbSourceFaultTest, TheSourcesStatusDuringTheCopy) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  auto item = Contents(16, source_, "");
  display_.on_phase = [this](uint32_t phase) {
    if (phase != 0) return;
    struct stat volume {
    }, above{};
    kernel_mounted_ = stat(ctrl_.mountPoint().c_str(), &volume) == 0 &&
                      stat((ctrl_.mountPoint() + "/..").c_str(), &above) == 0 &&
                      volume.st_dev != above.st_dev;
    env_.FailNthCall(platform::FaultKind::kStat, 1, EACCES);
  };
  const uint32_t result = ctrl_.CreateUsbDisc(item.get(), 0, 2);
  // mtools reads the sources itself, and the compare opens them without asking their status.
  if (!kernel_mounted_) GTEST_SKIP() << "no vfat in this kernel: the copy went through mtools";
  EXPECT_EQ(result, static_cast<uint32_t>(EACCES));
  EXPECT_EQ(ejected_, "");
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[2].find(u"040EAF-0D-0000000D"), std::u16string::npos)  // location 3759, EACCES
      << Utf16ToUtf8(messages[2]);
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0}));
}

TEST_F(UsbRunTest, CandidatesNeedMoreThanAHundredMegabytesToSpare) {
  usbformat::LoopDevice exact(164 * kMiB), one_more(165 * kMiB), large(300 * kMiB);
  REQUIRE_LOOP(exact);
  REQUIRE_LOOP(one_more);
  REQUIRE_LOOP(large);
  const std::string before = one_more.Hash();
  auto item = Contents(64, dir_.path(), "");
  {
    // Only S: is there: no candidate.
    ScopedEnv drives("QUENVAR_DRIVES", "S=usb:" + exact.device());
    EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 0), QD_E_CANCELLED);
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1],
              u"Please insert a USB flash memory greater than  0.2GB. Then click [Create].");
    EXPECT_EQ(prompter_.records()[1].message.icon, PromptIcon::kWarning);
  }
  prompter_.ClearRecords();
  {
    // S: and T:, one candidate: no dialog, straight to the question (declined here).
    ScopedEnv drives("QUENVAR_DRIVES", "S=usb:" + exact.device() + ";T=usb:" + one_more.device());
    prompter_.QueueAnswer(kIdOk);      // the size notice
    prompter_.QueueAnswer(kIdCancel);  // the format question
    EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 0), QD_E_CANCELLED);
    EXPECT_EQ(Choices(), 0);
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1], LoadString(ids::kAskFormatUsb));
  }
  prompter_.ClearRecords();
  {
    // Two candidates: the dialog lists both, in letter order; cancelling it ends the run.
    ScopedEnv drives("QUENVAR_DRIVES", "S=usb:" + exact.device() + ";T=usb:" + one_more.device() +
                                           ";W=usb:" + large.device());
    prompter_.SetDefaultAnswer(ScriptedPrompter::Kind::kChoose, -1);
    EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 0), QD_E_CANCELLED);
    ASSERT_EQ(Choices(), 1);
    for (const auto& r : prompter_.records()) {
      if (r.kind != ScriptedPrompter::Kind::kChoose) continue;
      EXPECT_EQ(r.dialog, ids::kDlgSelectFlashMemory);
      ASSERT_EQ(r.lines.size(), 2u);
      EXPECT_NE(r.lines[0].find(u"(T:"), std::u16string::npos) << Utf16ToUtf8(r.lines[0]);
      EXPECT_NE(r.lines[0].find(u") 0.3GB"), std::u16string::npos) << Utf16ToUtf8(r.lines[0]);
      EXPECT_NE(r.lines[1].find(u"(W:"), std::u16string::npos) << Utf16ToUtf8(r.lines[1]);
    }
    EXPECT_EQ(Messages().size(), 1u);  // no format question after the dialog was cancelled
  }
  EXPECT_EQ(one_more.Hash(), before);
  EXPECT_EQ(ejected_, "");
}

TEST_F(UsbRunTest, AFormatFailureShowsTheTarnfoldCodeAndCopiesNothing) {
  usbformat::LoopDevice loop(200 * kMiB);
  REQUIRE_LOOP(loop);
  ASSERT_TRUE(loop.Partition("label: dos\n,60M,c\n,,7\n"));
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  // The partitioning step fails, so the fallback finds the two partitions.
  platform::ScopedTempDir tools("usb-tools-");
  std::ofstream(tools.Child("sfdisk")) << "#!/bin/sh\nexit 1\n";
  chmod(tools.Child("sfdisk").c_str(), 0755);
  ScopedEnv path("PATH", tools.path() + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
  const std::string before = loop.Hash();
  WriteBytes(dir_.Child("src/a.bin"), 1000, 3);
  auto item = Contents(16, dir_.Child("src"), "");

  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), TF_E_LAYOUT);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2].rfind(u"Format failed!", 0), 0u) << Utf16ToUtf8(messages[2]);
  // Module 4, location 3630, the code's low byte and the whole code.
  EXPECT_NE(messages[2].find(u"040E2E-04-00001004"), std::u16string::npos)
      << Utf16ToUtf8(messages[2]);
  EXPECT_TRUE(display_.phases.empty());
  EXPECT_EQ(loop.Hash(), before);
  EXPECT_EQ(ejected_, "");
}

TEST_F(UsbRunTest, TargetsOutsideTheVolumeAreRefusedBeforeFormatting) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string before = loop.Hash();
  WriteBytes(dir_.Child("src/a.bin"), 1000, 4);
  for (const char* target : {"..\\outside", "DATA\\..\\..\\up", "C:\\Windows"}) {
    prompter_.ClearRecords();
    auto item = Contents(16, dir_.Child("src"), target);
    EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 0), QD_E_DRIVER_REQUEST) << target;
    // The user learns which entry was refused.
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 3u) << target;  // size notice, format question, refusal
    EXPECT_NE(Utf16ToUtf8(messages[2]).find(target), std::string::npos) << Utf16ToUtf8(messages[2]);
  }
  // A listed name that climbs out is named too.
  prompter_.ClearRecords();
  const std::string path = dir_.Child("listed.ini");
  std::ofstream(path)
      << "[CONTENTS]\nContentsTitle=T\nContentsID=T-3\n[DISCSET01]\nDiscSetTitle=U\n"
      << "[DISC0101]\nDiscTitle=U\nDiscType=USB\nDiscSize=16\n"
      << "[FILESET010101]\nSourcePath=" << dir_.Child("src")
      << "\nTargetPath=\\DATA\nFile0001=a.bin\nFile0002=..\\..\\secret.bin\n";
  CContentsItem listed;
  ASSERT_EQ(listed.Load(Utf8ToUtf16(path)), 1);
  EXPECT_EQ(ctrl_.CreateUsbDisc(&listed, 0, 0), QD_E_DRIVER_REQUEST);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(Utf16ToUtf8(messages[2]).find("..\\..\\secret.bin"), std::string::npos)
      << Utf16ToUtf8(messages[2]);
  EXPECT_EQ(loop.Hash(), before);
  EXPECT_EQ(ejected_, "");
}

TEST_F(UsbRunTest, WithoutCompareEveryLevelOfFoldersIsCopied) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string source = dir_.Child("tree");
  WriteBytes(source + "/top.txt", 10, 1);
  WriteBytes(source + "/a/b/c/deep.bin", 70000, 2);
  WriteBytes(source + "/a/empty-sibling/x.dat", 0, 3);
  const std::string path = dir_.Child("ntfs.ini");
  std::ofstream(path)
      << "[CONTENTS]\nContentsTitle=T\nContentsID=T-2\n[DISCSET01]\nDiscSetTitle=U\n"
      << "[DISC0101]\nDiscTitle=U\nDiscType=USB\nDiscSize=8\n"
      << "[FILESET010101]\nSourcePath=" << source
      << "\nTargetPath=\\ROOT\nSubFolder=Yes\nFile0001=*\n";
  CContentsItem item;
  ASSERT_EQ(item.Load(Utf8ToUtf16(path)), 1);

  ASSERT_EQ(ctrl_.CreateUsbDisc(&item, 0, 0), 0u);
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0}));
  EXPECT_EQ(display_.bars.front().b, 3u);  // no compare: one phase of three files
  const std::string medium = ExtractMedium(loop);
  ASSERT_FALSE(medium.empty());
  EXPECT_EQ(CompareTrees(source, medium + "/ROOT"), 3);
}

TEST_F(UsbRunTest, NamesLabelsAndTimesOutsideAsciiReadBackUnchanged) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  ScopedEnv code_page("QUENVAR_CODEPAGE", "1252");
  const std::string source = dir_.Child("\u00e9t\u00e9");
  const std::vector<std::string> names = {
      "\u00dcberpr\u00fcfung \u30ea\u30ab\u30d0\u30ea.txt",
      "Donn\u00e9es/\u30b5\u30d6/a[1] x.bin",  // "[" is a pattern character for some tools
      "Donn\u00e9es/a1 x.bin",                 // what that pattern would also match
      "PLAIN.BIN", "Donn\u00e9es/lecture seule.txt"};
  // Even seconds: FAT keeps modification times to two seconds.
  const time_t times[] = {1551675968, 1626393598, 946684800, 1262304000, 1700000000};
  for (size_t i = 0; i < names.size(); ++i) {
    WriteBytes(source + "/" + names[i], 3000 + 1000 * i, static_cast<unsigned>(i + 7));
    const struct timespec when[2] = {{times[i], 0}, {times[i], 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (source + "/" + names[i]).c_str(), when, 0), 0);
  }
  chmod((source + "/" + names[4]).c_str(), 0444);
  auto item = Contents(16, source, "\\R\u00e9cup\u00e9ration", "\u00c9T\u00c9 \u00dc");

  ASSERT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), 0u);
  EXPECT_EQ(ejected_, "U");
  EXPECT_EQ(display_.phases, (std::vector<uint32_t>{0, 1}));

  const std::string medium = ExtractMedium(loop);
  ASSERT_FALSE(medium.empty());
  const std::string copy = medium + "/R\u00e9cup\u00e9ration";
  EXPECT_EQ(CompareTrees(source, copy), static_cast<int>(names.size()));
  for (size_t i = 0; i < names.size(); ++i) {
    struct stat st {};
    ASSERT_EQ(stat((copy + "/" + names[i]).c_str(), &st), 0) << names[i];
    // 7z reads FAT's local time back as local time: equal to the source in any zone.
    EXPECT_EQ(st.st_mtime, times[i]) << names[i];
  }
  const auto read_only = MediumEntry(loop, "R\u00e9cup\u00e9ration/" + names[4]);
  const auto writable = MediumEntry(loop, "R\u00e9cup\u00e9ration/" + names[0]);
  EXPECT_NE(
      read_only.count("Attributes") ? read_only.at("Attributes").find('R') : std::string::npos,
      std::string::npos);
  ASSERT_TRUE(writable.count("Attributes"));
  EXPECT_EQ(writable.at("Attributes").find('R'), std::string::npos);
  EXPECT_EQ(usbformat::Capture("LC_ALL=C.UTF-8 fatlabel -c 850 '" + loop.PartitionNode(1) +
                               "' 2>/dev/null"),
            "\u00c9T\u00c9 \u00dc\n");
}

// A recovery area on an NTFS volume (ntfs-3g) carries read-only, hidden and system attributes of
// its own: the medium keeps them beside the modification times, as another reader of the
// partition sees; a file with none gets none.
TEST_F(UsbRunTest, TheSourcesDosAttributesAreKept) {
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  const std::string image = dir_.Child("area.ntfs");
  const std::string source = dir_.Child("area");
  std::filesystem::create_directories(source);
  int rc = -1;
  usbformat::Capture(
      "truncate -s 16M '" + image + "' && mkntfs -q -Q -F '" + image + "' >/dev/null 2>&1", &rc);
  if (rc != 0) GTEST_SKIP() << "mkntfs cannot make the source volume";
  usbformat::Capture("ntfs-3g '" + image + "' '" + source + "' 2>&1", &rc);
  if (rc != 0) GTEST_SKIP() << "ntfs-3g cannot mount the source volume";
  struct Unmount {
    std::string path;
    ~Unmount() { usbformat::Capture("umount '" + path + "' 2>/dev/null"); }
  } unmount{source};
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  // name, NTFS attributes, modification time
  const std::vector<std::tuple<std::string, uint32_t, time_t>> files = {
      {"plain.txt", 0x20, 1551675968},
      {"Syst\u00e8me/boot.ini", 0x01 | 0x02 | 0x04 | 0x20, 1626393598},
      {"Syst\u00e8me/versteckt.dat", 0x02, 946684800},
      {"lecture seule.txt", 0x01, 1262304000}};
  for (const auto& [name, attributes, when] : files) {
    WriteBytes(source + "/" + name, 5000, static_cast<unsigned>(when));
    const std::string path = source + "/" + name;
    ASSERT_EQ(setxattr(path.c_str(), "system.ntfs_attrib", &attributes, sizeof attributes, 0), 0)
        << name;
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << name;
  }
  auto item = Contents(16, source, "\\AREA");

  ASSERT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), 0u) << ::testing::PrintToString(Messages());
  const std::string medium = ExtractMedium(loop);
  ASSERT_FALSE(medium.empty());
  EXPECT_EQ(CompareTrees(source, medium + "/AREA"), static_cast<int>(files.size()));
  for (const auto& [name, attributes, when] : files) {
    const auto entry = MediumEntry(loop, "AREA/" + name);
    ASSERT_TRUE(entry.count("Attributes")) << name;
    const std::string dos = entry.at("Attributes").substr(0, entry.at("Attributes").find(' '));
    for (const auto& [bit, letter] : {std::pair{0x01u, 'R'}, {0x02u, 'H'}, {0x04u, 'S'}}) {
      EXPECT_EQ(dos.find(letter) != std::string::npos, (attributes & bit) != 0)
          << name << ": " << dos;
    }
    struct stat st {};
    ASSERT_EQ(stat((medium + "/AREA/" + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mtime, when) << name;
  }
}

TEST_F(UsbRunTest, TheCompareReadsTheMediumNotTheSourceTwice) {
  // A file that changes on the medium after the copy is caught, with its name on the medium.
  usbformat::LoopDevice loop(160 * kMiB);
  REQUIRE_LOOP(loop);
  ScopedEnv drives("QUENVAR_DRIVES", "U=usb:" + loop.device());
  const std::string source = dir_.Child("src");
  WriteBytes(source + "/\u30c7\u30fc\u30bf.bin", 300000, 5);
  auto item = Contents(16, source, "");
  display_.on_phase = [&](uint32_t phase) {
    if (phase != 1) return;
    // Overwrite the copy's bytes where they lie on the partition.
    const std::string node = loop.PartitionNode(1);
    std::string image = usbformat::Capture("cat '" + node + "'");
    std::string original(300000, '\0');
    std::ifstream(source + "/\u30c7\u30fc\u30bf.bin", std::ios::binary).read(&original[0], 300000);
    const size_t at = image.find(original.substr(100000, 4096));
    ASSERT_NE(at, std::string::npos);
    const int fd = open(node.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const char flipped = static_cast<char>(~image[at]);
    EXPECT_EQ(pwrite(fd, &flipped, 1, static_cast<off_t>(at)), 1);
    EXPECT_EQ(fsync(fd), 0);  // on the medium, where a fresh read finds it
    close(fd);
  };
  EXPECT_EQ(ctrl_.CreateUsbDisc(item.get(), 0, 2), QD_E_COMPARE_DIFFERS);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[2].find(u"\u30c7\u30fc\u30bf.bin"), std::u16string::npos)
      << Utf16ToUtf8(messages[2]);
  EXPECT_EQ(ejected_, "");
}

}  // namespace
}  // namespace quenvar::app
