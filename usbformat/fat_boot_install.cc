// fat_boot_install: puts the BIOS boot path of FAT32 USB media onto a disk or disk image.
//   fat_boot_install [--mbr] [--offset BYTES] [--loader NAME] PATH
// --mbr writes the master boot record's program (keeping the partition table); the volume boot
// program goes into the FAT32 boot sector at byte BYTES of PATH (0 unless given) and its backup,
// starting NAME (an 8.3 name, QVBOOT.BIN unless given); the volume's hidden sectors must agree
// with BYTES. Exit status 0 when everything was written and read back, 1 when not (one line on
// standard error says why), 2 for a bad command line.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fat_boot.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: fat_boot_install [--mbr] [--offset BYTES] [--loader NAME] PATH\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quenvar::usbformat;
  bool master_boot_record = false;
  unsigned long long offset = 0;
  std::string loader = kFatBootLoader;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mbr") == 0) {
      master_boot_record = true;
    } else if (std::strcmp(argv[i], "--offset") == 0 && i + 1 < argc) {
      char* end = nullptr;
      offset = std::strtoull(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0') return Usage();
    } else if (std::strcmp(argv[i], "--loader") == 0 && i + 1 < argc) {
      loader = argv[++i];
    } else if (path == nullptr && argv[i][0] != '-') {
      path = argv[i];
    } else {
      return Usage();
    }
  }
  if (path == nullptr) return Usage();
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "fat_boot_install: %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  int status = 0;
  if (master_boot_record && !WriteMasterBootCode(fd)) {
    std::fprintf(stderr, "fat_boot_install: %s: the master boot record could not be written\n",
                 path);
    status = 1;
  }
  // The program finds its volume through the hidden-sectors field alone; mkfs.fat writes 0 there
  // for a volume at an offset of an image unless told (-h).
  unsigned char bpb[0x20];
  if (status == 0 && offset > 0 && pread(fd, bpb, sizeof bpb, static_cast<off_t>(offset)) == 0x20) {
    const unsigned long long bytes_per_sector = bpb[0x0B] | (bpb[0x0C] << 8);
    const unsigned long long hidden = bpb[0x1C] | (bpb[0x1D] << 8) | (bpb[0x1E] << 16) |
                                      (static_cast<unsigned long long>(bpb[0x1F]) << 24);
    if (hidden * bytes_per_sector != offset) {
      std::fprintf(stderr,
                   "fat_boot_install: %s: the volume's hidden sectors (%llu) do not place it at "
                   "byte %llu\n",
                   path, hidden, offset);
      status = 1;
    }
  }
  if (status == 0) {
    const FatBootResult result = InstallFatBootProgram(fd, offset, loader);
    if (result != FatBootResult::kInstalled) {
      std::fprintf(stderr, "fat_boot_install: %s: %s\n", path, FatBootResultText(result));
      status = 1;
    }
  }
  if (close(fd) != 0 && status == 0) {
    std::fprintf(stderr, "fat_boot_install: %s: %s\n", path, std::strerror(errno));
    status = 1;
  }
  return status;
}
