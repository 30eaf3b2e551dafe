// Images made by the engine, read back by public ISO 9660 readers; every extracted file must equal
// its source byte for byte.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "datadisk/mastering/test_util.h"
#include "common/shell.h"
#include "quillden/result.h"

namespace {

using quillden::mastering::testing::DiscHolder;
using quillden::mastering::testing::ReadAll;
using quillden::mastering::testing::ScratchFolder;
using quillden::mastering::testing::U16;
namespace fsys = std::filesystem;
using quenvar::testing::HaveTool;
using quenvar::testing::Quote;
using quenvar::testing::RandomBytes;
using quenvar::testing::Shell;

#define REQUIRE_TOOL(tool) \
  if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed; this check needs it"

// Every regular file below root, by relative path, with its contents.
std::map<std::string, std::string> Files(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fsys::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files[fsys::relative(e.path(), root).string()] = ReadAll(e.path().string());
  }
  return files;
}

class OracleTest : public ::testing::Test {
 protected:
  // The source tree: 8 nested folders, a 108-unit name, colliding ISO names, empty files and
  // sizes around block boundaries.
  void BuildSources() {
    std::string deep = "l1/l2/l3/l4/l5/l6/l7/l8";
    source_.Write(deep + "/deep.txt", "at the bottom");
    for (size_t size : {0u, 1u, 2047u, 2048u, 2049u, 3000000u}) {
      source_.Write("sizes/f" + std::to_string(size) + ".bin", RandomBytes(size, size));
    }
    source_.Write("long_filename_a.txt", "A");
    source_.Write("long_filename_b.txt", "B");
    source_.Write("empty_one", "");
    source_.Write("empty_two", "");
    source_.Write(std::string(104, 'j') + ".txt", "joliet");
    source_.Write("caf\xc3\xa9 menu.txt", "menu");
  }
  void AddSources() {
    for (const auto& e : fsys::directory_iterator(source_.path())) {
      std::string name = e.path().filename().string();
      disc_.Add(e.path().string(), e.is_directory() ? name : "");
    }
    ASSERT_EQ(MST_SetFileSystem(disc_.get(), MST_FS_ISO9660_JOLIET), QD_OK);
  }
  DWORD Create(BOOL file_dates = TRUE) {
    return MST_CreateISOImage(U16(image_).c_str(), disc_.get(), nullptr, file_dates);
  }
  // long_names: the reader keeps Joliet names longer than 103 characters (libarchive cuts them).
  void ExpectSameTree(const std::string& extracted, bool long_names = true) {
    std::map<std::string, std::string> want = Files(source_.path());
    std::map<std::string, std::string> got = Files(extracted);
    if (!long_names) {
      std::string long_name = std::string(104, 'j') + ".txt";
      want.erase(long_name);
      got.erase(long_name.substr(0, 103));
    }
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [path, content] : want) {
      auto it = got.find(path);
      ASSERT_NE(it, got.end()) << path;
      EXPECT_TRUE(it->second == content) << path << " differs";
    }
  }

  ScratchFolder source_;
  ScratchFolder work_;
  DiscHolder disc_;
  std::string image_ = work_ / "image.iso";
};

TEST_F(OracleTest, ReadersAgreeOnTheTree) {
  BuildSources();
  AddSources();
  ASSERT_EQ(Create(), QD_OK);
  std::string out;
  if (HaveTool("isovfy")) {
    EXPECT_EQ(Shell("isovfy -i " + Quote(image_), &out), 0);
    EXPECT_NE(out.find("No errors found"), std::string::npos) << out;
  }
  if (HaveTool("isoinfo")) {
    ASSERT_EQ(Shell("isoinfo -l -i " + Quote(image_), &out), 0);
    EXPECT_NE(out.find("LONG_FIL.TXT;1"), std::string::npos) << out;
    EXPECT_NE(out.find("LONG_FI0.TXT;1"), std::string::npos) << out;
    EXPECT_NE(out.find("/L1/L2/L3/L4/L5/L6/L7/L8/"), std::string::npos) << out;
    ASSERT_EQ(Shell("isoinfo -J -l -i " + Quote(image_), &out), 0);
    EXPECT_NE(out.find(std::string(104, 'j') + ".txt;1"), std::string::npos);
  }
  if (HaveTool("xorriso")) {
    EXPECT_EQ(Shell("xorriso -indev " + Quote(image_) + " -check_media --", &out), 0);
    EXPECT_NE(out.find("+ good"), std::string::npos) << out;
    std::string dir = work_ / "xorriso";
    EXPECT_EQ(Shell("xorriso -read_fs norock -indev " + Quote(image_) + " -osirrox on -extract / " +
                      Quote(dir),
                  &out),
              0)
        << out;
    Shell("chmod -R u+rwX " + Quote(dir));
    ExpectSameTree(dir);
  }
  if (HaveTool("7z")) {
    std::string dir = work_ / "7z";
    EXPECT_EQ(Shell("7z x -tiso -y -o" + Quote(dir) + " " + Quote(image_), &out), 0) << out;
    ExpectSameTree(dir);
  }
  if (HaveTool("bsdtar")) {
    std::string dir = work_ / "bsdtar";
    fsys::create_directories(dir);
    EXPECT_EQ(Shell("bsdtar -xf " + Quote(image_) + " -C " + Quote(dir), &out), 0) << out;
    ExpectSameTree(dir, false);
  }
}

TEST_F(OracleTest, EmptyFilesShareALocationAndVersionsCanBeOmitted) {
  REQUIRE_TOOL("isoinfo");
  source_.Write("a_empty", "");
  source_.Write("b_data", "data");
  AddSources();
  ASSERT_EQ(MST_SetFileVersionNumber(disc_.get(), 0), QD_OK);
  ASSERT_EQ(MST_SetVolumeLabel(disc_.get(), u""), QD_OK);
  ASSERT_EQ(Create(FALSE), QD_OK);
  std::string out;
  ASSERT_EQ(Shell("isoinfo -l -i " + Quote(image_), &out), 0);
  EXPECT_EQ(out.find(";1"), std::string::npos) << out;
  EXPECT_NE(out.find("A_EMPTY"), std::string::npos) << out;
  ASSERT_EQ(Shell("isoinfo -J -l -i " + Quote(image_), &out), 0);
  EXPECT_EQ(out.find(";1"), std::string::npos) << out;
  std::string image = ReadAll(image_);
  EXPECT_EQ(image.substr(16 * 2048 + 40, 32), std::string(32, ' '));
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(image[17 * 2048 + 40 + 2 * i], 0);
    EXPECT_EQ(image[17 * 2048 + 41 + 2 * i], ' ');
  }
  if (HaveTool("isovfy")) {
    EXPECT_EQ(Shell("isovfy -i " + Quote(image_), &out), 0);
  }
}

TEST_F(OracleTest, LargestIsoFileFromASparseSource) {
  REQUIRE_TOOL("isoinfo");
  std::string big = source_ / "big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    out.seekp(4294967295LL - 7);
    out << "TAILEND";
  }
  AddSources();
  ASSERT_EQ(Create(), QD_OK);
  std::string out;
  ASSERT_EQ(Shell("isoinfo -l -i " + Quote(image_), &out), 0);
  EXPECT_NE(out.find("4294967295"), std::string::npos) << out;
  struct stat st {};
  ASSERT_EQ(stat(image_.c_str(), &st), 0);
  EXPECT_EQ(st.st_size % 2048, 0);
  // The last bytes of the file sit where its record says.
  std::ifstream in(image_, std::ios::binary);
  in.seekg(st.st_size - 2048 + (4294967295LL % 2048) - 7);
  char tail[8] = {};
  in.read(tail, 7);
  EXPECT_STREQ(tail, "TAILEND");
  EXPECT_LT(st.st_blocks * 512LL, 64LL << 20) << "holes of the source were not kept";
}

TEST_F(OracleTest, BootImages) {
  REQUIRE_TOOL("xorriso");
  source_.Write("readme.txt", "boot test");
  AddSources();
  struct Case {
    std::string name;
    size_t size;
    BYTE emulation;
    WORD sectors;
    std::string report;
  } cases[] = {{"noemul2k.img", 2048, 0, 4, "none"},
               {"noemul4s.img", 4 * 2048, 0, 4, "none"},
               {"floppy.img", 1474560, 2, 1, "fd1.4"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string content = RandomBytes(c.size, static_cast<unsigned>(c.size));
    std::string path = work_.Write(c.name, content);
    MST_DeleteBootImage(disc_.get());
    ASSERT_EQ(MST_ReadBootImageFile(disc_.get(), U16(path).c_str(), c.emulation, 0, c.sectors), QD_OK);
    ASSERT_EQ(MST_CreateBootImageFileEntry(disc_.get(), U16("boot\\" + c.name).c_str()), QD_OK);
    ASSERT_EQ(Create(), QD_OK);
    std::string out;
    ASSERT_EQ(Shell("xorriso -indev " + Quote(image_) + " -report_el_torito plain", &out), 0) << out;
    EXPECT_NE(out.find(c.report), std::string::npos) << out;
    EXPECT_NE(out.find("/boot/" + c.name), std::string::npos) << out;
    if (HaveTool("dumpet")) {
      EXPECT_EQ(Shell("dumpet -i " + Quote(image_), &out), 0) << out;
      EXPECT_EQ(out.find("Invalid"), std::string::npos) << out;
    }
    // The image's blocks are the boot image, and the entry shows the same bytes.
    std::string image = ReadAll(image_);
    uint32_t catalog = static_cast<uint8_t>(image[17 * 2048 + 71]) |
                       static_cast<uint8_t>(image[17 * 2048 + 72]) << 8;
    uint32_t lba = static_cast<uint8_t>(image[catalog * 2048 + 40]) |
                   static_cast<uint8_t>(image[catalog * 2048 + 41]) << 8;
    EXPECT_EQ(lba, catalog + 1);
    EXPECT_TRUE(image.substr(lba * 2048ull, c.size) == content);
    if (HaveTool("7z")) {
      std::string dir = work_ / ("x-" + c.name);
      EXPECT_EQ(Shell("7z x -tiso -y -o" + Quote(dir) + " " + Quote(image_), &out), 0);
      EXPECT_TRUE(ReadAll(dir + "/boot/" + c.name) == content);
    }
  }
}

class CommandLineTest : public OracleTest {
 protected:
  int Mkiso(const std::string& arguments, std::string* out) {
    return Shell(std::string(QUILLDEN_CLI_PATH) + " mkiso -q " + arguments, out);
  }
};

TEST_F(CommandLineTest, BuildsAnImageWithGrafts) {
  REQUIRE_TOOL("isoinfo");
  source_.Write("docs/guide.txt", "guide");
  std::string single = work_.Write("single.txt", "single");
  std::string out;
  ASSERT_EQ(Mkiso("-V MY_DISC -J -o " + Quote(image_) + " --graft manual/=" + Quote(single) +
                      " -graft-points renamed.txt=" + Quote(single) + " " + Quote(source_.path()),
                  &out),
            0)
      << out;
  ASSERT_EQ(Shell("isoinfo -d -i " + Quote(image_), &out), 0);
  EXPECT_NE(out.find("Volume id: MY_DISC"), std::string::npos) << out;
  ASSERT_EQ(Shell("isoinfo -J -l -i " + Quote(image_), &out), 0);
  EXPECT_NE(out.find("/manual/"), std::string::npos) << out;
  EXPECT_NE(out.find("single.txt;1"), std::string::npos) << out;
  EXPECT_NE(out.find("renamed.txt;1"), std::string::npos) << out;
  EXPECT_NE(out.find("guide.txt;1"), std::string::npos) << out;
}

TEST_F(CommandLineTest, BadInputEndsWithTheDocumentedCode) {
  source_.Write("a.txt", "a");
  std::string out;
  EXPECT_EQ(Mkiso("-V lower -o " + Quote(image_) + " " + Quote(source_.path()), &out), 1);
  EXPECT_NE(out.find("0x08000011"), std::string::npos) << out;
  EXPECT_EQ(Mkiso("-b " + Quote(work_ / "missing.img") + " -no-emul-boot -o " + Quote(image_) + " " +
                      Quote(source_.path()),
                  &out),
            1);
  EXPECT_NE(out.find("0x08000014"), std::string::npos) << out;
  std::string odd = work_.Write("odd.img", std::string(1474561, 'x'));
  EXPECT_EQ(Mkiso("-b " + Quote(odd) + " --emulation 1.44m -o " + Quote(image_) + " " +
                      Quote(source_.path()),
                  &out),
            1);
  EXPECT_NE(out.find("0x0800001A"), std::string::npos) << out;
  EXPECT_EQ(Mkiso("-o " + Quote(work_ / "no/such/dir/x.iso") + " " + Quote(source_.path()), &out), 1);
  EXPECT_NE(out.find("0x08000014"), std::string::npos) << out;
  // An empty folder is not an empty disc: the message says why, not that the output is missing.
  fsys::create_directories(work_ / "empty");
  EXPECT_EQ(Mkiso("-o " + Quote(image_) + " " + Quote(work_ / "empty"), &out), 1);
  EXPECT_NE(out.find("nothing to write: the sources hold no file or folder"), std::string::npos)
      << out;
  if (geteuid() == 0 || access(image_.c_str(), F_OK) == 0) {
    // Unreadable boot image: only meaningful when permissions bite (not for root).
  } else {
    std::string locked = work_.Write("locked.img", std::string(2048, 'l'));
    chmod(locked.c_str(), 0);
    EXPECT_EQ(Mkiso("-b " + Quote(locked) + " -no-emul-boot -o " + Quote(image_) + " " +
                        Quote(source_.path()),
                    &out),
              1);
    EXPECT_NE(out.find("0x08000014"), std::string::npos) << out;
  }
  EXPECT_FALSE(fsys::exists(image_));
}

TEST_F(CommandLineTest, FullDiskRemovesTheImage) {
  source_.Write("big.bin", RandomBytes(2 << 20, 7));
  std::string out;
  // A file size limit of 512 KiB stands in for a full disk: writes past it fail with EFBIG.
  int status = Shell("sh -c " +
                       Quote("trap \"\" 25; ulimit -f 512; exec " + std::string(QUILLDEN_CLI_PATH) +
                             " mkiso -q -o " + image_ + " " + source_.path()),
                   &out);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("0x0800001F"), std::string::npos) << out;
  EXPECT_FALSE(fsys::exists(image_));
}

}  // namespace
