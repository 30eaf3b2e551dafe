// Feeds arbitrary sessions to the file system reader through a virtual drive: recognition, the
// import into a data disc, and the volume exports. No input may crash, hang or leak; an import
// either succeeds or fails with an empty tree.
//
// Input: records of a 2-byte little-endian block number (taken modulo 4096) followed by up to 2048
// bytes of that block, so that mutations act on whole structures of a sparse disc image; blocks
// not named are zero. The image has at least 300 blocks (the UDF anchor lies at 256).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "datadisk/datadisk.h"
#include "drive/drive_handle.h"
#include "drive/mmc_commands.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "platform/drive_map.h"
#include "platform/env.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "quillden/volume.h"

namespace {

constexpr uint32_t kBlock = 2048;
constexpr uint32_t kMaxBlocks = 4096;

struct Scratch {
  Scratch() {
    folder = quenvar::platform::Env::Default()->TemporaryDirectory() + "/reader-fuzz-XXXXXX";
    if (!mkdtemp(folder.data())) std::abort();
    image = folder + "/session.iso";
    backing = folder + "/drive.disc";
    setenv("QUENVAR_DRIVES", ("R=virtual:dvd+r:" + backing).c_str(), 1);
    quenvar::platform::DriveMap::Reload();
    // Read retries wait between attempts; the fuzzer's drive needs no real time.
    static quillden::drive::ManualDriveClock clock;
    quillden::drive::SetDriveClockForTesting(&clock);
  }
  ~Scratch() {
    if (drive) DRV_CloseDrive(drive);
    std::system(("rm -rf '" + folder + "'").c_str());
  }
  std::string folder, image, backing;
  HANDLE drive = nullptr;
};

Scratch& State() {
  static Scratch scratch;
  return scratch;
}

bool WriteImage(const uint8_t* data, size_t size, const std::string& path) {
  std::vector<uint8_t> image(300 * kBlock, 0);
  size_t pos = 0;
  while (pos + 2 <= size) {
    const uint32_t block = (data[pos] | (data[pos + 1] << 8)) % kMaxBlocks;
    pos += 2;
    const size_t n = std::min<size_t>(kBlock, size - pos);
    if (image.size() < (size_t{block} + 1) * kBlock) image.resize((size_t{block} + 1) * kBlock, 0);
    std::copy(data + pos, data + pos + n, image.begin() + size_t{block} * kBlock);
    pos += n;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
  close(fd);
  return ok;
}

// Lists a folder of the volume and reads the first bytes of each file, a bounded number of times.
void Browse(HANDLE volume, const std::u16string& path, int depth, int* budget) {
  if (depth > 8) return;
  for (DWORD index = 0; *budget > 0; ++index, --*budget) {
    WIN32_FIND_DATAW data{};
    if (DRV_FindVolumeFile(volume, path.c_str(), index, &data) != QD_OK) return;
    std::u16string child = path + u"\\" + data.cFileName;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      Browse(volume, child, depth + 1, budget);
    } else {
      uint8_t buffer[4096];
      DWORD read = 0;
      DRV_ReadVolumeFile(volume, child.c_str(), 0, buffer, sizeof buffer, &read);
      if (read > sizeof buffer) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scratch& state = State();
  if (!WriteImage(data, size, state.image)) std::abort();
  std::string error;
  if (!quillden::drive::LoadVirtualImage(state.backing, state.image, "dvd-rom", &error)) std::abort();
  if (!state.drive) {
    auto transport = quillden::drive::OpenVirtualRecorder(state.backing, "none", &error);
    if (!transport) std::abort();
    state.drive = quillden::drive::OpenDriveOnTransport(std::move(transport), 'R');
  }

  _FILESYSTEMINFORMATION info{};
  DWORD result = DRV_GetFileSystemInformation(state.drive, 1, &info);
  if (result != QD_OK && result != QD_E_UNKNOWN_FILE_SYSTEM) std::abort();
  if (info.szVolumeLabel[32] != 0) std::abort();

  HANDLE disc = MST_CreateDatadisk();
  MST_CreateDatadiskFolder(disc, nullptr, u"BEFORE");
  result = MST_ReadFileSystem(disc, state.drive, 1, nullptr);
  if (result != QD_OK && MST_GetRootDatadiskFile(disc) != nullptr) std::abort();  // a failure empties the tree
  if (result != QD_OK && result != QD_E_UNKNOWN_FILE_SYSTEM && result != QD_E_OUT_OF_MEMORY) std::abort();
  MST_DestroyDatadisk(disc);

  HANDLE volume = nullptr;
  if (DRV_OpenVolume(18, &volume) == QD_OK) {
    int budget = 200;
    Browse(volume, u"", 0, &budget);
    if (DRV_CloseVolume(volume) != QD_OK) std::abort();
  }
  return 0;
}
