// Feeds arbitrary bytes to the disc image reader as a file on disk, through the exported
// functions, then walks everything the image claims to hold. Opening must refuse malformed files
// without crashing, hanging or allocating what the file cannot justify.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/disc_image.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "quillden/image.h"

namespace {

// One scratch file per process, removed at exit.
struct ScratchFile {
  ScratchFile() {
    path = quenvar::platform::Env::Default()->TemporaryDirectory() + "/disc-image-fuzz-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0) std::abort();
    close(fd);
  }
  ~ScratchFile() { unlink(path.c_str()); }
  std::string path;
};

const std::string& InputPath() {
  static ScratchFile file;
  return file.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = InputPath();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  std::u16string wide_path = quenvar::platform::Utf8ToUtf16(path);

  HANDLE image = CPY_OpenDiskImage(wide_path.c_str());
  if (image != nullptr) {
    (void)CPY_GetMediaDiskImage(image);
    (void)CPY_IsAppendDiskImage(image);
    (void)CPY_IsCdTextDiskImage(image);
    (void)CPY_CloseMethodDiskImage(image);
    (void)CPY_IsMiddleAreaExpansionDiskImage(image);
    WORD count = CPY_GetTrackInformation(image, 0, nullptr);
    for (WORD track = 1; track <= count && track != 0; ++track) {
      _TRACKINFORMATION info;
      if (CPY_GetTrackInformation(image, track, &info) != count) std::abort();
    }
    if (CPY_CloseDiskImage(image) != 0) std::abort();
  }

  // The payload readers, which allocate what the blocks announce.
  std::shared_ptr<quillden::image::DiscImage> parsed =
      quillden::image::DiscImage::Open(quenvar::platform::Env::Default(), wide_path);
  if (parsed) {
    std::vector<uint8_t> bytes;
    uint32_t sectors = 0;
    (void)parsed->ReadCdText(&bytes);
    (void)parsed->ReadRowData(&sectors, &bytes);
    if (bytes.size() > size) std::abort();
  }
  return 0;
}
