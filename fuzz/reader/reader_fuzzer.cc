// Feeds arbitrary sessions to the file system reader: recognition, the import into a data disc,
// and the volume exports. No input may crash, hang or leak; an import either succeeds or fails
// with an empty tree.
//
// Input: records of a 2-byte little-endian block number (taken modulo 4096) followed by up to 2048
// bytes of that block, so that mutations act on whole structures of a sparse disc image; blocks
// not named are zero. The UDF anchor lies at 256.
//
// The blocks come from memory: a virtual drive holding a pressed disc of 4096 zero blocks answers
// every command but READ(10), whose data is taken from the input, and PREVENT ALLOW MEDIUM
// REMOVAL, which would make the drive save its state. Nothing is written to a file per input, so
// the fuzzer runs hundreds of inputs a second and reaches the deep branches of the reader.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/mmc_commands.h"
#include "drive/transport.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "filesystems/reader/volume_open.h"
#include "platform/env.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "quillden/volume.h"
#include "util/byte_order.h"

namespace {

using quillden::GetBe16;
using quillden::GetBe32;
using quillden::GetLe32;
using quillden::PutLe32;

constexpr uint32_t kBlock = 2048;
constexpr uint32_t kMaxBlocks = 4096;

// The disc of the current input, block by block; blocks the input names are remembered so that
// the next input starts from zeros without clearing all 8 MiB.
struct MemoryDisc {
  std::vector<uint8_t> blocks = std::vector<uint8_t>(size_t{kMaxBlocks} * kBlock, 0);
  std::vector<uint32_t> written;

  void Load(const uint8_t* data, size_t size) {
    for (uint32_t block : written) std::memset(blocks.data() + size_t{block} * kBlock, 0, kBlock);
    written.clear();
    size_t pos = 0;
    while (pos + 2 <= size) {
      const uint32_t block = (data[pos] | (data[pos + 1] << 8)) % kMaxBlocks;
      pos += 2;
      const size_t n = std::min<size_t>(kBlock, size - pos);
      std::memcpy(blocks.data() + size_t{block} * kBlock, data + pos, n);
      written.push_back(block);
      pos += n;
    }
  }
};

// READ(10) and PREVENT ALLOW MEDIUM REMOVAL answered from memory; every other request goes to the
// virtual drive.
class MemoryReads : public quillden::drive::Transport {
 public:
  MemoryReads(quillden::drive::Transport* device, const MemoryDisc* disc)
      : device_(device), disc_(disc) {}

  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
               uint32_t* returned) override {
    using namespace quillden::drive;
    uint8_t* record = static_cast<uint8_t*>(buffer);
    if (code == kRequestPassThrough && in_size >= kPassThroughDataOffset &&
        out_size >= kPassThroughDataOffset) {
      const uint8_t opcode = record[28];
      const uint32_t length = GetLe32(record + 12);
      if (opcode == 0x28 && record[8] != 0) {
        const uint32_t lba = GetBe32(record + 28 + 2);
        const uint32_t count = GetBe16(record + 28 + 7);
        const uint64_t bytes = uint64_t{count} * kBlock;
        if (uint64_t{lba} + count <= kMaxBlocks && bytes <= length &&
            kPassThroughDataOffset + bytes <= out_size) {
          std::memcpy(record + kPassThroughDataOffset, disc_->blocks.data() + size_t{lba} * kBlock,
                      bytes);
          return Good(record, static_cast<uint32_t>(bytes), returned);
        }
      } else if (opcode == 0x1E) {
        return Good(record, 0, returned);
      }
    }
    return device_->Request(code, buffer, in_size, out_size, returned);
  }

 private:
  static bool Good(uint8_t* record, uint32_t delivered, uint32_t* returned) {
    using namespace quillden::drive;
    std::memset(record + kPassThroughSenseOffset, 0, kPassThroughSenseSize);
    record[2] = 0;
    record[7] = 0;
    PutLe32(record + 12, delivered);
    *returned = kPassThroughDataOffset + delivered;
    return true;
  }

  quillden::drive::Transport* device_;
  const MemoryDisc* disc_;
};

struct State {
  State() {
    std::string folder =
        quenvar::platform::Env::Default()->TemporaryDirectory() + "/reader-fuzz-XXXXXX";
    if (!mkdtemp(folder.data())) std::abort();
    const std::string image = folder + "/zero.iso";
    const std::string backing = folder + "/drive.disc";
    std::vector<uint8_t> zeros(size_t{kMaxBlocks} * kBlock, 0);
    FILE* file = std::fopen(image.c_str(), "wb");
    if (!file || std::fwrite(zeros.data(), 1, zeros.size(), file) != zeros.size() ||
        std::fclose(file) != 0) {
      std::abort();
    }
    std::string error;
    if (!quillden::drive::LoadVirtualImage(backing, image, "dvd-rom", &error)) std::abort();
    device = quillden::drive::OpenVirtualRecorder(backing, "none", &error);
    if (!device) std::abort();
    // Read retries wait between attempts; this drive needs no real time.
    static quillden::drive::ManualDriveClock clock;
    quillden::drive::SetDriveClockForTesting(&clock);
    // The virtual drive has its files open; they go once the process ends.
    std::system(("rm -rf '" + folder + "'").c_str());
  }
  // A new handle on the memory disc (the volume closes the one it gets).
  HANDLE OpenDrive() {
    return quillden::drive::OpenDriveOnTransport(std::make_unique<MemoryReads>(device.get(), &disc),
                                                 'R');
  }
  std::unique_ptr<quillden::drive::Transport> device;
  MemoryDisc disc;
  HANDLE drive = nullptr;
};

State& Shared() {
  static State state;
  return state;
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
  State& state = Shared();
  state.disc.Load(data, size);
  if (!state.drive) state.drive = state.OpenDrive();

  _FILESYSTEMINFORMATION info{};
  DWORD result = DRV_GetFileSystemInformation(state.drive, 1, &info);
  if (result != QD_OK && result != QD_E_UNKNOWN_FILE_SYSTEM) std::abort();
  if (info.szVolumeLabel[32] != 0) std::abort();

  HANDLE disc = MST_CreateDatadisk();
  MST_CreateDatadiskFolder(disc, nullptr, u"BEFORE");
  result = MST_ReadFileSystem(disc, state.drive, 1, nullptr);
  if (result != QD_OK && MST_GetRootDatadiskFile(disc) != nullptr)
    std::abort();  // a failure empties the tree
  if (result != QD_OK && result != QD_E_UNKNOWN_FILE_SYSTEM && result != QD_E_OUT_OF_MEMORY)
    std::abort();
  MST_DestroyDatadisk(disc);

  HANDLE volume = nullptr;
  if (quillden::reader::OpenVolumeOnDrive(state.OpenDrive(), 'R', &volume) == QD_OK) {
    int budget = 200;
    Browse(volume, u"", 0, &budget);
    if (DRV_CloseVolume(volume) != QD_OK) std::abort();
  }
  return 0;
}
