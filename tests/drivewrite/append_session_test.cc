// Further sessions on discs that already hold data: the last session is imported, files are added
// and replaced, and the new session lists old and new files together. Write-once media get the
// session at their next writable address; overwritable media get the new data behind the old file
// system and the volume header at block 0 last. Read back with xorriso and with the engine's own
// reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "datadisk/datadisk.h"
#include "image/disc_image.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "recording_fixture.h"

#ifdef QUENVAR_HAVE_UDFREAD
#include <udfread/udfread.h>
#endif

namespace quillden::recording::testing {
namespace {

namespace fs = std::filesystem;

std::u16string U16(const std::string& text) {
  return quenvar::platform::Utf8ToUtf16(text);
}

// Where an imported entry's content lies.
struct Placed {
  uint32_t location = 0;
  uint64_t length = 0;
  bool imported = false;
};

class AppendSessionTest : public VirtualDriveTest {
 protected:
  void TearDown() override {
    for (HANDLE disc : discs_) MST_DestroyDatadisk(disc);
    VirtualDriveTest::TearDown();
  }

  HANDLE NewDisc() {
    discs_.push_back(MST_CreateDatadisk());
    return discs_.back();
  }

  // Adds every file of folder below target ("" = the root).
  void AddFolder(HANDLE disc, const std::string& folder, const std::string& target) {
    for (const auto& item : fs::directory_iterator(folder)) {
      const std::string name = item.path().filename().string();
      const std::string where =
          item.is_directory() ? (target.empty() ? name : target + "\\" + name) : target;
      ASSERT_NE(MST_AddDatadiskFile(disc, U16(item.path().string()).c_str(), U16(where).c_str()),
                INVALID_HANDLE_VALUE)
          << item.path() << " 0x" << std::hex << MST_GetLastError(disc);
    }
  }

  // Every file below folder, keyed as the disc will show it below prefix ("a/b").
  static void Collect(const std::string& folder, const std::string& prefix, FileSet* files) {
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
      if (!item.is_regular_file()) continue;
      std::ifstream in(item.path(), std::ios::binary);
      std::string relative = fs::relative(item.path(), folder).string();
      (*files)[prefix.empty() ? relative : prefix + "/" + relative] =
          std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
  }

  _MEDIAINFORMATION Media() {
    _MEDIAINFORMATION info{};
    EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), 0u);
    return info;
  }

  // The last session that holds data: the one of the last track in the table of contents (the
  // track information also knows the open track behind it). Overwritable media have one.
  WORD SessionCount() {
    _TOCINFORMATION toc{};
    _TRACKINFORMATION track{};
    if (DRV_GetTOCInformation(drive_, &toc, sizeof toc) != 0 ||
        DRV_GetTrackInformation(drive_, toc.bLastTrack, &track, FALSE) == 0 ||
        track.wSession == 0) {
      return 1;  // overwritable media: one session
    }
    return track.wSession;
  }

  // The imported tree of session of the disc in the drive, by disc path.
  std::map<std::string, Placed> Import(HANDLE disc, WORD session) {
    EXPECT_EQ(MST_ReadFileSystem(disc, drive_, session, nullptr), 0u)
        << std::hex << MST_GetLastError(disc);
    return Tree(disc);
  }

  static std::map<std::string, Placed> Tree(HANDLE handle) {
    std::map<std::string, Placed> tree;
    auto disc = Datadisk::FromHandle(handle);
    WalkTree(*disc, nullptr, [&](DatadiskEntry* e) {
      if (e->is_folder()) return true;
      std::string path = quenvar::platform::Utf16ToUtf8(e->DiscPath());
      for (char& c : path) c = c == '\\' ? '/' : c;
      tree[path] = Placed{e->location, e->length, (e->attributes() & DDF_ATTR_IMPORTED) != 0};
      return true;
    });
    return tree;
  }

  // The engine's view of the last session: every file of files, read from where the imported
  // entry says its content lies.
  void ExpectEngineReads(WORD session, const FileSet& files) {
    HANDLE disc = NewDisc();
    std::map<std::string, Placed> tree = Import(disc, session);
    EXPECT_EQ(tree.size(), files.size());
    for (const auto& [name, bytes] : files) {
      auto found = tree.find(name);
      ASSERT_NE(found, tree.end()) << name << " not imported";
      ASSERT_EQ(found->second.length, bytes.size()) << name;
      std::vector<uint8_t> read = ReadBacking(found->second.location, (bytes.size() + 2047) / 2048);
      read.resize(bytes.size());
      EXPECT_TRUE(read == bytes) << name << " differs on the disc";
    }
  }

  // xorriso's view of the session that starts at start: extracts everything and compares.
  void ExpectXorrisoReads(uint32_t start, const FileSet& files, const std::string& image = "") {
    const std::string out = WorkPath("extracted");
    fs::remove_all(out);
    const std::string command =
        "xorriso -abort_on FAILURE -return_with FAILURE 32 -load sbsector " +
        std::to_string(start) + " -indev stdio:'" + (image.empty() ? path_ : image) +
        "' -osirrox on -extract / '" + out + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    size_t count = 0;
    for (const auto& item : fs::recursive_directory_iterator(out)) count += item.is_regular_file();
    EXPECT_EQ(count, files.size());
    for (const auto& [name, bytes] : files) {
      std::ifstream in(out + "/" + name, std::ios::binary);
      ASSERT_TRUE(in.good()) << name << " missing";
      EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}) == bytes)
          << name << " differs";
    }
    fs::remove_all(out);
  }

  // Writes a first session of the files MakeFiles makes under "one".
  FileSet FirstSession(DWORD write_type, DWORD file_system = 3) {
    const std::string folder = WorkPath("one");
    MakeFiles(folder, 7, 300000);
    FileSet files;
    Collect(folder, "", &files);
    HANDLE disc = NewDisc();
    EXPECT_EQ(MST_SetFileSystem(disc, file_system), 0u);
    AddFolder(disc, folder, "");
    EXPECT_EQ(MST_WriteDatadisk(drive_, disc, write_type, nullptr, TRUE, 0), 0u)
        << std::hex << MST_GetLastError(disc);
    return files;
  }

  // Imports the last session, replaces readme.txt, adds a folder "two_<tag>" of new files, and
  // writes the next session. Returns the session's first block N; *files gets the new content.
  uint32_t NextSession(const std::string& tag, DWORD write_type, FileSet* files,
                       HANDLE* out_disc = nullptr) {
    HANDLE disc = NewDisc();
    const std::map<std::string, Placed> before = Import(disc, SessionCount());
    const uint32_t next = Media().dwNextWritable;
    // A replaced file: the imported entry goes, a new source takes its name.
    HANDLE old_readme = MST_FindFullPathDatadiskFile(disc, u"readme.txt", nullptr);
    EXPECT_NE(old_readme, INVALID_HANDLE_VALUE);
    EXPECT_EQ(MST_DeleteDatadiskFile(disc, old_readme), 0u);
    const std::string replacement = WorkPath("readme_" + tag + "/readme.txt");
    fs::create_directories(fs::path(replacement).parent_path());
    std::ofstream(replacement, std::ios::binary) << "replaced in session " << tag;
    EXPECT_NE(MST_AddDatadiskFile(disc, U16(replacement).c_str(), u""), INVALID_HANDLE_VALUE);
    (*files)["readme.txt"] = {};
    Collect(fs::path(replacement).parent_path().string(), "", files);

    const std::string folder = WorkPath("two_" + tag);
    MakeFiles(folder, static_cast<uint32_t>(tag.size() * 31 + tag[0]), 150000 + tag.size() * 4097);
    AddFolder(disc, folder, "two_" + tag);
    Collect(folder, "two_" + tag, files);

    EXPECT_EQ(MST_WriteDatadisk(drive_, disc, write_type, nullptr, TRUE, 0), 0u)
        << std::hex << MST_GetLastError(disc);
    // The old files kept the blocks they had; only new ones were given blocks, behind N.
    const std::map<std::string, Placed> after = Tree(disc);
    for (const auto& [name, placed] : after) {
      auto old = before.find(name);
      if (placed.imported) {
        EXPECT_TRUE(old != before.end() && placed.location == old->second.location) << name;
      } else if (placed.length > 0) {
        EXPECT_GE(placed.location, next) << name;
      }
    }
    if (out_disc) *out_disc = disc;
    return next;
  }

  std::vector<HANDLE> discs_;
};

class AppendWriteOnceTest : public AppendSessionTest,
                            public ::testing::WithParamInterface<const char*> {};

// Three sessions: the second adds and replaces files, the third does it again and closes the disc;
// each reads back whole, with xorriso at its own start and with the engine.
TEST_P(AppendWriteOnceTest, ThreeSessionsReadBackWhole) {
  OpenDrive(GetParam());
  FileSet files = FirstSession(1);
  ASSERT_EQ(Media().dwStatus, static_cast<DWORD>(MEDIA_STATUS_APPENDABLE));

  const uint32_t second = NextSession("b", 1, &files);
  EXPECT_GT(second, 0u);
  ExpectXorrisoReads(second, files);
  ExpectEngineReads(2, files);
  EXPECT_EQ(files["readme.txt"],
            std::vector<uint8_t>({'r', 'e', 'p', 'l', 'a', 'c', 'e', 'd', ' ', 'i', 'n',
                                  ' ', 's', 'e', 's', 's', 'i', 'o', 'n', ' ', 'b'}));

  const uint32_t third = NextSession("cc", 2, &files);
  EXPECT_GT(third, second);
  ExpectXorrisoReads(third, files);
  ExpectEngineReads(3, files);
  EXPECT_EQ(Media().dwStatus, static_cast<DWORD>(MEDIA_STATUS_CLOSED));
}

INSTANTIATE_TEST_SUITE_P(Media, AppendWriteOnceTest, ::testing::Values("cd-r", "dvd-r", "dvd+r"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) c = c == '+' ? 'P' : c == '-' ? 'M' : c;
                           return name;
                         });

// A closed disc takes no further session: its import says so, and neither a write nor an image of
// the next session is attempted.
TEST_F(AppendSessionTest, ClosedDiscRefusesTheNextSession) {
  OpenDrive("cd-r");
  FirstSession(2);
  ASSERT_EQ(Media().dwStatus, static_cast<DWORD>(MEDIA_STATUS_CLOSED));
  HANDLE disc = NewDisc();
  Import(disc, 1);
  EXPECT_EQ(Datadisk::FromHandle(disc)->next_session_start, 0xFFFFFFFFu);
  const std::string extra = WorkPath("extra.txt");
  std::ofstream(extra) << "more";
  ASSERT_NE(MST_AddDatadiskFile(disc, U16(extra).c_str(), u""), INVALID_HANDLE_VALUE);
  const size_t writes = log_->Commands(0x2A).size();
  EXPECT_EQ(MST_WriteDatadisk(drive_, disc, 1, nullptr, FALSE, 0), QD_E_MEDIA_NOT_WRITABLE);
  EXPECT_EQ(log_->Commands(0x2A).size(), writes);
  // The image would hold entries whose content lies on a disc it cannot be recorded onto.
  const std::string image = WorkPath("next.iso");
  EXPECT_EQ(MST_CreateISOImage(U16(image).c_str(), disc, nullptr, FALSE), QD_E_MEDIA_NOT_WRITABLE);
  EXPECT_FALSE(fs::exists(image));
}

// The image of the next session starts at N: put behind the disc's first N blocks it is a whole
// multi-session disc.
TEST_F(AppendSessionTest, IsoImageOfTheNextSessionUsesTheDiscsBlockNumbers) {
  OpenDrive("dvd+r");
  FileSet files = FirstSession(1);
  HANDLE disc = NewDisc();
  Import(disc, 1);
  const uint32_t next = Media().dwNextWritable;
  const std::string folder = WorkPath("new");
  MakeFiles(folder, 99, 5000);
  AddFolder(disc, folder, "new");
  Collect(folder, "new", &files);
  const std::string image = WorkPath("next.iso");
  ASSERT_EQ(MST_CreateISOImage(U16(image).c_str(), disc, nullptr, FALSE), 0u)
      << std::hex << MST_GetLastError(disc);

  const std::string whole = WorkPath("whole.iso");
  {
    std::vector<uint8_t> head = ReadBacking(0, next);
    std::ifstream in(image, std::ios::binary);
    std::vector<uint8_t> tail((std::istreambuf_iterator<char>(in)), {});
    std::ofstream out(whole, std::ios::binary);
    out.write(reinterpret_cast<const char*>(head.data()),
              static_cast<std::streamsize>(head.size()));
    out.write(reinterpret_cast<const char*>(tail.data()),
              static_cast<std::streamsize>(tail.size()));
  }
  ExpectXorrisoReads(next, files, whole);
  // The new session's primary descriptor counts the disc's blocks up to its own end.
  std::ifstream in(image, std::ios::binary);
  std::vector<uint8_t> pvd(2048);
  in.seekg(16 * 2048);
  in.read(reinterpret_cast<char*>(pvd.data()), 2048);
  const uint32_t space = pvd[80] | pvd[81] << 8 | pvd[82] << 16 | uint32_t{pvd[83]} << 24;
  EXPECT_EQ(uint64_t{space} * 2048, uint64_t{next} * 2048 + fs::file_size(image));
}

class AppendOverwritableTest : public AppendSessionTest,
                               public ::testing::WithParamInterface<const char*> {};

// DVD+RW and DVD-RW in restricted overwrite: the new files go behind the old file system, the
// header at block 0 is replaced last, and the disc reads as one volume from block 0.
TEST_P(AppendOverwritableTest, NewSessionGrowsTheVolumeFromBlockZero) {
  OpenDrive(GetParam());
  FileSet files = FirstSession(2);
  ASSERT_EQ(Media().dwStatus, static_cast<DWORD>(MEDIA_STATUS_APPENDABLE));
  const uint32_t old_size = Media().dwNextWritable;

  log_->Clear();
  const uint32_t next = NextSession("b", 2, &files);
  EXPECT_EQ(next, old_size);
  ExpectXorrisoReads(0, files);
  ExpectEngineReads(1, files);
  // The data went behind the old file system first; the header at block 0 came last, in whole
  // units of 16 blocks.
  const std::vector<LoggedCommand> writes = log_->Commands(0x2A);
  size_t first_header = 0;
  while (first_header < writes.size() && writes[first_header].lba() >= next) ++first_header;
  ASSERT_GT(first_header, 0u);
  ASSERT_LT(first_header, writes.size());
  EXPECT_EQ(writes[first_header].lba(), 0u);
  uint32_t covered = 0;
  for (size_t i = first_header; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].lba(), covered);
    EXPECT_EQ(writes[i].blocks() % 16, 0u);
    covered += writes[i].blocks();
  }
  EXPECT_LE(covered, next);
  EXPECT_GT(Media().dwNextWritable, old_size);

  const uint32_t third = NextSession("cc", 2, &files);
  EXPECT_GT(third, next);
  ExpectXorrisoReads(0, files);
  ExpectEngineReads(1, files);
}

// A job that fails half way leaves the old file system as it was: nothing before N was touched.
TEST_P(AppendOverwritableTest, FailedAppendLeavesTheOldTreeReadable) {
  OpenDrive(GetParam());
  const FileSet files = FirstSession(2);
  const uint32_t old_size = Media().dwNextWritable;
  const std::vector<uint8_t> old_head = ReadBacking(0, old_size);

  HANDLE disc = NewDisc();
  Import(disc, 1);
  const std::string folder = WorkPath("new");
  MakeFiles(folder, 5, 3u << 20);
  AddFolder(disc, folder, "new");
  // The first new file is on its way to the disc when a later one turns out to be gone.
  fs::remove(folder + "/sub/deeper/b.dat");
  log_->Clear();
  EXPECT_EQ(MST_WriteDatadiskNoExistCheck(drive_, disc, 2, nullptr, FALSE, 0), QD_E_SOURCE_MISSING);
  EXPECT_FALSE(log_->Commands(0x2A).empty());
  for (const LoggedCommand& write : log_->Commands(0x2A)) EXPECT_GE(write.lba(), old_size);
  EXPECT_TRUE(ReadBacking(0, old_size) == old_head);
  ExpectXorrisoReads(0, files);
  ExpectEngineReads(1, files);
}

// The disc image of the next session of a DVD+RW: one track at N without the header, which the
// ROW data carries for block 0. Laid onto the disc as a recorder would, the volume holds every
// file.
TEST_F(AppendSessionTest, DiscImageOfAnOverwritableDiscCarriesTheHeaderForBlockZero) {
  OpenDrive("dvd+rw");
  FileSet files = FirstSession(2);
  HANDLE disc = NewDisc();
  Import(disc, 1);
  const uint32_t next = Media().dwNextWritable;
  const std::string folder = WorkPath("new");
  MakeFiles(folder, 41, 70000);
  AddFolder(disc, folder, "new");
  Collect(folder, "new", &files);
  const std::string path = WorkPath("next.wvm");
  ASSERT_EQ(MST_CreateDiskImage(U16(path).c_str(), disc, nullptr, FALSE), 0u)
      << std::hex << MST_GetLastError(disc);

  std::string why;
  std::shared_ptr<image::DiscImage> opened =
      image::DiscImage::Open(quenvar::platform::Env::Default(), U16(path), &why);
  ASSERT_TRUE(opened) << why;
  EXPECT_EQ(opened->profile(), 0x1A);
  ASSERT_EQ(opened->tracks().size(), 1u);
  const image::TrackEntry& track = opened->tracks()[0];
  EXPECT_EQ(track.start, next);
  uint32_t header_blocks = 0;
  std::vector<uint8_t> header;
  ASSERT_EQ(opened->ReadRowData(&header_blocks, &header), 0u);
  ASSERT_GT(header_blocks, 16u);
  EXPECT_EQ(header_blocks % 16, 0u);

  std::vector<uint8_t> whole = ReadBacking(0, next);
  std::copy(header.begin(), header.begin() + size_t{header_blocks} * 2048, whole.begin());
  std::vector<uint8_t> data(size_t{track.sector_count} * 2048);
  size_t read = 0;
  ASSERT_TRUE(opened->file()->ReadAt(track.data_offset, data.size(), data.data(), &read).ok());
  ASSERT_EQ(read, data.size());
  whole.insert(whole.end(), data.begin(), data.end());
  const std::string laid = WorkPath("laid.iso");
  std::ofstream(laid, std::ios::binary)
      .write(reinterpret_cast<const char*>(whole.data()),
             static_cast<std::streamsize>(whole.size()));
  ExpectXorrisoReads(0, files, laid);
}

// Reads the UDF volume of an image file with libudfread and with 7-Zip's UDF reader (each when
// installed) and compares every file with files.
void ExpectUdfReaders(const std::string& image, const std::string& work, const FileSet& files) {
  std::vector<std::pair<std::string, std::string>> extracted;  // reader, folder
#ifdef QUENVAR_HAVE_UDFREAD
  {
    const std::string out = work + "/udfread";
    fs::remove_all(out);
    udfread* udf = udfread_init();
    ASSERT_NE(udf, nullptr);
    ASSERT_GE(udfread_open(udf, image.c_str()), 0) << "libudfread cannot open the volume";
    std::vector<std::string> folders = {""};
    while (!folders.empty()) {
      const std::string folder = folders.back();
      folders.pop_back();
      fs::create_directories(out + "/" + folder);
      UDFDIR* dir = udfread_opendir(udf, ("/" + folder).c_str());
      ASSERT_NE(dir, nullptr) << folder;
      udfread_dirent entry;
      while (udfread_readdir(dir, &entry)) {
        const std::string name = entry.d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder.empty() ? name : folder + "/" + name;
        if (entry.d_type == UDF_DT_DIR) {
          folders.push_back(path);
          continue;
        }
        UDFFILE* file = udfread_file_open(udf, ("/" + path).c_str());
        ASSERT_NE(file, nullptr) << path;
        std::ofstream copy(out + "/" + path, std::ios::binary);
        std::vector<char> buffer(1 << 16);
        ssize_t n;
        while ((n = udfread_file_read(file, buffer.data(), buffer.size())) > 0)
          copy.write(buffer.data(), n);
        EXPECT_EQ(n, 0) << path;
        udfread_file_close(file);
      }
      udfread_closedir(dir);
    }
    udfread_close(udf);
    extracted.push_back({"libudfread", out});
  }
#endif
  if (std::system("command -v 7z >/dev/null 2>&1") == 0) {
    const std::string out = work + "/7z";
    fs::remove_all(out);
    const std::string command = "7z x -tudf -y -o'" + out + "' '" + image + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    extracted.push_back({"7z", out});
  }
  for (const auto& [reader, out] : extracted) {
    size_t count = 0;
    for (const auto& item : fs::recursive_directory_iterator(out)) count += item.is_regular_file();
    EXPECT_EQ(count, files.size()) << reader;
    for (const auto& [name, bytes] : files) {
      std::ifstream in(out + "/" + name, std::ios::binary);
      ASSERT_TRUE(in.good()) << reader << ": " << name << " missing";
      EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}) == bytes)
          << reader << ": " << name << " differs";
    }
    fs::remove_all(out);
  }
}

// The disc image of a UDF 2.50 session for a DVD+RW: the ROW data carries the descriptors for
// block 0, the track the ISO 9660 area and everything after it from N.
TEST_F(AppendSessionTest, DiscImageOfAUdf250SessionForDvdPlusRw) {
  for (DWORD file_system : {4u, 5u}) {
    SCOPED_TRACE(file_system);
    OpenDrive("dvd+rw");
    FileSet files = FirstSession(2, file_system);
    HANDLE disc = NewDisc();
    Import(disc, 1);
    const uint32_t next = Media().dwNextWritable;
    const std::string folder = WorkPath("new");
    MakeFiles(folder, 43, 90000);
    AddFolder(disc, folder, "new");
    Collect(folder, "new", &files);
    const std::string path = WorkPath("next.wvm");
    ASSERT_EQ(MST_CreateDiskImage(U16(path).c_str(), disc, nullptr, FALSE), 0u)
        << std::hex << MST_GetLastError(disc);

    std::string why;
    std::shared_ptr<image::DiscImage> opened =
        image::DiscImage::Open(quenvar::platform::Env::Default(), U16(path), &why);
    ASSERT_TRUE(opened) << why;
    ASSERT_EQ(opened->tracks().size(), 1u);
    const image::TrackEntry& track = opened->tracks()[0];
    EXPECT_EQ(track.start, next);
    uint32_t header_blocks = 0;
    std::vector<uint8_t> header;
    ASSERT_EQ(opened->ReadRowData(&header_blocks, &header), 0u);
    EXPECT_EQ(header_blocks, 272u);  // the 257 descriptor blocks in whole units of 16
    std::vector<uint8_t> whole = ReadBacking(0, next);
    std::copy(header.begin(), header.begin() + size_t{header_blocks} * 2048, whole.begin());
    std::vector<uint8_t> data(size_t{track.sector_count} * 2048);
    size_t read = 0;
    ASSERT_TRUE(opened->file()->ReadAt(track.data_offset, data.size(), data.data(), &read).ok());
    ASSERT_EQ(read, data.size());
    whole.insert(whole.end(), data.begin(), data.end());
    const std::string laid = WorkPath("laid.img");
    std::ofstream(laid, std::ios::binary)
        .write(reinterpret_cast<const char*>(whole.data()),
               static_cast<std::streamsize>(whole.size()));
    ExpectUdfReaders(laid, WorkPath("read"), files);
    if (file_system & 1) ExpectXorrisoReads(0, files, laid);
    VirtualDriveTest::TearDown();
  }
}

struct UdfAppendCase {
  const char* media;
  DWORD file_system;  // 4 UDF 2.50 alone, 5 with ISO 9660 and Joliet
};
void PrintTo(const UdfAppendCase& c, std::ostream* os) { *os << c.media << " file system " << c.file_system; }
class AppendUdf250Test : public AppendSessionTest,
                         public ::testing::WithParamInterface<UdfAppendCase> {};

// UDF 2.50 on overwritable media: the new session's ISO 9660 area and metadata partition follow
// the old volume, the descriptors up to the anchor at 256 are rewritten at block 0 last, and the
// volume holds old and new files for libudfread, 7-Zip, xorriso and the engine.
TEST_P(AppendUdf250Test, NextSessionReadsBackWithEveryReader) {
  const UdfAppendCase& c = GetParam();
  OpenDrive(c.media);
  FileSet files = FirstSession(2, c.file_system);
  ASSERT_EQ(Media().dwStatus, static_cast<DWORD>(MEDIA_STATUS_APPENDABLE));
  const uint32_t old_size = Media().dwNextWritable;
  const std::vector<uint8_t> old_data = ReadBacking(272, old_size - 272);

  log_->Clear();
  const uint32_t next = NextSession("b", 2, &files);
  EXPECT_EQ(next, old_size);
  // Nothing of the old session behind the rewritten header was touched.
  for (const LoggedCommand& write : log_->Commands(0x2A)) {
    EXPECT_TRUE(write.lba() >= next || write.lba() + write.blocks() <= 272) << write.lba();
  }
  EXPECT_TRUE(ReadBacking(272, old_size - 272) == old_data);
  const uint32_t size = Media().dwNextWritable;
  EXPECT_GT(size, next);

  const std::string image = WorkPath("volume.img");
  const std::vector<uint8_t> volume = ReadBacking(0, size);
  std::ofstream(image, std::ios::binary)
      .write(reinterpret_cast<const char*>(volume.data()),
             static_cast<std::streamsize>(volume.size()));
  ExpectUdfReaders(image, WorkPath("read"), files);
  if (c.file_system & 1) ExpectXorrisoReads(0, files, image);
  ExpectEngineReads(1, files);

  // And once more: a third session behind the second.
  const uint32_t third = NextSession("cc", 2, &files);
  EXPECT_EQ(third, size);
  const std::vector<uint8_t> grown = ReadBacking(0, Media().dwNextWritable);
  std::ofstream(image, std::ios::binary)
      .write(reinterpret_cast<const char*>(grown.data()),
             static_cast<std::streamsize>(grown.size()));
  ExpectUdfReaders(image, WorkPath("read"), files);
  ExpectEngineReads(1, files);
}

INSTANTIATE_TEST_SUITE_P(Media, AppendUdf250Test,
                         ::testing::Values(UdfAppendCase{"dvd+rw", 4}, UdfAppendCase{"dvd+rw", 5},
                                           UdfAppendCase{"dvd-rw", 4}, UdfAppendCase{"dvd-rw", 5}),
                         [](const ::testing::TestParamInfo<UdfAppendCase>& info) {
                           std::string name = info.param.media;
                           for (char& c : name) c = c == '+' ? 'P' : c == '-' ? 'M' : c;
                           return name + (info.param.file_system == 4 ? "Udf250" : "Udf250Bridge");
                         });

// On a DVD+RW the used size, which is also where the next session starts, ends where the volume
// ends: after the last anchor of UDF (its partition ends earlier), after the ISO 9660 volume space
// otherwise; for every file system selection.
TEST_F(AppendSessionTest, UsedSizeOfDvdPlusRwEndsWithTheVolume) {
  for (DWORD file_system = 1; file_system <= 5; ++file_system) {
    SCOPED_TRACE(file_system);
    OpenDrive("dvd+rw");
    FirstSession(2, file_system);
    const _MEDIAINFORMATION info = Media();
    EXPECT_EQ(info.dwUsed, info.dwNextWritable);
    // The last block the session recorded that is not zero: an anchor for UDF, file data else.
    const std::vector<uint8_t> disc = ReadBacking(0, uint64_t{info.dwUsed} + 64);
    size_t last = disc.size() / 2048;
    while (last > 0 && std::all_of(disc.begin() + static_cast<std::ptrdiff_t>((last - 1) * 2048),
                                   disc.begin() + static_cast<std::ptrdiff_t>(last * 2048),
                                   [](uint8_t b) { return b == 0; })) {
      --last;
    }
    EXPECT_EQ(info.dwUsed, last) << "used size and the volume's last recorded block disagree";
    VirtualDriveTest::TearDown();
  }
}

// ---- Boot catalogs across sessions ----

std::string Run(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// The image rows of xorriso's El Torito report of the session at start: "PLATFORM LBA" each.
std::vector<std::string> CatalogRows(const std::string& image, uint32_t start) {
  const std::string report = Run("xorriso -load sbsector " + std::to_string(start) + " -indev stdio:'" +
                                 image + "' -report_el_torito plain");
  std::vector<std::string> rows;
  size_t at = 0;
  while ((at = report.find("El Torito boot img :", at)) != std::string::npos) {
    const size_t end = report.find('\n', at);
    std::vector<std::string> words;
    std::string line = report.substr(at + 20, end - at - 20), word;
    for (char c : line + " ") {
      if (c == ' ') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
    if (words.size() >= 8) rows.push_back(words[1] + " " + words[7]);  // platform, LBA
    at = end;
  }
  return rows;
}

// A stand-in EFI system partition image: a FAT boot sector signature and recognisable bytes.
std::string WriteEspStandIn(const std::string& path) {
  std::string bytes(6 * 2048, 'e');
  bytes[510] = static_cast<char>(0x55);
  bytes[511] = static_cast<char>(0xAA);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// A session appended to a write-once disc without boot images of its own keeps the catalog entries
// of the session it imported: the new catalog names the same image blocks.
TEST_F(AppendSessionTest, NextSessionKeepsTheImportedCatalogEntries) {
  if (std::system("command -v xorriso >/dev/null 2>&1") != 0) GTEST_SKIP() << "xorriso is not installed";
  OpenDrive("dvd-r");
  const std::string folder = WorkPath("one");
  MakeFiles(folder, 5, 100000);
  HANDLE first = NewDisc();
  AddFolder(first, folder, "");
  const std::string bios = WorkPath("bios.img");
  std::ofstream(bios, std::ios::binary) << std::string(2048, 'b');
  ASSERT_EQ(MST_ReadBootImageFile(first, U16(bios).c_str(), 0, 0, 4), 0u);
  ASSERT_EQ(MST_ReadEfiBootImageFile(first, U16(WriteEspStandIn(WorkPath("esp.img"))).c_str()), 0u);
  ASSERT_EQ(MST_WriteDatadisk(drive_, first, 1, nullptr, TRUE, 0), 0u) << std::hex << MST_GetLastError(first);
  const std::vector<std::string> before = CatalogRows(path_, 0);
  ASSERT_EQ(before.size(), 2u);
  EXPECT_EQ(before[0].rfind("BIOS ", 0), 0u) << before[0];
  EXPECT_EQ(before[1].rfind("UEFI ", 0), 0u) << before[1];

  HANDLE second = NewDisc();
  Import(second, SessionCount());
  EXPECT_TRUE(MST_IsEfiBootImage(second));
  EXPECT_FALSE(MST_IsBootImage(second));  // the kept BIOS entry is no boot image of the caller's
  const uint32_t next = Media().dwNextWritable;
  const std::string more = WorkPath("more.txt");
  std::ofstream(more, std::ios::binary) << "second session";
  ASSERT_NE(MST_AddDatadiskFile(second, U16(more).c_str(), u""), INVALID_HANDLE_VALUE);
  ASSERT_EQ(MST_WriteDatadisk(drive_, second, 1, nullptr, TRUE, 0), 0u) << std::hex << MST_GetLastError(second);
  EXPECT_EQ(CatalogRows(path_, next), before);

  // Without the kept entries (deleted by the caller) the next session has no catalog.
  HANDLE third = NewDisc();
  Import(third, SessionCount());
  const uint32_t after = Media().dwNextWritable;
  EXPECT_EQ(MST_DeleteBootImage(third), 0u);
  EXPECT_EQ(MST_DeleteEfiBootImage(third), 0u);
  ASSERT_NE(MST_AddDatadiskFile(third, U16(bios).c_str(), u""), INVALID_HANDLE_VALUE);
  ASSERT_EQ(MST_WriteDatadisk(drive_, third, 2, nullptr, TRUE, 0), 0u) << std::hex << MST_GetLastError(third);
  EXPECT_TRUE(CatalogRows(path_, after).empty());
}

#ifdef QUENVAR_SAMPLE_AREA
// Boots image in an emulated PC (through OVMF when uefi) and waits for the sample boot programs'
// line on the serial port. Returns "" when it came, else what the serial port showed.
std::string BootAndWait(const std::string& image, bool uefi, const std::string& work) {
  const std::string serial = work + (uefi ? "/uefi.serial" : "/bios.serial");
  std::string firmware;
  if (uefi) {
    fs::copy_file("/usr/share/OVMF/OVMF_VARS.fd", work + "/vars.fd", fs::copy_options::overwrite_existing);
    firmware = "-machine q35 -drive if=pflash,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE.fd "
               "-drive if=pflash,format=raw,file=" + work + "/vars.fd ";
  }
  const std::string command =
      "timeout 300 qemu-system-x86_64 " + firmware + "-cdrom '" + image +
      "' -boot d -display none -nodefaults -no-reboot -m 256 -serial file:'" + serial + "' & q=$!; " +
      "for i in $(seq 1 3000); do grep -q 'Quenvar recovery disc' '" + serial +
      "' 2>/dev/null && break; kill -0 $q 2>/dev/null || break; sleep 0.1; done; kill $q 2>/dev/null; wait $q";
  Run(command);
  std::ifstream in(serial, std::ios::binary);
  std::string shown((std::istreambuf_iterator<char>(in)), {});
  return shown.find("Quenvar recovery disc") != std::string::npos ? "" : shown.substr(0, 2000);
}

// A BIOS-bootable DVD+RW gets the EFI image with its second session: the header at block 0 now
// points at the new catalog, and the disc boots through the BIOS and through UEFI.
TEST_F(AppendSessionTest, EfiImageAppendedToABiosDiscBootsBothWays) {
  const std::string area = QUENVAR_SAMPLE_AREA;
  if (std::system("command -v qemu-system-x86_64 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no qemu";
  if (!fs::exists("/usr/share/OVMF/OVMF_CODE.fd")) GTEST_SKIP() << "no OVMF (Debian package ovmf)";
  OpenDrive("dvd+rw");
  HANDLE first = NewDisc();
  AddFolder(first, area + "/tools", "");
  ASSERT_EQ(MST_ReadBootImageFile(first, U16(area + "/boot/boot_program.bin").c_str(), 0, 0, 4), 0u);
  ASSERT_EQ(MST_WriteDatadisk(drive_, first, 2, nullptr, TRUE, 0), 0u) << std::hex << MST_GetLastError(first);
  HANDLE second = NewDisc();
  Import(second, SessionCount());
  EXPECT_FALSE(MST_IsEfiBootImage(second));
  ASSERT_EQ(MST_ReadEfiBootImageFile(second, U16(area + "/boot/efi_boot.img").c_str()), 0u);
  ASSERT_EQ(MST_WriteDatadisk(drive_, second, 2, nullptr, TRUE, 0), 0u) << std::hex << MST_GetLastError(second);
  if (std::system("command -v xorriso >/dev/null 2>&1") == 0) {
    const std::vector<std::string> rows = CatalogRows(path_, 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind("BIOS ", 0), 0u) << rows[0];
    EXPECT_EQ(rows[1].rfind("UEFI ", 0), 0u) << rows[1];
  }
  EXPECT_EQ(BootAndWait(path_, /*uefi=*/true, WorkPath("")), "");
  EXPECT_EQ(BootAndWait(path_, /*uefi=*/false, WorkPath("")), "");
}
#endif

INSTANTIATE_TEST_SUITE_P(Media, AppendOverwritableTest, ::testing::Values("dvd+rw", "dvd-rw"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) c = c == '+' ? 'P' : c == '-' ? 'M' : c;
                           return name;
                         });

}  // namespace
}  // namespace quillden::recording::testing
