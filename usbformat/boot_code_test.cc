// Boots a disk image carrying the boot record in an emulator (when one is installed): the program
// must find the active partition, load its first sector and jump to it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mbr.h"
#include "platform/temp_dir.h"

namespace quenvar::usbformat {
namespace {

// A partition boot sector that writes "BOOTED\n" to the first serial port and ends the emulator
// through its debug-exit port with code (0x10 << 1) | 1.
constexpr uint8_t kSerialHello[] = {
    0xba, 0xf8, 0x03, 0xbe, 0x17, 0x7c, 0xac, 0x84, 0xc0, 0x74, 0x03, 0xee, 0xeb, 0xf8, 0xba, 0xf4,
    0x00, 0xb0, 0x10, 0xee, 0xf4, 0xeb, 0xfd, 'B',  'O',  'O',  'T',  'E',  'D',  '\n', 0x00};

TEST(BootCode, LoadsAndStartsTheActivePartition) {
  if (system("command -v qemu-system-x86_64 >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "qemu-system-x86_64 is not installed";
  }
  platform::ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  DiskGeometry g{16, 63, 512, 8ull << 20};
  // The active entry in the third slot: the program must not assume the first.
  auto mbr = BuildMasterBootRecord(g, FileSystem::kFat32, 2);
  std::vector<uint8_t> image(g.disk_size, 0);
  std::copy(mbr.begin(), mbr.end(), image.begin());
  uint8_t* boot = image.data() + 63 * 512;
  std::copy(std::begin(kSerialHello), std::end(kSerialHello), boot);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  std::string disk = dir.Child("disk.img");
  std::ofstream(disk, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), image.size());
  std::string serial = dir.Child("serial.txt");
  std::string command = "timeout 60 qemu-system-x86_64 -drive file=" + disk +
                        ",format=raw,if=ide -display none -serial file:" + serial +
                        " -no-reboot -nodefaults -device isa-debug-exit,iobase=0xf4,iosize=0x04 "
                        ">/dev/null 2>&1";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0x21);
  std::ifstream in(serial);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "BOOTED\n");
}

}  // namespace
}  // namespace quenvar::usbformat
