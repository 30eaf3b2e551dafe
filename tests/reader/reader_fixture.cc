#include "reader_fixture.h"

#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "datadisk/datadisk.h"
#include "drive/drive_handle.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "drive/virtual/virtual_test_util.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"

namespace quillden::reader::testing {

namespace vt = quillden::drive::testing;

std::vector<uint8_t> ReadImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteImage(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::map<std::string, Reported> XorrisoFiles(const std::string& image) {
  std::string out;
  Shell("xorriso -abort_on NEVER -indev stdio:" + Quote(image) + " -find / -type f -exec report_lba --", &out);
  std::map<std::string, Reported> files;
  // "File data lba:  0 ,       34 ,        1 ,        6 , '/README.TXT'"
  const std::string prefix = "File data lba:";
  std::istringstream lines(out);
  std::string text;
  while (std::getline(lines, text)) {
    if (text.compare(0, prefix.size(), prefix) != 0) continue;
    std::vector<std::string> fields;
    size_t pos = prefix.size();
    for (int i = 0; i < 4; ++i) {
      size_t comma = text.find(',', pos);
      if (comma == std::string::npos) break;
      fields.push_back(text.substr(pos, comma - pos));
      pos = comma + 1;
    }
    size_t open = text.find("'/", pos);
    if (fields.size() != 4 || open == std::string::npos || text.back() != '\'') continue;
    std::string path = text.substr(open + 2, text.size() - open - 3);
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    Reported& r = files[path];
    if (r.extents == 0) r.lba = static_cast<uint32_t>(std::stoul(fields[1]));
    r.size += std::stoull(fields[3]);
    ++r.extents;
  }
  return files;
}

void ReaderTest::TearDown() {
  for (HANDLE disc : discs_) MST_DestroyDatadisk(disc);
  for (HANDLE drive : drives_) DRV_CloseDrive(drive);
}

HANDLE ReaderTest::NewDisc() {
  HANDLE disc = MST_CreateDatadisk();
  discs_.push_back(disc);
  return disc;
}

void ReaderTest::Source(const std::string& relative, const std::string& content, int64_t mtime) {
  std::string path = Path(relative);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
  struct timeval times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  utimes(path.c_str(), times);
}

HANDLE ReaderTest::Press(const std::string& image, const std::string& kind) {
  std::string backing = Path("drive" + std::to_string(backing_counter_++) + ".disc");
  std::string error;
  EXPECT_TRUE(drive::LoadVirtualImage(backing, image, kind, &error)) << error;
  auto transport = drive::OpenVirtualRecorder(backing, "none", &error);
  EXPECT_TRUE(transport) << error;
  if (!transport) return nullptr;
  HANDLE drive = drive::OpenDriveOnTransport(std::move(transport), 'V');
  drives_.push_back(drive);
  return drive;
}

namespace {

// Writes image as one track at start (track at once, next session allowed) and closes the session.
bool WriteSession(drive::Transport* transport, const std::string& image, uint32_t start, uint16_t track) {
  std::vector<uint8_t> data = ReadImage(image);
  data.resize((data.size() + 2047) / 2048 * 2048);
  if (!vt::SelectWritePage(transport, 1, 3, 4, 8).ok()) return false;
  const uint32_t blocks = static_cast<uint32_t>(data.size() / 2048);
  for (uint32_t i = 0; i < blocks; i += 32) {
    const uint32_t lba = start + i;
    const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(32, blocks - i));
    std::vector<uint8_t> chunk(data.begin() + size_t{i} * 2048, data.begin() + size_t{i + n} * 2048);
    vt::Reply reply = vt::SendOut(transport, {0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8),
                                              uint8_t(lba), 0, uint8_t(n >> 8), uint8_t(n), 0},
                                  chunk);
    if (!reply.ok()) return false;
  }
  return vt::Close(transport, 1, track).ok() && vt::Close(transport, 2, 0).ok();
}

}  // namespace

HANDLE ReaderTest::RecordOnCdR(const std::string& image) {
  recorded_backing_ = Path("drive" + std::to_string(backing_counter_++) + ".disc");
  std::string error;
  auto transport = drive::OpenVirtualRecorder(recorded_backing_, "cd-r", &error);
  EXPECT_TRUE(transport) << error;
  if (!transport) return nullptr;
  EXPECT_TRUE(WriteSession(transport.get(), image, 0, 1));
  HANDLE drive = drive::OpenDriveOnTransport(std::move(transport), 'V');
  drives_.push_back(drive);
  return drive;
}

bool ReaderTest::AppendSession(const std::string& image, uint32_t start) {
  std::string error;
  auto transport = drive::OpenVirtualRecorder(recorded_backing_, "cd-r", &error);
  return transport && WriteSession(transport.get(), image, start, 2);
}

std::map<std::string, Imported> ReaderTest::Tree(HANDLE disc) {
  std::map<std::string, Imported> tree;
  auto owner = Datadisk::FromHandle(disc);
  if (!owner) return tree;
  WalkTree(*owner, nullptr, [&](DatadiskEntry* e) {
    Imported& i = tree[quenvar::platform::Utf16ToUtf8(e->DiscPath())];
    i.attributes = e->attributes();
    i.size = e->file_size();
    i.location = e->location;
    i.length = e->length;
    i.second_location = e->second_location;
    i.second_length = e->second_length;
    i.last_write = (uint64_t{e->last_write_time.dwHighDateTime} << 32) |
                   e->last_write_time.dwLowDateTime;
    return true;
  });
  return tree;
}

}  // namespace quillden::reader::testing
