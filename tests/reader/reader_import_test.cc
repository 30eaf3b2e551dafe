// Sessions written by public tools, imported by the engine: the tree must be what the tools report.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "datadisk/datadisk.h"
#include "drive/mmc_vocabulary.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "filesystems/layout/ecma167_layout.h"
#include "filesystems/reader/block_source.h"
#include "filesystems/reader/disc_reader.h"
#include "platform/drive_map.h"
#include "platform/message_window.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "quillden/volume.h"
#include "reader_fixture.h"
#include "util/byte_order.h"

namespace quillden::reader::testing {
namespace {

namespace pf = quenvar::platform;

constexpr uint32_t kFile = DDF_ATTR_IMPORTED;
constexpr uint32_t kFolder = DDF_ATTR_IMPORTED | FILE_ATTRIBUTE_DIRECTORY;
constexpr int64_t kMtime = 1623758400;  // 2021-06-15 12:00:00 UTC

class ImportTest : public ReaderTest {
 protected:
  void MakeSources() {
    Source("src/README.TXT", "read me\n");
    Source("src/sub/data.bin", std::string(5000, 'd'));
    Source("src/sub/deeper/Long Mixed Name.txt", "deep");
    Source("src/empty.dat", "");
  }
  // Runs genisoimage with local time in Berlin, so the records carry a zone offset of +2 hours.
  std::string Genisoimage(const std::string& options, const std::string& name) {
    std::string image = Path(name);
    EXPECT_EQ(Shell("TZ=Europe/Berlin genisoimage -quiet " + options + " -V DISC_LABEL -o " + Quote(image) + " " +
                    Quote(Path("src"))),
              0);
    return image;
  }
  // The import's files must be the files xorriso reports, at the same blocks.
  void ExpectFilesAsReported(const std::map<std::string, Imported>& tree, const std::string& image) {
    std::map<std::string, Reported> reported = XorrisoFiles(image);
    ASSERT_FALSE(reported.empty());
    size_t files = 0;
    for (const auto& [path, entry] : tree) {
      if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      ++files;
      auto found = reported.find(path);
      ASSERT_NE(found, reported.end()) << path << " is not on the disc";
      EXPECT_EQ(entry.size, found->second.size) << path;
      if (entry.size > 0) {
        EXPECT_EQ(entry.location, found->second.lba) << path;
      }
    }
    EXPECT_EQ(files, reported.size());
  }
};

TEST_F(ImportTest, JolietSessionImportsJolietNamesTimesAndBlocks) {
  REQUIRE_TOOL("genisoimage");
  REQUIRE_TOOL("xorriso");
  MakeSources();
  HANDLE drive = Press(Genisoimage("-J", "joliet.iso"), "dvd-rom");
  _FILESYSTEMINFORMATION info{};
  ASSERT_EQ(DRV_GetFileSystemInformation(drive, 1, &info), QD_OK);
  EXPECT_EQ(info.dwFileSystems, FILESYSTEM_ISO9660);
  EXPECT_EQ(std::u16string(info.szVolumeLabel), u"DISC_LABEL");

  HANDLE disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 1, nullptr), QD_OK);
  auto tree = Tree(disc);
  ASSERT_EQ(tree.count("sub\\deeper\\Long Mixed Name.txt"), 1u);  // the Joliet name, not LONG_MIX.TXT
  EXPECT_EQ(tree["sub"].attributes, kFolder);
  EXPECT_EQ(tree["README.TXT"].attributes, kFile);
  EXPECT_EQ(tree["README.TXT"].last_write, UnixToFileTime(kMtime));  // local Berlin time back to UTC
  EXPECT_EQ(tree["empty.dat"].size, 0u);
  ExpectFilesAsReported(tree, Path("joliet.iso"));
  EXPECT_EQ(MST_GetFileSystem(disc), MST_FS_ISO9660_JOLIET);

  // Pressed media is closed: nothing can follow, and a write job says so.
  auto owner = Datadisk::FromHandle(disc);
  EXPECT_EQ(owner->imported_drive, drive);
  EXPECT_EQ(owner->next_session_start, 0xFFFFFFFFu);
  EXPECT_EQ(MST_GetDataMode(disc), 1u);
  EXPECT_EQ(MST_SetFileSystem(disc, MST_FS_UDF102), QD_E_INVALID_SETTING);
  EXPECT_EQ(MST_WriteDatadisk(drive, disc, 1, nullptr, FALSE, 0), QD_E_MEDIA_NOT_WRITABLE);
}

TEST_F(ImportTest, PlainIsoNamesLoseTheirVersion) {
  REQUIRE_TOOL("genisoimage");
  MakeSources();
  HANDLE drive = Press(Genisoimage("", "plain.iso"));
  _FILESYSTEMINFORMATION info{};
  ASSERT_EQ(DRV_GetFileSystemInformation(drive, 1, &info), QD_OK);
  EXPECT_EQ(info.dwFileSystems, FILESYSTEM_ISO9660);
  HANDLE disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 1, nullptr), QD_OK);
  auto tree = Tree(disc);
  EXPECT_EQ(tree.count("README.TXT"), 1u);  // README.TXT;1 on the disc
  EXPECT_EQ(tree.count("EMPTY.DAT"), 1u);
  EXPECT_EQ(tree.count("SUB\\DEEPER"), 1u);
  for (const auto& [path, entry] : tree) EXPECT_EQ(path.find(';'), std::string::npos) << path;
}

TEST_F(ImportTest, UdfBridgeImportsTheUdfTree) {
  REQUIRE_TOOL("genisoimage");
  REQUIRE_TOOL("xorriso");
  MakeSources();
  HANDLE drive = Press(Genisoimage("-J -udf", "bridge.iso"));
  _FILESYSTEMINFORMATION info{};
  ASSERT_EQ(DRV_GetFileSystemInformation(drive, 1, &info), QD_OK);
  EXPECT_EQ(info.dwFileSystems, FILESYSTEM_ISO9660 | FILESYSTEM_UDF);
  HANDLE disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 1, nullptr), QD_OK);
  EXPECT_EQ(MST_GetFileSystem(disc), MST_FS_ISO9660_JOLIET_UDF102);
  auto tree = Tree(disc);
  EXPECT_EQ(tree.size(), 6u);
  EXPECT_EQ(tree["README.TXT"].last_write, UnixToFileTime(kMtime));
  ExpectFilesAsReported(tree, Path("bridge.iso"));
}

TEST_F(ImportTest, XorrisoSecondSessionAddsAndReplacesFiles) {
  REQUIRE_TOOL("xorriso");
  Source("one/keep.txt", "kept from the first session");
  Source("one/change.txt", "old");
  Source("two/change.txt", std::string(3000, 'n'));
  Source("two/added/new.txt", "new in the second session");
  std::string image = Path("multi.iso");
  ASSERT_EQ(Shell("xorriso -outdev stdio:" + Quote(image) + " -joliet on -map " + Quote(Path("one")) + " / -commit"), 0);
  ASSERT_EQ(Shell("xorriso -dev stdio:" + Quote(image) + " -joliet on -map " + Quote(Path("two")) + " / -commit"), 0);
  HANDLE drive = Press(image);
  HANDLE disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 1, nullptr), QD_OK);
  auto tree = Tree(disc);
  EXPECT_EQ(tree.size(), 4u);
  EXPECT_EQ(tree["change.txt"].size, 3000u);
  EXPECT_EQ(tree.count("added\\new.txt"), 1u);
  ExpectFilesAsReported(tree, image);
  // The kept file's content lies in the first session, the new one's after it.
  EXPECT_LT(tree["keep.txt"].location, tree["added\\new.txt"].location);
}

TEST_F(ImportTest, AppendableDiscGivesItsNextWritableAddressAndFreezesTheSettings) {
  REQUIRE_TOOL("genisoimage");
  MakeSources();
  HANDLE drive = RecordOnCdR(Genisoimage("-J", "session.iso"));
  HANDLE disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 1, nullptr), QD_OK);
  _MEDIAINFORMATION media{};
  ASSERT_EQ(DRV_GetMediaInformation(drive, &media), QD_OK);
  ASSERT_EQ(media.dwStatus, MEDIA_STATUS_APPENDABLE);
  auto owner = Datadisk::FromHandle(disc);
  EXPECT_EQ(owner->next_session_start, media.dwNextWritable);
  EXPECT_EQ(MST_SetDataMode(disc, 2), QD_E_INVALID_SETTING);
  EXPECT_EQ(Tree(disc).size(), 6u);
  // There is no second session to import.
  HANDLE other = NewDisc();
  EXPECT_EQ(MST_ReadFileSystem(other, drive, 2, nullptr), QD_E_INVALID_ARGUMENT);
  _FILESYSTEMINFORMATION info{};
  EXPECT_EQ(DRV_GetFileSystemInformation(drive, 2, &info), QD_E_INVALID_ARGUMENT);
}

TEST_F(ImportTest, SecondSessionOfAMultiSessionCdRIsImportedAtItsOwnAddresses) {
  REQUIRE_TOOL("genisoimage");
  MakeSources();
  std::string first = Genisoimage("-J", "first.iso");
  HANDLE drive = RecordOnCdR(first);
  _MEDIAINFORMATION media{};
  ASSERT_EQ(DRV_GetMediaInformation(drive, &media), QD_OK);
  const uint32_t start = media.dwNextWritable;
  Source("src2/added.txt", "only in the second session");
  std::string second = Path("second.iso");
  ASSERT_EQ(Shell("genisoimage -quiet -J -C 0," + std::to_string(start) + " -M " + Quote(first) + " -o " +
                  Quote(second) + " " + Quote(Path("src2"))),
            0);
  ASSERT_TRUE(AppendSession(second, start));

  HANDLE old_disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(old_disc, drive, 1, nullptr), QD_OK);
  EXPECT_EQ(Tree(old_disc).count("added.txt"), 0u);
  HANDLE disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 2, nullptr), QD_OK);
  auto tree = Tree(disc);
  EXPECT_EQ(tree.count("added.txt"), 1u);
  EXPECT_GE(tree["added.txt"].location, start);
  EXPECT_EQ(tree["README.TXT"].location, Tree(old_disc)["README.TXT"].location);  // still in session 1
  ASSERT_EQ(DRV_GetMediaInformation(drive, &media), QD_OK);
  EXPECT_EQ(Datadisk::FromHandle(disc)->next_session_start, media.dwNextWritable);
}

// A session of genisoimage (Joliet and UDF) on a CD-R gets a second session from the engine: the
// new session lists the old files where genisoimage put them, in its Joliet and its UDF tree.
TEST_F(ImportTest, EngineAppendsToAGenisoimageUdfBridgeSession) {
  REQUIRE_TOOL("genisoimage");
  REQUIRE_TOOL("xorriso");
  MakeSources();
  std::string first = Genisoimage("-J -udf", "bridge.iso");
  HANDLE drive = RecordOnCdR(first);
  HANDLE disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 1, nullptr), QD_OK);
  EXPECT_EQ(MST_GetFileSystem(disc), MST_FS_ISO9660_JOLIET_UDF102);
  const auto old_tree = Tree(disc);
  Source("add/new.bin", std::string(9000, 'n'));
  ASSERT_NE(MST_AddDatadiskFile(disc, pf::Utf8ToUtf16(Path("add/new.bin")).c_str(), u"added"), INVALID_HANDLE_VALUE);
  _MEDIAINFORMATION media{};
  ASSERT_EQ(DRV_GetMediaInformation(drive, &media), QD_OK);
  const uint32_t start = media.dwNextWritable;
  ASSERT_EQ(MST_WriteDatadisk(drive, disc, 2, nullptr, TRUE, 0), QD_OK) << std::hex << MST_GetLastError(disc);

  // The engine's reader takes the UDF tree of the new session.
  HANDLE again = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(again, drive, 2, nullptr), QD_OK);
  EXPECT_EQ(MST_GetFileSystem(again), MST_FS_ISO9660_JOLIET_UDF102);  // not a fallback to Joliet
  auto tree = Tree(again);
  EXPECT_EQ(tree.size(), old_tree.size() + 2);
  for (const auto& [path, entry] : old_tree) {
    if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    EXPECT_EQ(tree[path].location, entry.location) << path;
    EXPECT_EQ(tree[path].size, entry.size) << path;
  }
  EXPECT_GE(tree["added\\new.bin"].location, start);
  EXPECT_EQ(tree["added\\new.bin"].size, 9000u);
  // xorriso reads the Joliet tree of the new session from the disc's blocks.
  std::vector<uint8_t> disc_blocks = ReadImage(recorded_backing_);
  std::string whole = Path("whole.iso");
  WriteImage(whole, disc_blocks);
  std::string out;
  ASSERT_EQ(Shell("xorriso -abort_on FAILURE -load sbsector " + std::to_string(start) + " -indev stdio:" +
                      Quote(whole) + " -osirrox on -extract / " + Quote(Path("back")),
                  &out),
            0)
      << out;
  EXPECT_EQ(Shell("cmp " + Quote(Path("back/added/new.bin")) + " " + Quote(Path("add/new.bin"))), 0);
  EXPECT_EQ(Shell("cmp " + Quote(Path("back/sub/data.bin")) + " " + Quote(Path("src/sub/data.bin"))), 0);
}

TEST_F(ImportTest, MkudffsVolumeIsRecognizedWithItsLabel) {
  REQUIRE_TOOL("mkudffs");
  std::string image = Path("udf.img");
  ASSERT_EQ(Shell("truncate -s 8M " + Quote(image) + " && mkudffs --media-type=hd --blocksize=2048 --udfrev=0x0201 --label=UDF_VOLUME " +
                  Quote(image)),
            0);
  HANDLE drive = Press(image);
  _FILESYSTEMINFORMATION info{};
  ASSERT_EQ(DRV_GetFileSystemInformation(drive, 1, &info), QD_OK);
  EXPECT_EQ(info.dwFileSystems, FILESYSTEM_UDF);
  EXPECT_EQ(std::u16string(info.szVolumeLabel), u"UDF_VOLUME");
  HANDLE disc = NewDisc();
  MST_CreateDatadiskFolder(disc, nullptr, u"EARLIER");
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 1, nullptr), QD_OK);
  EXPECT_EQ(MST_GetFileSystem(disc), MST_FS_UDF102);
  EXPECT_EQ(Tree(disc).size(), 1u);  // the volume is empty; what was there stays
}

TEST_F(ImportTest, AnExtendedFileEntryGivesItsOwnCreationTime) {
  REQUIRE_TOOL("mkudffs");
  // mkudffs records the folders of a UDF 2.01 volume in Extended File Entries. Their creation
  // time is set apart from the other three times, so a reader taking the wrong field shows.
  std::string image = Path("efe.img");
  ASSERT_EQ(Shell("truncate -s 8M " + Quote(image) +
                  " && mkudffs --media-type=hd --blocksize=2048 --udfrev=0x0201 " + Quote(image)),
            0);
  std::vector<uint8_t> blocks = ReadImage(image);
  namespace e = fs::ecma167;
  int patched = 0;
  for (size_t at = 0; at + 2048 <= blocks.size(); at += 2048) {
    uint8_t* entry = blocks.data() + at;
    if (GetLe16(entry + e::tag::kIdentifier) != e::kTagExtendedFileEntry ||
        entry[e::entry::kFileType] != e::icb::kTypeDirectory) {
      continue;
    }
    uint8_t* t = entry + e::efe::kCreationTime;  // 2001-02-03 04:05:06 UTC
    PutLe16(t + e::timestamp::kTypeAndZone, e::timestamp::kTypeLocal << e::timestamp::kTypeShift);
    PutLe16(t + e::timestamp::kYear, 2001);
    t[e::timestamp::kMonth] = 2;
    t[e::timestamp::kDay] = 3;
    t[e::timestamp::kHour] = 4;
    t[e::timestamp::kMinute] = 5;
    t[e::timestamp::kSecond] = 6;
    t[e::timestamp::kCentiseconds] = 0;
    t[e::timestamp::kHundredsOfMicroseconds] = 0;
    t[e::timestamp::kMicroseconds] = 0;
    PutLe16(entry + e::tag::kCrc,
            e::DescriptorCrc(entry + e::tag::kSize, GetLe16(entry + e::tag::kCrcLength)));
    entry[e::tag::kChecksum] = e::TagChecksum(entry);
    ++patched;
  }
  ASSERT_GT(patched, 0) << "mkudffs wrote no extended entry for a folder";
  WriteImage(image, blocks);
  reader::BlockSource source(Press(image));
  reader::DiscReader disc_reader(&source);
  ASSERT_EQ(disc_reader.Recognize(0), QD_OK);
  reader::DiscItem root;
  ASSERT_EQ(disc_reader.Root(reader::View::kUdf, &root), QD_OK);
  auto value = [](const FILETIME& t) {
    return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
  };
  EXPECT_EQ(value(root.creation), UnixToFileTime(981173106));
  EXPECT_NE(value(root.last_write), value(root.creation));
}

TEST_F(ImportTest, Udf250VolumeOfTheEngineReportsItsRevision) {
  Source("src/a.txt", "udf two fifty");
  Source("src/dir/b.txt", std::string(10000, 'b'));
  HANDLE source_disc = NewDisc();
  ASSERT_NE(MST_AddDatadiskFile(source_disc, pf::Utf8ToUtf16(Path("src/a.txt")).c_str(), u""), INVALID_HANDLE_VALUE);
  ASSERT_NE(MST_AddDatadiskFile(source_disc, pf::Utf8ToUtf16(Path("src/dir")).c_str(), u"dir"), INVALID_HANDLE_VALUE);
  ASSERT_EQ(MST_SetFileSystem(source_disc, MST_FS_UDF250), QD_OK);
  std::string image = Path("udf250.iso");
  if (MST_CreateISOImage(pf::Utf8ToUtf16(image).c_str(), source_disc, nullptr, FALSE) != QD_OK) {
    GTEST_SKIP() << "the engine does not write UDF 2.50 images yet";
  }
  HANDLE drive = Press(image);
  _FILESYSTEMINFORMATION info{};
  ASSERT_EQ(DRV_GetFileSystemInformation(drive, 1, &info), QD_OK);
  EXPECT_EQ(info.dwFileSystems, FILESYSTEM_UDF250);
  HANDLE disc = NewDisc();
  ASSERT_EQ(MST_ReadFileSystem(disc, drive, 1, nullptr), QD_OK);
  EXPECT_EQ(MST_GetFileSystem(disc), MST_FS_UDF250);
  auto tree = Tree(disc);
  EXPECT_EQ(tree["dir\\b.txt"].size, 10000u);
  EXPECT_EQ(tree["a.txt"].attributes, kFile);
}

// The file progress protocol of the import, answered by a message window.
class ImportProtocolTest : public ImportTest {
 protected:
  static constexpr UINT kMessage = 0x8011;
  void SetUp() override {
    window_ = pf::CreateMessageWindow([this](HWND, UINT message, WPARAM code, LPARAM text) -> LRESULT {
      if (message != kMessage) return 0;
      if (code == FP_FINISHED) {
        finished_ = true;
        return 0;
      }
      codes_.push_back(static_cast<uint32_t>(code));
      texts_.push_back(text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : u"");
      return answer_(static_cast<uint32_t>(code));
    });
    progress_ = PRG_CreateFileProgress();
  }
  void TearDown() override {
    PRG_DestroyFileProgress(progress_);
    pf::DestroyMessageWindow(window_);
    ImportTest::TearDown();
  }
  uint32_t ImportAndWait(HANDLE disc, HANDLE drive) {
    EXPECT_EQ(PRG_SetFileProgressMessage(progress_, window_, kMessage), QD_OK);
    uint32_t started = MST_ReadFileSystem(disc, drive, 1, progress_);
    if (started != QD_OK) return started;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!finished_ && std::chrono::steady_clock::now() < deadline) {
      pf::WaitForMessages(100);
      pf::PumpMessages();
    }
    EXPECT_TRUE(finished_);
    uint32_t result;
    while ((result = PRG_GetFileProgressErrorCode(progress_)) == QD_E_BUSY) std::this_thread::yield();
    return result;
  }
  // Four nested folders of 60 characters and a file: the fifth level passes 256 characters.
  std::string DeepImage() {
    std::string path = "src";
    for (char c : std::string("abcde")) path += "/" + std::string(60, c);
    Source(path + "/f.txt", "deep");
    Source("src/top.txt", "top");
    return Genisoimage("-J -joliet-long", "deep.iso");
  }

  HWND window_ = nullptr;
  HANDLE progress_ = nullptr;
  bool finished_ = false;
  std::vector<uint32_t> codes_;
  std::vector<std::u16string> texts_;
  std::function<uint32_t(uint32_t)> answer_ = [](uint32_t) { return 0u; };
};

TEST_F(ImportProtocolTest, TooLongPathsAreOfferedAndSkipped) {
  REQUIRE_TOOL("genisoimage");
  HANDLE drive = Press(DeepImage());
  HANDLE disc = NewDisc();
  ASSERT_EQ(ImportAndWait(disc, drive), QD_OK);
  auto tree = Tree(disc);
  EXPECT_EQ(tree.size(), 5u);  // top.txt and four folders; the fifth folder did not fit
  int too_long = 0;
  for (size_t i = 0; i < codes_.size(); ++i) {
    if (codes_[i] == FP_PATH_TOO_LONG) {
      ++too_long;
      EXPECT_GT(texts_[i].size(), 256u);
    }
  }
  EXPECT_EQ(too_long, 1);
  EXPECT_EQ(std::count(codes_.begin(), codes_.end(), FP_ASK_ADD), 6);
}

TEST_F(ImportProtocolTest, CancelKeepsWhatWasImportedAndRemembersTheDrive) {
  REQUIRE_TOOL("genisoimage");
  HANDLE drive = Press(DeepImage());
  HANDLE disc = NewDisc();
  answer_ = [](uint32_t code) { return code == FP_PATH_TOO_LONG ? FP_REPLY_CANCEL : 0u; };
  EXPECT_EQ(ImportAndWait(disc, drive), QD_E_CANCELLED);
  EXPECT_EQ(Tree(disc).size(), 5u);
  EXPECT_EQ(Datadisk::FromHandle(disc)->imported_drive, drive);
  EXPECT_EQ(MST_GetLastError(disc), QD_E_CANCELLED);
}

TEST_F(ImportProtocolTest, DuplicatesAreAskedUnlessBothAreFolders) {
  REQUIRE_TOOL("genisoimage");
  MakeSources();
  HANDLE drive = Press(Genisoimage("-J", "dup.iso"));
  HANDLE disc = NewDisc();
  MST_CreateDatadiskFolder(disc, nullptr, u"sub");
  HANDLE readme_folder = MST_CreateDatadiskFolder(disc, nullptr, u"README.TXT");
  ASSERT_NE(readme_folder, INVALID_HANDLE_VALUE);
  answer_ = [](uint32_t code) { return code == FP_ASK_DUPLICATE ? 1u : 0u; };  // replace
  ASSERT_EQ(ImportAndWait(disc, drive), QD_OK);
  EXPECT_EQ(std::count(codes_.begin(), codes_.end(), FP_ASK_DUPLICATE), 1);
  auto tree = Tree(disc);
  EXPECT_EQ(tree["README.TXT"].attributes, kFile);
  EXPECT_EQ(tree.count("sub\\data.bin"), 1u);  // merged into the folder that was there
}

// The volume exports read the disc back by drive letter.
TEST_F(ImportTest, VolumeReadsFilesBackByPath) {
  REQUIRE_TOOL("genisoimage");
  MakeSources();
  Source("src/sub/big.bin", std::string(3 * 1024 * 1024 + 17, 'x'));
  std::string image = Genisoimage("-J -udf", "volume.iso");
  std::string backing = Path("letter.disc");
  std::string error;
  setenv("QUENVAR_DRIVES", ("W=virtual:dvd+r:" + backing).c_str(), 1);
  pf::DriveMap::Reload();
  ASSERT_TRUE(drive::LoadVirtualImage(backing, image, "", &error)) << error;
  HANDLE volume = nullptr;
  ASSERT_EQ(DRV_OpenVolume(23, &volume), QD_OK);
  WIN32_FIND_DATAW data{};
  ASSERT_EQ(DRV_GetVolumeFileInformation(volume, u"W:\\SUB\\deeper\\long mixed NAME.txt", &data), QD_OK);
  EXPECT_EQ(data.nFileSizeLow, 4u);
  EXPECT_EQ(std::u16string(data.cFileName), u"Long Mixed Name.txt");
  EXPECT_EQ(DRV_GetVolumeFileInformation(volume, u"X:\\README.TXT", &data), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_GetVolumeFileInformation(volume, u"\\nothing", &data), QD_E_NOT_FOUND);
  EXPECT_EQ(DRV_GetVolumeFileInformation(volume, u"README.TXT\\below", &data), QD_E_NOT_FOUND);

  std::string content;
  std::vector<char> chunk(1 << 20);
  for (;;) {
    DWORD read = 0;
    ASSERT_EQ(DRV_ReadVolumeFile(volume, u"sub/big.bin", content.size(), chunk.data(), chunk.size(), &read), QD_OK);
    if (read == 0) break;
    content.append(chunk.data(), read);
  }
  EXPECT_EQ(content, std::string(3 * 1024 * 1024 + 17, 'x'));
  std::vector<std::u16string> names;
  for (DWORD i = 0; DRV_FindVolumeFile(volume, u"\\sub", i, &data) == QD_OK; ++i) names.push_back(data.cFileName);
  EXPECT_EQ(names.size(), 3u);
  // Listing again, entry by entry, is served from what the volume already read.
  std::string backing_error;
  auto observer = drive::OpenVirtualRecorder(backing, "none", &backing_error);
  ASSERT_TRUE(observer) << backing_error;
  const uint32_t reads =
      drive::AsVirtualRecorder(observer.get())->CommandCount(drive::mmc::kOpRead10);
  EXPECT_GT(reads, 0u);  // the device counts the volume's reads
  for (DWORD i = 0; i < 3; ++i) EXPECT_EQ(DRV_FindVolumeFile(volume, u"sub", i, &data), QD_OK);
  EXPECT_EQ(drive::AsVirtualRecorder(observer.get())->CommandCount(drive::mmc::kOpRead10), reads);
  DWORD read = 0;
  EXPECT_EQ(DRV_ReadVolumeFile(volume, u"sub", 0, chunk.data(), 10, &read), QD_E_NOT_FOUND);
  EXPECT_EQ(DRV_CloseVolume(volume), QD_OK);
  EXPECT_EQ(DRV_CloseVolume(volume), QD_E_INVALID_HANDLE);
  unsetenv("QUENVAR_DRIVES");
  pf::DriveMap::Reload();
}

TEST_F(ImportTest, BadArgumentsAreRefused) {
  HANDLE disc = NewDisc();
  EXPECT_EQ(MST_ReadFileSystem(nullptr, nullptr, 1, nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_ReadFileSystem(disc, nullptr, 1, nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_ReadFileSystem(disc, INVALID_HANDLE_VALUE, 1, nullptr), QD_E_INVALID_ARGUMENT);
  _FILESYSTEMINFORMATION info{};
  EXPECT_EQ(DRV_GetFileSystemInformation(nullptr, 1, &info), QD_E_INVALID_HANDLE);
  HANDLE volume = nullptr;
  EXPECT_EQ(DRV_OpenVolume(0, &volume), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_OpenVolume(27, &volume), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(DRV_GetVolumeFileInformation(nullptr, u"a", nullptr), QD_E_INVALID_HANDLE);
}

}  // namespace
}  // namespace quillden::reader::testing
