// Records arbitrary disc image files onto a fresh virtual recorder and compares the result: the
// path a user takes with an image file from anywhere. A damaged or hostile file must end in a
// clear result code, never a crash, a hang, an allocation the file cannot justify or a leak.
//
// Input: one selector byte, then the disc image file. Selector bits 0-1 pick the blank media
// (CD-R, DVD-R, DVD+RW, DVD+R), bits 2-3 the write mode (0 and 3 both mean disc at once); with
// bit 4 set the total size in the HEADER block is made to match the file, so that mutations which
// change the length still reach the recording. The virtual disc is small, so a recording is
// bounded whatever the image claims.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "blank_disc.h"
#include "drive/mmc_commands.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "util/byte_order.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/result.h"

namespace {

constexpr size_t kTotalSizeField = 32 + 24;  // in the HEADER block, after the signature block

struct Media {
  const char* kind;
  DWORD flag;
};
constexpr Media kMedia[4] = {
    {"cd-r", MEDIA_CDR}, {"dvd-r", MEDIA_DVDR}, {"dvd+rw", MEDIA_DVDPRW}, {"dvd+r", MEDIA_DVDPR}};

struct Scratch {
  Scratch() {
    folder = quenvar::platform::Env::Default()->TemporaryDirectory() + "/copy-fuzz-XXXXXX";
    if (!mkdtemp(folder.data())) std::abort();
    image = folder + "/input.wvm";
    backing = folder + "/drive.disc";
    // Waits of the drive layer (retries, closing) take no real time here.
    static quillden::drive::ManualDriveClock clock;
    quillden::drive::SetDriveClockForTesting(&clock);
  }
  ~Scratch() { std::system(("rm -rf '" + folder + "'").c_str()); }
  std::string folder, image, backing;
};

Scratch& State() {
  static Scratch scratch;
  return scratch;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Scratch& state = State();
  const Media& media = kMedia[data[0] & 3];
  const DWORD write_mode = (data[0] >> 2) & 3 ? (data[0] >> 2) & 3 : 3;
  std::vector<uint8_t> file(data + 1, data + size);
  if ((data[0] & 0x10) && file.size() >= kTotalSizeField + 8) {
    quillden::PutLe64(file.data() + kTotalSizeField, file.size());
  }
  if (!WriteFile(state.image, file.data(), file.size())) std::abort();

  const std::u16string path = quenvar::platform::Utf8ToUtf16(state.image);
  HANDLE image = CPY_OpenDiskImage(path.c_str());
  if (image == nullptr) return 0;

  for (const Media& target : kMedia) {
    for (DWORD mode = 0; mode <= 4; ++mode) {
      const DWORD status = CPY_GetCopyableStatusFileToDrive(image, target.flag, mode);
      if (status != 0 && status != 1 && status != 2 && status != 4 && status != 6) std::abort();
      if ((mode == 0 || mode == 4) && status != 0) std::abort();
    }
  }

  std::string error;
  HANDLE drive = quenvar::fuzz::OpenBlankDisc(state.backing, media.kind, &error);
  if (!drive) std::abort();
  const DWORD written = CPY_WriteDiskImage(drive, image, write_mode, nullptr, 4);
  if (written == QD_OK) {
    // What was just recorded from the image must read back as the image.
    const DWORD compared = CPY_CompareDiskImage(drive, image, nullptr);
    if (compared == QD_E_INVALID_HANDLE || compared == QD_E_INVALID_ARGUMENT) std::abort();
  } else {
    if (written == QD_E_INVALID_HANDLE) std::abort();
    // A refused or failed recording still leaves a drive the compare must handle.
    (void)CPY_CompareDiskImage(drive, image, nullptr);
  }
  if (DRV_CloseDrive(drive) != QD_OK) std::abort();
  if (CPY_CloseDiskImage(image) != QD_OK) std::abort();
  return 0;
}
