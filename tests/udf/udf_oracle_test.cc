// UDF and bridge images made by the engine, read back by public readers; every extracted file must
// equal its source byte for byte, on the ISO 9660 side of a bridge as well.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "common/shell.h"
#include "datadisk/datadisk.h"
#include "datadisk/mastering/session_layout.h"
#include "datadisk/mastering/test_util.h"
#include "platform/env.h"
#include "quillden/result.h"
#include "util/byte_order.h"

#ifdef QUENVAR_HAVE_UDFREAD
#include <udfread/udfread.h>
#endif

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

// Every regular file and folder below root, by relative path (folders end in "/").
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fsys::recursive_directory_iterator(root)) {
    std::string path = fsys::relative(e.path(), root).string();
    if (e.is_directory()) {
      files[path + "/"] = "";
    } else {
      files[path] = ReadAll(e.path().string());
    }
  }
  return files;
}

#ifdef QUENVAR_HAVE_UDFREAD
// Lists and extracts a UDF image through libudfread into dir; returns false when it cannot open it.
bool ExtractWithUdfread(const std::string& image, const std::string& dir, std::string* volume_id) {
  udfread* udf = udfread_init();
  if (!udf) return false;
  if (udfread_open(udf, image.c_str()) < 0) {
    udfread_close(udf);
    return false;
  }
  if (volume_id) *volume_id = udfread_get_volume_id(udf) ? udfread_get_volume_id(udf) : "";
  bool ok = true;
  std::vector<std::string> folders = {""};
  while (!folders.empty() && ok) {
    std::string folder = folders.back();
    folders.pop_back();
    fsys::create_directories(dir + "/" + folder);
    UDFDIR* d = udfread_opendir(udf, ("/" + folder).c_str());
    if (!d) return udfread_close(udf), false;
    udfread_dirent entry;
    while (udfread_readdir(d, &entry)) {
      std::string name = entry.d_name;
      if (name == "." || name == "..") continue;
      std::string path = folder.empty() ? name : folder + "/" + name;
      if (entry.d_type == UDF_DT_DIR) {
        folders.push_back(path);
        continue;
      }
      UDFFILE* f = udfread_file_open(udf, ("/" + path).c_str());
      if (!f) {
        ok = false;
        break;
      }
      std::ofstream out(dir + "/" + path, std::ios::binary);
      std::vector<char> buffer(1 << 20);
      ssize_t n;
      while ((n = udfread_file_read(f, buffer.data(), buffer.size())) > 0) out.write(buffer.data(), n);
      if (n < 0) ok = false;
      udfread_file_close(f);
    }
    udfread_closedir(d);
  }
  udfread_close(udf);
  return ok;
}
#endif

class UdfOracleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"7z", "udfinfo", "udfdump"}) {
      if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed; these checks need it";
    }
  }
  // Deep folders, empty files, sizes around block boundaries, a folder of 60 children whose
  // identifiers cross a block boundary, and names that need compression 16.
  void BuildSources() {
    std::string deep;
    for (int i = 1; i <= 20; ++i) deep += "d" + std::to_string(i) + "/";
    source_.Write(deep + "bottom.txt", "at the bottom");
    for (size_t size : {0u, 1u, 2047u, 2048u, 2049u, 300000u}) {
      source_.Write("sizes/f" + std::to_string(size) + ".bin", RandomBytes(size, size));
    }
    for (int i = 0; i < 60; ++i) source_.Write("many/child_" + std::to_string(i) + ".txt", std::to_string(i));
    source_.Write("empty", "");
    source_.Write("caf\xc3\xa9 \xe2\x82\xac.txt", "menu");
    fsys::create_directories(source_ / "empty_folder");
  }
  void AddSources(DWORD file_system) {
    for (const auto& e : fsys::directory_iterator(source_.path())) {
      std::string name = e.path().filename().string();
      HANDLE entry = disc_->Add(e.path().string(), e.is_directory() ? name : "");
      ASSERT_NE(entry, INVALID_HANDLE_VALUE) << name;
    }
    ASSERT_EQ(MST_SetFileSystem(disc_->get(), file_system), QD_OK);
  }
  void SetLabel(std::u16string_view label) {
    std::shared_ptr<quillden::Datadisk> d = quillden::Datadisk::FromHandle(disc_->get());
    std::copy(label.begin(), label.end(), d->volume_label);
    d->volume_label[label.size()] = 0;
  }
  DWORD Create() { return MST_CreateISOImage(U16(image_).c_str(), disc_->get(), nullptr, TRUE); }

  void ExpectSameTree(const std::string& extracted, const std::string& reader) {
    std::map<std::string, std::string> want = Tree(source_.path());
    std::map<std::string, std::string> got = Tree(extracted);
    EXPECT_EQ(got.size(), want.size()) << reader;
    for (const auto& [path, content] : want) {
      auto it = got.find(path);
      ASSERT_NE(it, got.end()) << reader << ": " << path;
      EXPECT_TRUE(it->second == content) << reader << ": " << path << " differs";
    }
  }

  // All readers on the image of a selection; udfinfo's description must match the counts.
  void CheckReaders(DWORD file_system, uint32_t files, uint32_t folders) {
    const bool v250 = file_system >= 4;
    std::string out, err;
    std::string dir = work_ / ("7z" + std::to_string(file_system));
    EXPECT_EQ(Shell("7z x -tudf -y -o" + Quote(dir) + " " + Quote(image_), &out), 0) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    ExpectSameTree(dir, "7z udf");

    ASSERT_EQ(Shell("udfinfo " + Quote(image_) + " 2>&1 >/dev/null", &err), 0) << err;
    EXPECT_EQ(err, "") << "udfinfo warns";
    ASSERT_EQ(Shell("udfinfo " + Quote(image_), &out), 0);
    EXPECT_NE(out.find("integrity=closed"), std::string::npos) << out;
    EXPECT_NE(out.find("numfiles=" + std::to_string(files) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("numdirs=" + std::to_string(folders) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find(v250 ? "udfrev=2.50" : "udfrev=1.02"), std::string::npos) << out;

    ASSERT_EQ(Shell("udfdump -b 2048 -t " + Quote(image_), &out), 0) << out;
    EXPECT_NE(out.find(":Rootdir/many/child_59.txt"), std::string::npos) << out;
    EXPECT_NE(out.find("/d20/bottom.txt"), std::string::npos) << out;

#ifdef QUENVAR_HAVE_UDFREAD
    std::string udfread_dir = work_ / ("udfread" + std::to_string(file_system));
    ASSERT_TRUE(ExtractWithUdfread(image_, udfread_dir, nullptr));
    ExpectSameTree(udfread_dir, "libudfread");
#endif
    if (file_system == 3 || file_system == 5) {
      std::string iso_dir = work_ / ("iso" + std::to_string(file_system));
      EXPECT_EQ(Shell("7z x -tiso -y -o" + Quote(iso_dir) + " " + Quote(image_), &out), 0) << out;
      ExpectSameTree(iso_dir, "7z iso");
    }
  }

  ScratchFolder source_;
  ScratchFolder work_;
  std::unique_ptr<DiscHolder> disc_ = std::make_unique<DiscHolder>();
  std::string image_ = work_ / "image.img";
};

TEST_F(UdfOracleTest, EverySelectionReadsBackTheSameTree) {
  BuildSources();
  // Files: 20 + 6 + 60 + 2 + 1 deep; folders: root, sizes, many, empty_folder, d1..d20.
  for (DWORD fs : {2u, 3u, 4u, 5u}) {
    SCOPED_TRACE("selection " + std::to_string(fs));
    disc_ = std::make_unique<DiscHolder>();
    AddSources(fs);
    ASSERT_EQ(Create(), QD_OK);
    CheckReaders(fs, 6 + 60 + 2 + 1, 1 + 3 + 20);
    // The reported size covers the image as written.
    uint64_t size = MST_GetDatadiskSize(disc_->get(), INVALID_HANDLE_VALUE);
    if (fs >= 4) {
      EXPECT_EQ(size, fsys::file_size(image_));
    }
  }
}


TEST_F(UdfOracleTest, FileOfTwoGigabytesAndOneByteFromASparseSource) {
  std::string big = source_ / "big.bin";
  const uint64_t size = (2ull << 30) + 1;
  {
    std::ofstream out(big, std::ios::binary);
    out << "HEAD";
    out.seekp(0x3FFFF800);
    out << "PIECE2";
    out.seekp(0x7FFFF000);
    out << "PIECE3";
    out.seekp(size - 1);
    out << "T";
  }
  for (DWORD fs : {2u, 5u}) {
    SCOPED_TRACE("selection " + std::to_string(fs));
    disc_ = std::make_unique<DiscHolder>();
    AddSources(fs);
    ASSERT_EQ(Create(), QD_OK);
    std::string out;
    ASSERT_EQ(Shell("7z l -tudf " + Quote(image_), &out), 0) << out;
    EXPECT_NE(out.find(std::to_string(size)), std::string::npos) << out;
    ASSERT_EQ(Shell("udfinfo " + Quote(image_) + " 2>&1 >/dev/null", &out), 0);
    EXPECT_EQ(out, "");
#ifdef QUENVAR_HAVE_UDFREAD
    udfread* udf = udfread_init();
    ASSERT_GE(udfread_open(udf, image_.c_str()), 0);
    UDFFILE* f = udfread_file_open(udf, "/big.bin");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(udfread_file_size(f), static_cast<int64_t>(size));
    // Each piece of the allocation starts where its descriptor says.
    for (auto [offset, text] : {std::pair<int64_t, std::string>{0, "HEAD"}, {0x3FFFF800, "PIECE2"},
                                {0x7FFFF000, "PIECE3"}, {size - 1, "T"}}) {
      char buffer[8] = {};
      ASSERT_EQ(udfread_file_seek(f, offset, UDF_SEEK_SET), offset);
      ASSERT_EQ(udfread_file_read(f, buffer, text.size()), static_cast<ssize_t>(text.size()));
      EXPECT_EQ(std::string(buffer, text.size()), text) << offset;
    }
    udfread_file_close(f);
    udfread_close(udf);
#endif
    fsys::remove(image_);
  }
}

TEST_F(UdfOracleTest, LabelsAboveAsciiAndAtFullLength) {
  source_.Write("a.txt", "x");
  AddSources(2);
  // A character above 127: compression 16 in the volume, logical volume and file set identifiers.
  SetLabel(u"\u00C4RGER_2009");
  ASSERT_EQ(Create(), QD_OK);
  std::string image = ReadAll(image_);
  EXPECT_EQ(image[32 * 2048 + 24], 16);  // primary volume descriptor
  EXPECT_EQ(image[35 * 2048 + 84], 16);  // logical volume descriptor
  EXPECT_EQ(image[257 * 2048 + 304], 16);  // file set descriptor
  EXPECT_EQ(image[257 * 2048 + 112], 16);
  std::string out;
  ASSERT_EQ(Shell("udfinfo " + Quote(image_), &out), 0);
  EXPECT_NE(out.find("vid=\xc3\x84RGER_2009\n"), std::string::npos) << out;
  EXPECT_NE(out.find("fsid=\xc3\x84RGER_2009\n"), std::string::npos) << out;
#ifdef QUENVAR_HAVE_UDFREAD
  std::string volume_id;
  ASSERT_TRUE(ExtractWithUdfread(image_, work_ / "udfread", &volume_id));
  EXPECT_EQ(volume_id, "\xc3\x84RGER_2009");
#endif

  // 32 characters: the 31-byte fields take 15 wide characters, the logical volume all of them.
  std::u16string label = u"\u00C4" + std::u16string(31, u'B');
  SetLabel(label);
  ASSERT_EQ(Create(), QD_OK);
  ASSERT_EQ(Shell("udfinfo " + Quote(image_), &out), 0);
  EXPECT_NE(out.find("vid=\xc3\x84" + std::string(14, 'B') + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("fsid=\xc3\x84" + std::string(14, 'B') + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("lvid=\xc3\x84" + std::string(31, 'B') + "\n"), std::string::npos) << out;
  ASSERT_EQ(Shell("udfinfo " + Quote(image_) + " 2>&1 >/dev/null", &out), 0);
  EXPECT_EQ(out, "");
  SetLabel(std::u16string(32, u'C'));
  ASSERT_EQ(Create(), QD_OK);
  ASSERT_EQ(Shell("udfinfo " + Quote(image_), &out), 0);
  EXPECT_NE(out.find("vid=" + std::string(30, 'C') + "\n"), std::string::npos) << out;
}

TEST_F(UdfOracleTest, UniqueIdsOfUdf250ContinueAcrossJobs) {
  source_.Write("a.txt", "x");
  source_.Write("sub/b.txt", "y");
  AddSources(4);
  ASSERT_EQ(Create(), QD_OK);
  std::string first = ReadAll(image_);
  ASSERT_EQ(Create(), QD_OK);
  std::string second = ReadAll(image_);
  // Three identifiers per job; the integrity descriptor names the next free ID.
  uint64_t next_first = quillden::GetLe64(reinterpret_cast<const uint8_t*>(first.data()) + 64 * 2048 + 40);
  uint64_t next_second =
      quillden::GetLe64(reinterpret_cast<const uint8_t*>(second.data()) + 64 * 2048 + 40);
  EXPECT_GE(next_first, 20u);
  EXPECT_EQ(next_second, next_first + 3);
  std::string out;
  ASSERT_EQ(Shell("udfinfo " + Quote(image_) + " 2>&1 >/dev/null", &out), 0);
  EXPECT_EQ(out, "");
}

TEST_F(UdfOracleTest, BootImageEntryIsAFileOfTheUdfTree) {
  source_.Write("a.txt", "x");
  std::string boot = RandomBytes(4096, 7);
  std::string boot_path = work_.Write("boot.img", boot);
  for (DWORD fs : {3u, 4u, 5u}) {
    SCOPED_TRACE("selection " + std::to_string(fs));
    disc_ = std::make_unique<DiscHolder>();
    AddSources(fs);
    ASSERT_EQ(MST_ReadBootImageFile(disc_->get(), U16(boot_path).c_str(), 0, 0, 4), QD_OK);
    ASSERT_EQ(MST_CreateBootImageFileEntry(disc_->get(), u"boot\\boot.img"), QD_OK);
    ASSERT_EQ(Create(), QD_OK);
    std::string out, dir = work_ / ("boot" + std::to_string(fs));
    ASSERT_EQ(Shell("7z x -tudf -y -o" + Quote(dir) + " " + Quote(image_), &out), 0) << out;
    EXPECT_TRUE(ReadAll(dir + "/boot/boot.img") == boot);
    EXPECT_EQ(ReadAll(dir + "/a.txt"), "x");
    ASSERT_EQ(Shell("udfinfo " + Quote(image_), &out), 0);
    EXPECT_NE(out.find("numfiles=2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("numdirs=2\n"), std::string::npos) << out;
  }
}

TEST(UdfLayoutTest, Udf102AloneOnCdMedia) {
  ScratchFolder folder;
  DiscHolder disc;
  disc.Add(folder.Write("a.txt", "x"));
  ASSERT_EQ(MST_SetFileSystem(disc.get(), MST_FS_UDF102), QD_OK);
  std::shared_ptr<quillden::Datadisk> d = quillden::Datadisk::FromHandle(disc.get());
  quillden::mastering::SessionLayout layout;
  quillden::mastering::LayoutRequest request;
  request.file_system = d->file_system;
  request.cd_media = true;
  ASSERT_EQ(layout.Plan(*d, request), QD_OK);
  // File entry area 259 to 261, the file at 262, the closing anchor at 263.
  EXPECT_EQ(layout.header_blocks(), 259u);
  EXPECT_EQ(layout.structure_blocks(), 3u);
  EXPECT_EQ(d->first_root()->location, 262u);
  EXPECT_EQ(layout.end(), 264u);
  EXPECT_EQ(layout.total(), 414u);
  layout.Build(*d, quillden::fs::VolumeTimeNow(quenvar::platform::Env::Default()), true);
  using quillden::mastering::BlockSink;
  using quillden::mastering::testing::CollectBlocks;
  std::vector<uint8_t> tail = CollectBlocks([&](const BlockSink& sink) { return layout.WriteTail(sink); });
  ASSERT_EQ(tail.size(), 2048u);
  EXPECT_EQ(quillden::GetLe32(tail.data() + 12), 263u);
  // The partition runs from 257 to the file's block.
  EXPECT_EQ(quillden::GetLe32(layout.header().data() + 34 * 2048 + 192), 6u);
  // File entries carry partition blocks: the file's entry (block 261 = partition block 4) points
  // at partition block 5.
  std::vector<uint8_t> structures =
      CollectBlocks([&](const BlockSink& sink) { return layout.WriteStructures(sink); });
  ASSERT_EQ(structures.size(), 3u * 2048);
  const uint8_t* entry = structures.data() + 2 * 2048;
  EXPECT_EQ(quillden::GetLe32(entry + 12), 4u);
  EXPECT_EQ(quillden::GetLe32(entry + 176 + 132 + 4), 5u);
}

}  // namespace
