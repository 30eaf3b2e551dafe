// Adding local trees without a window: placement, naming, bad input and file system faults.
#include "datadisk/adder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "datadisk/datadisk.h"
#include "datadisk/datadisk_env.h"
#include "platform/fault_injection_env.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/result.h"

namespace quillden {
namespace {

using quenvar::platform::FaultInjectionEnv;
using quenvar::platform::FaultKind;
using quenvar::platform::ScopedTempDir;
using quenvar::platform::Utf8ToUtf16;

class AdderTest : public testing::Test {
 protected:
  void SetUp() override {
    disc_ = MST_CreateDatadisk();
    ASSERT_FALSE(dir_.path().empty());
  }
  void TearDown() override {
    SetDatadiskEnvForTesting(nullptr);
    MST_DestroyDatadisk(disc_);
  }

  std::string Write(const std::string& relative, const std::string& content = "x") {
    std::string path = dir_.Child(relative);
    std::ofstream(path) << content;
    return path;
  }
  std::string Mkdir(const std::string& relative) {
    std::string path = dir_.Child(relative);
    mkdir(path.c_str(), 0755);
    return path;
  }
  HANDLE Add(const std::string& source, const std::u16string& target = u"") {
    return MST_AddDatadiskFile(disc_, Utf8ToUtf16(source).c_str(), target.c_str());
  }
  HANDLE Find(const std::u16string& path) {
    return MST_FindFullPathDatadiskFile(disc_, path.c_str(), nullptr);
  }
  std::vector<std::u16string> Children(const std::u16string& folder_path) {
    std::vector<std::u16string> names;
    HANDLE e = folder_path.empty() ? MST_GetRootDatadiskFile(disc_)
                                   : MST_GetChildDatadiskFile(disc_, Find(folder_path));
    for (; e != nullptr && e != INVALID_HANDLE_VALUE; e = MST_GetNextDatadiskFile(disc_, e)) {
      WIN32_FIND_DATAW data;
      MST_GetFindDataDatadiskFile(disc_, e, &data);
      names.push_back(data.cFileName);
    }
    return names;
  }
  std::u16string ErrorFile() {
    WCHAR buffer[260];
    MST_GetErrorFileName(disc_, buffer);
    return buffer;
  }

  ScopedTempDir dir_{"datadisk-add-"};
  HANDLE disc_ = nullptr;
};

TEST_F(AdderTest, FileGoesIntoCreatedTargetFolderWithItsAttributes) {
  std::string source = Write("report.txt", "12345");
  HANDLE entry = Add(source, u"docs\\2009\\");
  ASSERT_NE(entry, INVALID_HANDLE_VALUE);
  WIN32_FIND_DATAW data;
  ASSERT_EQ(MST_GetFindDataDatadiskFile(disc_, entry, &data), QD_OK);
  EXPECT_EQ(std::u16string(data.cFileName), u"report.txt");
  EXPECT_EQ(data.nFileSizeLow, 5u);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_NE(data.ftLastWriteTime.dwHighDateTime, 0u);
  WCHAR buffer[300];
  ASSERT_EQ(MST_GetDatadiskFilename(disc_, entry, buffer, 300), QD_OK);
  EXPECT_EQ(std::u16string(buffer), u"docs\\2009\\report.txt");
  ASSERT_EQ(MST_GetSourceFilename(disc_, entry, buffer, 300), QD_OK);
  EXPECT_EQ(std::u16string(buffer), Utf8ToUtf16(source));
  // The same file again: without a window a duplicate fails.
  EXPECT_EQ(Add(source, u"DOCS\\2009"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_EXISTS);
  EXPECT_EQ(MST_GetNumberOfWriteFile(disc_), 1u);
}

TEST_F(AdderTest, FolderTargetNamesTheFolderAndContentsRecurse) {
  Mkdir("src");
  Mkdir("src/sub");
  Write("src/B.txt");
  Write("src/a.txt");
  Write("src/_x.txt");
  Write("src/sub/deep.bin");
  HANDLE folder = Add(dir_.Child("src"), u"x\\y\\renamed");
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Children(u"x\\y\\renamed"),
            (std::vector<std::u16string>{u"_x.txt", u"a.txt", u"B.txt", u"sub"}));
  EXPECT_NE(Find(u"x\\y\\renamed\\sub\\deep.bin"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetNumberOfWriteFile(disc_), 4u);
  // Without a target the folder keeps its own name in the root.
  EXPECT_NE(Add(dir_.Child("src/sub") + "/"), INVALID_HANDLE_VALUE);
  EXPECT_NE(Find(u"sub\\deep.bin"), INVALID_HANDLE_VALUE);
}

TEST_F(AdderTest, LongAndSemicolonNamesAreShortenedAndCounted) {
  std::string base(116, 'L');
  // Three local files whose names differ only after the 104th character shorten to one name.
  Mkdir("long");
  Write("long/" + base + "1.txt");
  Write("long/" + base + "2.txt");
  Write("long/" + base + "3.txt");
  Write("long/a;b.txt");
  ASSERT_NE(Add(dir_.Child("long"), u"long"), INVALID_HANDLE_VALUE);
  std::vector<std::u16string> names = Children(u"long");
  ASSERT_EQ(names.size(), 4u);
  std::u16string cut(104, u'L');
  std::u16string cut1(103, u'L');
  std::vector<std::u16string> expected = {u"a_b.txt", cut1 + u"0.txt", cut1 + u"1.txt",
                                          cut + u".txt"};
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST_F(AdderTest, BadInputGivesCodesNotCrashes) {
  EXPECT_EQ(Add(dir_.Child("missing.txt")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_SOURCE_MISSING);
  EXPECT_EQ(ErrorFile(), Utf8ToUtf16(dir_.Child("missing.txt")));
  EXPECT_EQ(MST_AddDatadiskFile(disc_, u"", u""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_AddDatadiskFile(INVALID_HANDLE_VALUE, u"/x", u""), INVALID_HANDLE_VALUE);

  std::string good = Write("good.txt");
  EXPECT_EQ(Add(good, u"a\\b|c"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_GetRootDatadiskFile(disc_), nullptr);  // refused before any folder was made

  // Local names may hold eight of the nine characters ("/" cannot occur); each is refused, as the
  // source itself and inside a folder, whose other entries still arrive.
  Mkdir("bad");
  const std::string bad = "\\:*?\"<>|";
  for (char c : bad) {
    std::string name = std::string("n") + c + ".txt";
    std::string path = Write("bad/" + name);
    EXPECT_EQ(Add(path), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER) << name;
  }
  Write("bad/fine.txt");
  ASSERT_NE(Add(dir_.Child("bad"), u"bad"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Children(u"bad"), std::vector<std::u16string>{u"fine.txt"});
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
}

TEST_F(AdderTest, DotComponentsInTheTargetAreRefusedBeforeAnythingIsAdded) {
  // Such folders would reach the disc as "." and ".." records that extractors refuse or follow
  // out of their target.
  std::string file = Write("f.txt");
  Mkdir("tree");
  Write("tree/inner.txt");
  for (const std::u16string target : {u"..\\..\\etc", u"a\\.\\b", u"..", u".", u"x\\.."}) {
    EXPECT_EQ(Add(file, target), INVALID_HANDLE_VALUE) << quenvar::platform::Utf16ToUtf8(target);
    EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER)
        << quenvar::platform::Utf16ToUtf8(target);
    EXPECT_EQ(Add(dir_.Child("tree"), target), INVALID_HANDLE_VALUE)
        << quenvar::platform::Utf16ToUtf8(target);
    EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER)
        << quenvar::platform::Utf16ToUtf8(target);
  }
  EXPECT_EQ(MST_GetRootDatadiskFile(disc_), nullptr);
  // Names that merely hold dots are names like any other.
  EXPECT_NE(Add(file, u"...\\.hidden\\a..b"), INVALID_HANDLE_VALUE);
  EXPECT_NE(Find(u"...\\.hidden\\a..b\\f.txt"), INVALID_HANDLE_VALUE);
}

TEST_F(AdderTest, DiscPathLimitDuringAFolderAddKeepsTheRest) {
  Mkdir("p");
  Write("p/" + std::string(100, 'f'));
  Write("p/short");
  std::u16string target = std::u16string(100, u'a') + u"\\" + std::u16string(100, u'b');  // 201
  ASSERT_NE(Add(dir_.Child("p"), target), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Children(target), std::vector<std::u16string>{u"short"});
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_PATH_TOO_LONG);
}

TEST_F(AdderTest, SymbolicLinksNeverLoop) {
  Mkdir("tree");
  Mkdir("tree/inner");
  Write("tree/inner/file.txt", "abc");
  ASSERT_EQ(symlink("..", dir_.Child("tree/inner/up").c_str()),
            0);  // link to a folder: not followed
  ASSERT_EQ(symlink("loop_b", dir_.Child("tree/loop_a").c_str()), 0);  // a loop of links
  ASSERT_EQ(symlink("loop_a", dir_.Child("tree/loop_b").c_str()), 0);
  ASSERT_EQ(symlink("inner/file.txt", dir_.Child("tree/alias").c_str()),
            0);  // link to a file: followed
  ASSERT_EQ(symlink("nowhere", dir_.Child("tree/dangling").c_str()), 0);
  ASSERT_NE(Add(dir_.Child("tree"), u"t"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Children(u"t"), (std::vector<std::u16string>{u"alias", u"inner"}));
  EXPECT_EQ(Children(u"t\\inner"), std::vector<std::u16string>{u"file.txt"});
  WIN32_FIND_DATAW data;
  MST_FindFullPathDatadiskFile(disc_, u"t\\alias", &data);
  EXPECT_EQ(data.nFileSizeLow, 3u);  // the size of what the link leads to
}

TEST_F(AdderTest, ListedEntriesAreNotLookedUpAgain) {
  // The listing's look-up is the entry's only one: a tree costs one status call per entry, and a
  // source that can no longer be looked up after it was listed is still added as listed.
  Mkdir("l");
  for (int i = 0; i < 40; ++i) Write("l/f" + std::to_string(i), std::string(i, 'x'));
  Mkdir("l/sub");
  Write("l/sub/deep");
  FaultInjectionEnv env;
  SetDatadiskEnvForTesting(&env);
  env.SetPathFilter(dir_.Child("l/f7"));
  env.FailFromCall(FaultKind::kStat, 1, EACCES);
  ASSERT_NE(Add(dir_.Child("l"), u"l"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Children(u"l").size(), 41u);
  EXPECT_EQ(env.CallCount(FaultKind::kStat), 0u);  // f7 itself was never looked up again

  env.Reset();
  ASSERT_NE(Add(dir_.Child("l"), u"again"), INVALID_HANDLE_VALUE);
  EXPECT_LE(env.CallCount(FaultKind::kStat), 4u);  // the top folder's checks only
  HANDLE f7 = MST_FindFullPathDatadiskFile(disc_, u"again\\f7", nullptr);
  ASSERT_NE(f7, INVALID_HANDLE_VALUE);
  WIN32_FIND_DATAW data{};
  ASSERT_EQ(MST_GetFindDataDatadiskFile(disc_, f7, &data), QD_OK);
  EXPECT_EQ(data.nFileSizeLow, 7u);
  EXPECT_EQ(std::u16string(data.cFileName), u"f7");
}

TEST_F(AdderTest, UnreadableSourcesAreSkippedWithoutAWindow) {
  // Only folders and regular files can be read back when the disc is written: a pipe cannot.
  Mkdir("u");
  Write("u/a");
  ASSERT_EQ(mkfifo(dir_.Child("u/b").c_str(), 0644), 0);
  Write("u/c");
  ASSERT_NE(Add(dir_.Child("u"), u"u"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Children(u"u"), (std::vector<std::u16string>{u"a", u"c"}));
  EXPECT_EQ(ErrorFile(), Utf8ToUtf16(dir_.Child("u/b")));
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_SOURCE_MISSING);
}

TEST_F(AdderTest, ExistenceCheckWithoutWindowDeletesMissingSources) {
  std::string keep = Write("keep.txt");
  std::string gone = Write("gone.txt");
  Mkdir("f");
  std::string nested = Write("f/nested.txt");
  ASSERT_NE(Add(keep), INVALID_HANDLE_VALUE);
  ASSERT_NE(Add(gone), INVALID_HANDLE_VALUE);
  ASSERT_NE(Add(dir_.Child("f"), u"f"), INVALID_HANDLE_VALUE);
  unlink(gone.c_str());
  unlink(nested.c_str());
  EXPECT_EQ(MST_ExistCheckDatadiskFile(disc_, nullptr), QD_OK);
  EXPECT_EQ(Children(u""), (std::vector<std::u16string>{u"f", u"keep.txt"}));
  EXPECT_EQ(Children(u"f"), std::vector<std::u16string>{});
  WCHAR target[260];
  MST_GetErrorTargetPath(disc_, target);
  EXPECT_EQ(std::u16string(target), u"f\\nested.txt");  // level order: the deeper one comes last
}

TEST_F(AdderTest, ExistenceCheckTreatsUnopenableAsMissing) {
  std::string a = Write("a.txt");
  std::string b = Write("b.txt");
  ASSERT_NE(Add(a), INVALID_HANDLE_VALUE);
  ASSERT_NE(Add(b), INVALID_HANDLE_VALUE);
  FaultInjectionEnv env;
  SetDatadiskEnvForTesting(&env);
  env.SetPathFilter(b);
  env.FailNthCall(FaultKind::kOpen, 1, EACCES);
  EXPECT_EQ(MST_ExistCheckDatadiskFile(disc_, nullptr), QD_OK);
  EXPECT_EQ(Children(u""), std::vector<std::u16string>{u"a.txt"});
}

TEST_F(AdderTest, SourcePathsStayThroughRenamesMovesAndMerges) {
  // Entries of a folder added whole keep no source path of their own; whatever happens to the
  // names and folders above them afterwards, each still names the file it was made from.
  Mkdir("t");
  Mkdir("t/inner");
  std::string deep = Write("t/inner/file.txt");
  std::string mended = Write("t/a;b.txt");
  Mkdir("u");
  std::string extra = Write("u/extra.txt");
  HANDLE top = Add(dir_.Child("t"), u"t");
  ASSERT_NE(top, INVALID_HANDLE_VALUE);
  auto source_of = [&](const std::u16string& disc_path) {
    WCHAR buffer[300] = {};
    HANDLE entry = Find(disc_path);
    if (entry == INVALID_HANDLE_VALUE) return std::u16string(u"<missing>");
    EXPECT_EQ(MST_GetSourceFilename(disc_, entry, buffer, 300), QD_OK);
    WCHAR shown[300] = {};
    EXPECT_EQ(MST_GetDatadiskFilename(disc_, entry, shown, 300), QD_OK);
    EXPECT_EQ(std::u16string(shown), disc_path);
    return std::u16string(buffer);
  };
  EXPECT_EQ(source_of(u"t\\a_b.txt"), Utf8ToUtf16(mended));  // the name was mended, not the source

  ASSERT_NE(MST_RenameDatadiskFile(disc_, top, u"renamed"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(source_of(u"renamed\\inner\\file.txt"), Utf8ToUtf16(deep));
  ASSERT_NE(MST_RenameDatadiskFile(disc_, Find(u"renamed\\inner\\file.txt"), u"other.txt"),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(source_of(u"renamed\\inner\\other.txt"), Utf8ToUtf16(deep));

  WIN32_FIND_DATAW data{};
  ASSERT_EQ(MST_MoveDatadiskFile(disc_, Find(u"renamed\\inner"), nullptr, &data), QD_OK);
  EXPECT_EQ(source_of(u"inner\\other.txt"), Utf8ToUtf16(deep));
  EXPECT_EQ(source_of(u"inner"), Utf8ToUtf16(dir_.Child("t/inner")));

  // A file added into the renamed folder on its own names its own source.
  ASSERT_NE(Add(extra, u"renamed"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(source_of(u"renamed\\extra.txt"), Utf8ToUtf16(extra));
  EXPECT_EQ(source_of(u"renamed\\a_b.txt"), Utf8ToUtf16(mended));
}

}  // namespace
}  // namespace quillden
