// Project files: the bytes a save writes, loading both variants into a tree, and the checks that
// refuse broken files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "datadisk/datadisk.h"
#include "datadisk/datadisk_env.h"
#include "platform/fault_injection_env.h"
#include "platform/message_window.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden {
namespace {

using quenvar::platform::ScopedTempDir;
using quenvar::platform::Utf16ToUtf8;
using quenvar::platform::Utf8ToUtf16;

constexpr UINT kMessage = 0x8003;

std::string Utf16LeBytes(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The head of a UTF-16 project with the given label.
std::u16string Head(std::u16string_view label) {
  std::u16string text = u"VARNOLD MORVELLANTIC PROJECTFILE    \r\n1.0.0.0 \r\n:VolumeLabel";
  text.push_back(0);
  text += u" ";
  text += label;
  text += u"\r\n";
  return text;
}

class ProjectTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    disc_ = MST_CreateDatadisk();
    file_progress_ = PRG_CreateFileProgress();
  }
  void TearDown() override {
    SetDatadiskEnvForTesting(nullptr);
    PRG_DestroyFileProgress(file_progress_);
    MST_DestroyDatadisk(disc_);
  }

  std::string WriteSource(const std::string& relative, const std::string& content = "data") {
    std::string path = dir_.Child(relative);
    std::ofstream(path) << content;
    return path;
  }
  std::string MakeFolder(const std::string& relative) {
    std::string path = dir_.Child(relative);
    mkdir(path.c_str(), 0755);
    return path;
  }
  DWORD Save(HANDLE disc, const std::string& path) {
    return MST_SaveProjectDatadisk(disc, file_progress_, Utf8ToUtf16(path).c_str());
  }

  // Loads on the worker and answers its questions with answer (null: no window, nothing asked).
  // Returns the call's result, and the worker's in *worker_result.
  DWORD Load(HANDLE disc, const std::string& path, DWORD* worker_result,
             std::function<LRESULT(WPARAM, const char16_t*)> answer = nullptr) {
    HWND window = nullptr;
    bool finished = false;
    if (answer) {
      window = quenvar::platform::CreateMessageWindow(
          [&](HWND, UINT message, WPARAM code, LPARAM text) -> LRESULT {
            if (message != kMessage) return 0;
            if (code == FP_FINISHED) {
              finished = true;
              return 0;
            }
            asked_.push_back(static_cast<uint32_t>(code));
            return answer(code, reinterpret_cast<const char16_t*>(text));
          });
    }
    PRG_SetFileProgressMessage(file_progress_, window, kMessage);
    DWORD result = MST_LoadProjectDatadisk(disc, file_progress_, Utf8ToUtf16(path).c_str());
    *worker_result = 0xDEADBEEF;
    if (result == QD_OK) {
      // Without a window the worker waits suspended until the message is set.
      PRG_SetFileProgressMessage(file_progress_, window, kMessage);
      for (int i = 0; i < 1000 && PRG_GetFileProgressErrorCode(file_progress_) == QD_E_BUSY; ++i) {
        quenvar::platform::WaitForMessages(10);
        quenvar::platform::PumpMessages();
      }
      *worker_result = PRG_GetFileProgressErrorCode(file_progress_);
      if (window) {
        for (int i = 0; i < 100 && !finished; ++i) {
          quenvar::platform::WaitForMessages(10);
          quenvar::platform::PumpMessages();
        }
        EXPECT_TRUE(finished);
      }
    }
    if (window) quenvar::platform::DestroyMessageWindow(window);
    return result;
  }

  // Every entry as "disc path <- source" (folders marked with a trailing "\"), depth first. A
  // folder with children stands for its contents in a project, so its own source is not shown.
  std::vector<std::string> Describe(HANDLE disc) {
    std::vector<std::string> lines;
    auto shared = Datadisk::FromHandle(disc);
    WalkTree(*shared, nullptr, [&](DatadiskEntry* entry) {
      std::string source = entry->first_child ? "" : Utf16ToUtf8(entry->SourcePath());
      lines.push_back(Utf16ToUtf8(entry->DiscPath()) + (entry->is_folder() ? "\\" : "") + " <- " +
                      source);
      return true;
    });
    return lines;
  }
  std::u16string Label(HANDLE disc) {
    WCHAR label[33] = {};
    MST_GetVolumeLabel(disc, label);
    return label;
  }

  ScopedTempDir dir_{"project-"};
  HANDLE disc_ = nullptr;
  HANDLE file_progress_ = nullptr;
  std::vector<uint32_t> asked_;
};

TEST_F(ProjectTest, SaveWritesOneLinePerFileAndEmptyFolder) {
  std::string file = WriteSource("a.txt");
  ASSERT_NE(MST_AddDatadiskFile(disc_, Utf8ToUtf16(file).c_str(), u""), INVALID_HANDLE_VALUE);
  ASSERT_NE(MST_CreateDatadiskFolder(disc_, nullptr, u"EMPTY"), INVALID_HANDLE_VALUE);
  ASSERT_EQ(MST_SetVolumeLabel(disc_, u"BACKUP_1"), QD_OK);
  std::string project = dir_.Child("one.prj");
  ASSERT_EQ(Save(disc_, project), QD_OK);

  std::u16string expected =
      Head(u"BACKUP_1") + Utf8ToUtf16(file) + u"\ta.txt\r\n" + u"|\tEMPTY|\r\n";
  EXPECT_EQ(ReadFile(project), Utf16LeBytes(expected));
}

TEST_F(ProjectTest, RoundTripRebuildsTheTreeAndAddsToWhatIsThere) {
  std::string docs = MakeFolder("docs");
  WriteSource("docs/one.txt");
  MakeFolder("docs/sub");
  WriteSource("docs/sub/two.txt");
  MakeFolder("docs/hollow");  // an empty source folder keeps its source
  std::string three = WriteSource("three.txt");
  ASSERT_NE(MST_AddDatadiskFile(disc_, Utf8ToUtf16(docs).c_str(), u"DOCS"), INVALID_HANDLE_VALUE);
  HANDLE renamed = MST_AddDatadiskFile(disc_, Utf8ToUtf16(three).c_str(), u"x\\y");
  ASSERT_NE(renamed, INVALID_HANDLE_VALUE);
  ASSERT_NE(MST_RenameDatadiskFile(disc_, renamed, u"drei.txt"), INVALID_HANDLE_VALUE);
  HANDLE made = MST_CreateFullPathDatadiskFolder(disc_, u"made\\inner");
  ASSERT_NE(made, INVALID_HANDLE_VALUE);
  ASSERT_EQ(MST_SetVolumeLabel(disc_, u"ROUND_TRIP"), QD_OK);
  std::string project = dir_.Child("tree.prj");
  ASSERT_EQ(Save(disc_, project), QD_OK);

  HANDLE copy = MST_CreateDatadisk();
  std::string early = WriteSource("early.txt");
  ASSERT_NE(MST_AddDatadiskFile(copy, Utf8ToUtf16(early).c_str(), u""), INVALID_HANDLE_VALUE);
  DWORD worker = 0;
  ASSERT_EQ(Load(copy, project, &worker), QD_OK);
  EXPECT_EQ(worker, QD_OK);
  EXPECT_EQ(Label(copy), u"ROUND_TRIP");

  std::vector<std::string> expected = Describe(disc_);
  auto made_at = std::find_if(expected.begin(), expected.end(),
                              [](const std::string& line) { return line.rfind("made", 0) == 0; });
  expected.insert(made_at, "early.txt <- " + early);  // the root sorts it after DOCS, before made
  ASSERT_EQ(expected.size(), 11u);
  EXPECT_EQ(expected[10], "x\\y\\drei.txt <- " + three);  // renamed: the disc path names it
  EXPECT_EQ(expected[1], "DOCS\\hollow\\ <- " + dir_.Child("docs/hollow"));
  std::vector<std::string> loaded = Describe(copy);
  EXPECT_EQ(loaded, expected);
  MST_DestroyDatadisk(copy);
}

TEST_F(ProjectTest, AnsiProjectWithoutZeroUnitIsRead) {
  std::string source = WriteSource("caf\xC3\xA9.txt");  // "café.txt" on disk, UTF-8
  std::string bytes = "VARNOLD MORVELLANTIC PROJECTFILE    \r\n1.0.0.0 \r\n:VolumeLabel ANSI\r\n";
  bytes += dir_.Child("caf\xE9.txt") + "\tmenu\\caf\xE9.txt\r\n";  // CP1252 é
  bytes += "|\tkeep\\empty|\r\n";
  std::string project = dir_.Child("ansi.prj");
  WriteFile(project, bytes);

  DWORD worker = 0;
  ASSERT_EQ(Load(disc_, project, &worker), QD_OK);
  EXPECT_EQ(worker, QD_OK);
  EXPECT_EQ(Label(disc_), u"ANSI");
  std::vector<std::string> expected = {"keep\\ <- ", "keep\\empty\\ <- ", "menu\\ <- ",
                                       "menu\\caf\xC3\xA9.txt <- " + source};
  EXPECT_EQ(Describe(disc_), expected);

  // The keyword without its 0x0000 unit, in UTF-16.
  std::u16string head = Head(u"NO_ZERO");
  head.erase(head.find(u':') + 12, 1);
  WriteFile(project, Utf16LeBytes(head));
  ASSERT_EQ(Load(disc_, project, &worker), QD_OK);
  EXPECT_EQ(Label(disc_), u"NO_ZERO");
}

TEST_F(ProjectTest, BrokenHeadsAreRefusedBeforeAnythingChanges) {
  ASSERT_EQ(MST_SetVolumeLabel(disc_, u"BEFORE"), QD_OK);
  std::string project = dir_.Child("bad.prj");
  struct Case {
    std::u16string text;
    DWORD code;
  } cases[] = {
      {u"VARNOLD MORVELLANTIC PROJECTFILE   X\r\n1.0.0.0 \r\n", QD_E_WRONG_FORM},
      {Head(u"A").replace(38, 7, u"2.0.0.0"), QD_E_WRONG_FORM},
      {Head(u"A").replace(49, 6, u"VOLUME"), QD_E_WRONG_FORM},
      {Head(u"A").substr(0, 52) + u"\n", QD_E_WRONG_FORM},
      {Head(std::u16string(39, u'L')), QD_E_INVALID_ARGUMENT},  // 41 units with CR LF
      {Head(std::u16string(38, u'L')),
       QD_E_NAME_TOO_LONG},                     // 40 units: fits the line, not the label
      {Head(u"lower"), QD_E_INVALID_ARGUMENT},  // fails the label's character test
  };
  for (const Case& c : cases) {
    WriteFile(project, Utf16LeBytes(c.text));
    DWORD worker = 0;
    EXPECT_EQ(Load(disc_, project, &worker), c.code) << Utf16ToUtf8(c.text);
    EXPECT_EQ(MST_GetLastError(disc_), c.code);
    EXPECT_EQ(Label(disc_), u"BEFORE");
  }
  WriteFile(project, "short");
  DWORD worker = 0;
  EXPECT_EQ(Load(disc_, project, &worker), QD_E_WRONG_FORM);
  EXPECT_EQ(Load(disc_, dir_.Child("missing.prj"), &worker), QD_E_FILE_OPEN);
  EXPECT_EQ(Load(disc_, dir_.Child("bad:name.prj"), &worker), QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_LoadProjectDatadisk(disc_, nullptr, Utf8ToUtf16(project).c_str()),
            QD_E_INVALID_HANDLE);
  EXPECT_EQ(Describe(disc_), std::vector<std::string>{});
}

TEST_F(ProjectTest, OverlongEntryStopsTheLoadAndKeepsWhatCameBefore) {
  std::string first = WriteSource("first.txt");
  std::u16string text = Head(u"") + Utf8ToUtf16(first) + u"\tfirst.txt\r\n" +
                        std::u16string(260, u'p') + u"\tlong.txt\r\n" + Utf8ToUtf16(first) +
                        u"\tlater.txt\r\n";
  std::string project = dir_.Child("long.prj");
  WriteFile(project, Utf16LeBytes(text));
  DWORD worker = 0;
  ASSERT_EQ(Load(disc_, project, &worker), QD_OK);
  EXPECT_EQ(worker, QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(Describe(disc_), std::vector<std::string>{"first.txt <- " + first});
}

TEST_F(ProjectTest, DotFoldersInDiscPathsAreLeftOut) {
  std::string first = WriteSource("first.txt");
  for (const std::u16string& line :
       {Utf8ToUtf16(first) + u"\t..\\..\\etc\\passwd\r\n", std::u16string(u"|\tkeep\\.|\r\n")}) {
    MST_DestroyDatadisk(disc_);
    disc_ = MST_CreateDatadisk();
    std::u16string text = Head(u"") + Utf8ToUtf16(first) + u"\tfirst.txt\r\n" + line;
    std::string project = dir_.Child("dots.prj");
    WriteFile(project, Utf16LeBytes(text));
    DWORD worker = 0;
    ASSERT_EQ(Load(disc_, project, &worker), QD_OK);
    // The line is left out, as lines that cannot be added are; the load goes on.
    EXPECT_EQ(worker, QD_OK);
    EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
    std::vector<std::string> tree = Describe(disc_);
    EXPECT_EQ(tree.front(), "first.txt <- " + first);
    for (const std::string& entry : tree) EXPECT_EQ(entry.find(".."), std::string::npos) << entry;
    for (const std::string& entry : tree) EXPECT_EQ(entry.find("\\."), std::string::npos) << entry;
  }
}

TEST_F(ProjectTest, LargeProjectIsReadAcrossBufferBoundaries) {
  std::string source = WriteSource("same.txt");
  std::u16string text = Head(u"BIG");
  const int kLines = 400;  // about 100 KiB of UTF-16
  for (int i = 0; i < kLines; ++i) {
    text += Utf8ToUtf16(source) + u"\t" + std::u16string(80, u'd') + u"\\f" +
            Utf8ToUtf16(std::to_string(i)) + u".txt\r\n";
  }
  ASSERT_GT(text.size() * 2, 64u * 1024);  // more than one read chunk
  std::string project = dir_.Child("big.prj");
  WriteFile(project, Utf16LeBytes(text));
  DWORD worker = 0;
  ASSERT_EQ(Load(disc_, project, &worker), QD_OK);
  EXPECT_EQ(worker, QD_OK);
  EXPECT_EQ(MST_GetNumberOfWriteFile(disc_), static_cast<DWORD>(kLines));
}

TEST_F(ProjectTest, WorkerAsksThroughTheWindowAndStopsOnCancel) {
  std::string a = WriteSource("a.txt");
  std::string b = WriteSource("b.txt");
  std::u16string text = Head(u"Q") + Utf8ToUtf16(dir_.Child("gone.txt")) + u"\tgone.txt\r\n" +
                        Utf8ToUtf16(a) + u"\ta.txt\r\n" + Utf8ToUtf16(b) + u"\ta.txt\r\n" +
                        Utf8ToUtf16(b) + u"\tb.txt\r\n";
  std::string project = dir_.Child("ask.prj");
  WriteFile(project, Utf16LeBytes(text));
  DWORD worker = 0;
  ASSERT_EQ(Load(disc_, project, &worker,
                 [](WPARAM code, const char16_t*) -> LRESULT {
                   if (code == FP_ASK_MISSING) return 1;     // skip
                   if (code == FP_ASK_DUPLICATE) return -1;  // cancel
                   return 0;
                 }),
            QD_OK);
  EXPECT_EQ(worker, QD_E_CANCELLED);
  std::vector<uint32_t> expected = {FP_ASK_MISSING, FP_ASK_ADD, FP_ASK_DUPLICATE};
  EXPECT_EQ(asked_, expected);
  EXPECT_EQ(Describe(disc_), std::vector<std::string>{"a.txt <- " + a});  // b.txt never came
}

TEST_F(ProjectTest, SaveRefusals) {
  std::string project = dir_.Child("x.prj");
  EXPECT_EQ(Save(disc_, project), QD_E_NOT_FOUND);  // empty tree
  std::string file = WriteSource("f.txt");
  HANDLE entry = MST_AddDatadiskFile(disc_, Utf8ToUtf16(file).c_str(), u"");
  ASSERT_NE(entry, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Save(disc_, dir_.Child("a|b.prj")), QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_SaveProjectDatadisk(disc_, nullptr, Utf8ToUtf16(project).c_str()),
            QD_E_INVALID_HANDLE);
  EXPECT_EQ(Save(INVALID_HANDLE_VALUE, project), QD_E_INVALID_HANDLE);
  EXPECT_EQ(Save(disc_, dir_.Child("no/such/folder.prj")), QD_E_FILE_OPEN);

  quenvar::platform::FaultInjectionEnv env;
  env.LimitWrites(50);
  SetDatadiskEnvForTesting(&env);
  EXPECT_EQ(Save(disc_, project), QD_E_WRITE_FILE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_WRITE_FILE);
  SetDatadiskEnvForTesting(nullptr);

  // An entry read from an earlier session has no source to come back from.
  auto disc = Datadisk::FromHandle(disc_);
  DatadiskEntry* imported = nullptr;
  ASSERT_NE(MST_CreateDatadiskFolder(disc_, nullptr, u"OLD"), INVALID_HANDLE_VALUE);
  imported = FindChild(*disc, nullptr, u"OLD");
  imported->file_attributes |= DDF_ATTR_IMPORTED;
  EXPECT_EQ(Save(disc_, project), QD_E_NO_SOURCE_PATH);
  // What came before it stays in the file.
  std::u16string written = Head(Label(disc_)) + Utf8ToUtf16(file) + u"\tf.txt\r\n";
  EXPECT_EQ(ReadFile(project), Utf16LeBytes(written));
}

}  // namespace
}  // namespace quillden
