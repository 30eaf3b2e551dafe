// quillden cat X: PATH — a file of a disc, read back through the engine's own reader, on stdout.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "quillden/util.h"
#include "quillden/volume.h"
#include "volume_arg.h"

namespace quillden::tool {
namespace {

constexpr DWORD kChunk = 1u << 20;

int RunCat(int argc, char** argv) {
  if (argc != 3 || !IsDriveArgument(argv[1])) {
    std::fputs("usage: quillden cat X: PATH\n", stderr);
    return 2;
  }
  HANDLE volume = nullptr;
  if (!OpenVolumeArgument(argv[1], &volume)) return 1;
  const std::u16string path = quenvar::platform::Utf8ToUtf16(argv[2]);
  std::vector<unsigned char> buffer(kChunk);
  uint64_t offset = 0;
  int status = 0;
  for (;;) {
    DWORD read = 0;
    DWORD result = DRV_ReadVolumeFile(volume, path.c_str(), offset, buffer.data(), kChunk, &read);
    if (result != QD_OK) {
      std::fprintf(stderr, "quillden: %s: 0x%08X %s\n", argv[2], result, UTL_GetResultText(result));
      status = 1;
      break;
    }
    if (read == 0) break;
    if (std::fwrite(buffer.data(), 1, read, stdout) != read) {
      status = 1;
      break;
    }
    offset += read;
  }
  DRV_CloseVolume(volume);
  return status;
}

}  // namespace

QUILLDEN_COMMAND("cat", "cat X: PATH", "write a file of a disc to standard output", RunCat);

}  // namespace quillden::tool
