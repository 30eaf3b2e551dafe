#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "datadisk/datadisk.h"
#include "datadisk/mastering/test_util.h"
#include "platform/drive_map.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

using testing::DiscHolder;
using testing::ReadAll;
using testing::ScratchFolder;
using testing::U16;

TEST(BootImageTest, FloppySizesAreChecked) {
  ScratchFolder folder;
  DiscHolder disc;
  std::string exact = folder.Write("f144.img", std::string(1474560, 'f'));
  std::string over = folder.Write("f144x.img", std::string(1474561, 'f'));
  EXPECT_EQ(MST_ReadBootImageFile(disc.get(), U16(over).c_str(), 2, 0, 1), QD_E_NO_BOOT_IMAGE);
  EXPECT_FALSE(MST_IsBootImage(disc.get()));
  EXPECT_EQ(MST_GetLastError(disc.get()), QD_E_NO_BOOT_IMAGE);
  EXPECT_EQ(MST_ReadBootImageFile(disc.get(), U16(exact).c_str(), 1, 0, 1), QD_E_NO_BOOT_IMAGE);
  EXPECT_EQ(MST_ReadBootImageFile(disc.get(), U16(exact).c_str(), 5, 0, 1), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_ReadBootImageFile(disc.get(), U16(folder / "none.img").c_str(), 0, 0, 4),
            QD_E_FILE_OPEN);
  EXPECT_EQ(MST_ReadBootImageFile(disc.get(), u"", 0, 0, 4), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_ReadBootImageFile(disc.get(), U16(folder.Write("empty.img", "")).c_str(), 0, 0, 4),
            QD_E_NO_BOOT_IMAGE);
  EXPECT_EQ(MST_ReadBootImageFile(disc.get(), U16(exact).c_str(), 2, 0, 1), QD_OK);
  EXPECT_TRUE(MST_IsBootImage(disc.get()));
  EXPECT_FALSE(MST_IsBootImageFile(disc.get()));
  EXPECT_EQ(MST_ReadBootImageFile(disc.get(), U16(exact).c_str(), 2, 0, 1), QD_E_BOOT_IMAGE_SET);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  EXPECT_EQ(d->boot_image->emulation, 2);
  EXPECT_EQ(d->boot_image->size, 1474560u);
  EXPECT_EQ(MST_DeleteBootImage(disc.get()), QD_OK);
  EXPECT_FALSE(MST_IsBootImage(disc.get()));
  EXPECT_EQ(MST_DeleteBootImage(disc.get()), QD_OK);
  EXPECT_FALSE(MST_IsBootImage(nullptr));
  EXPECT_EQ(MST_DeleteBootImage(nullptr), QD_E_INVALID_HANDLE);
}

TEST(BootImageTest, EntryInTheTree) {
  ScratchFolder folder;
  DiscHolder disc;
  EXPECT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"boot\\boot.img"), QD_E_NO_BOOT_IMAGE);
  std::string image = folder.Write("boot.img", std::string(4096, 'b'));
  ASSERT_EQ(MST_ReadBootImageFile(disc.get(), U16(image).c_str(), 0, 0x7C0, 4), QD_OK);
  EXPECT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"boot\\bo?t.img"), QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_CreateBootImageFileEntry(disc.get(), u""), QD_E_INVALID_ARGUMENT);
  ASSERT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"boot\\boot.img"), QD_OK);
  EXPECT_TRUE(MST_IsBootImageFile(disc.get()));
  EXPECT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"other.img"), QD_E_EXISTS);
  WIN32_FIND_DATAW find{};
  HANDLE entry = MST_FindFullPathDatadiskFile(disc.get(), u"boot\\boot.img", &find);
  ASSERT_NE(entry, INVALID_HANDLE_VALUE);
  EXPECT_EQ(find.dwFileAttributes, 0x01000080u);
  EXPECT_EQ(find.nFileSizeLow, 4096u);
  EXPECT_EQ(MST_GetNumberOfWriteFile(disc.get()), 0u);
  // Deleting the entry through the tree removes the image too.
  ASSERT_EQ(MST_DeleteDatadiskFile(disc.get(), entry), QD_OK);
  EXPECT_FALSE(MST_IsBootImage(disc.get()));

  // A name the folder already holds is refused and the image keeps no entry.
  ASSERT_EQ(MST_ReadBootImageFile(disc.get(), U16(image).c_str(), 0, 0, 4), QD_OK);
  ASSERT_NE(disc.Add(folder.Write("taken.img", "t")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"TAKEN.IMG"), QD_E_EXISTS);
  EXPECT_FALSE(MST_IsBootImageFile(disc.get()));
  // A folder of the path that is a file.
  EXPECT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"taken.img\\x.img"), QD_E_EXISTS);
  ASSERT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"x.img"), QD_OK);
  EXPECT_EQ(MST_DeleteBootImage(disc.get()), QD_OK);
  EXPECT_EQ(MST_FindFullPathDatadiskFile(disc.get(), u"x.img", nullptr), INVALID_HANDLE_VALUE);
}

TEST(BootImageTest, WriteBackToAFile) {
  ScratchFolder folder;
  DiscHolder disc;
  EXPECT_EQ(MST_CreateBootImageFile(disc.get(), U16(folder / "b.img").c_str()), QD_E_NO_BOOT_IMAGE);
  std::string content(3000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  ASSERT_EQ(MST_ReadBootImageFile(disc.get(), U16(folder.Write("in.img", content)).c_str(), 4, 0, 1),
            QD_OK);
  MST_SetLastError(disc.get(), QD_E_EXISTS);
  ASSERT_EQ(MST_CreateBootImageFile(disc.get(), U16(folder / "b.img").c_str()), QD_OK);
  EXPECT_EQ(MST_GetLastError(disc.get()), QD_OK);  // the result is stored, success included
  EXPECT_EQ(ReadAll(folder / "b.img"), content);
  EXPECT_EQ(MST_CreateBootImageFile(disc.get(), U16(folder / "b|.img").c_str()), QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_CreateBootImageFile(disc.get(), U16(folder / "no/dir/b.img").c_str()),
            QD_E_FILE_OPEN);
  EXPECT_EQ(MST_GetLastError(disc.get()), QD_E_FILE_OPEN);
}

TEST(BootImageTest, FromAFixedDiskOfTheDriveMap) {
  ScratchFolder folder;
  std::string disk = folder.Write("disk.img", std::string(512 * 63 * 2, 'h'));
  setenv("QUENVAR_DRIVES", ("F=fixed:" + disk + ";G=usb:/dev/null").c_str(), 1);
  quenvar::platform::DriveMap::Reload();
  DiscHolder disc;
  EXPECT_EQ(MST_ReadBootImageDrive(disc.get(), nullptr, 0, 0, 1), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_ReadBootImageDrive(disc.get(), nullptr, 27, 0, 1), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_ReadBootImageDrive(disc.get(), nullptr, 7, 0, 1), QD_E_MEDIA_UNSUPPORTED);
  EXPECT_EQ(MST_ReadBootImageDrive(disc.get(), nullptr, 8, 0, 1), QD_E_FLOPPY_GEOMETRY);

  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(MST_ReadBootImageDrive(disc.get(), progress, 6, 0, 1), QD_OK);
  DWORD phase = 0, done = 0, end = 0, status = PRG_STATUS_RUNNING;
  for (int i = 0; i < 500 && status == PRG_STATUS_RUNNING; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    status = PRG_GetProgressStatus(progress, &phase, &done, &end);
  }
  EXPECT_EQ(status, PRG_STATUS_SUCCEEDED);
  EXPECT_EQ(phase, PRG_PHASE_READING_BOOT);
  EXPECT_EQ(end, 126u);
  EXPECT_EQ(done, 126u);
  PRG_DestroyProgress(progress);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  ASSERT_TRUE(d->boot_image);
  EXPECT_EQ(d->boot_image->emulation, 4);
  EXPECT_EQ(d->boot_image->size, 512u * 126);
  EXPECT_EQ(MST_ReadBootImageDrive(disc.get(), nullptr, 6, 0, 1), QD_E_BOOT_IMAGE_SET);
  unsetenv("QUENVAR_DRIVES");
  quenvar::platform::DriveMap::Reload();
}

// A stand-in EFI system partition image: size bytes with the boot sector signature.
std::string EspImage(size_t size, char fill) {
  std::string image(size, fill);
  image[510] = static_cast<char>(0x55);
  image[511] = static_cast<char>(0xAA);
  return image;
}

TEST(BootImageTest, EfiImageIsCheckedAndKeptApartFromTheBootImage) {
  ScratchFolder folder;
  DiscHolder disc;
  std::string esp = folder.Write("esp.img", EspImage(1474560, 'e'));
  std::string unsigned_image = folder.Write("plain.img", std::string(4096, 'p'));
  std::string tiny = folder.Write("tiny.img", std::string(511, 't'));
  std::string largest = folder.Write("largest.img", EspImage(65535 * 512, 'l'));
  std::string too_large = folder.Write("large.img", EspImage(65535 * 512 + 1, 'l'));
  EXPECT_EQ(MST_ReadEfiBootImageFile(nullptr, U16(esp).c_str()), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_ReadEfiBootImageFile(disc.get(), nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_ReadEfiBootImageFile(disc.get(), u""), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_ReadEfiBootImageFile(disc.get(), U16(folder / "none.img").c_str()), QD_E_FILE_OPEN);
  EXPECT_EQ(MST_ReadEfiBootImageFile(disc.get(), U16(unsigned_image).c_str()), QD_E_NO_BOOT_IMAGE);
  EXPECT_EQ(MST_ReadEfiBootImageFile(disc.get(), U16(tiny).c_str()), QD_E_NO_BOOT_IMAGE);
  EXPECT_EQ(MST_ReadEfiBootImageFile(disc.get(), U16(too_large).c_str()), QD_E_NO_BOOT_IMAGE);
  EXPECT_EQ(MST_GetLastError(disc.get()), QD_E_NO_BOOT_IMAGE);
  EXPECT_FALSE(MST_IsEfiBootImage(disc.get()));

  ASSERT_EQ(MST_ReadEfiBootImageFile(disc.get(), U16(largest).c_str()), QD_OK);
  EXPECT_EQ(Datadisk::FromHandle(disc.get())->efi_image->sector_count, 65535);
  EXPECT_EQ(MST_DeleteEfiBootImage(disc.get()), QD_OK);
  ASSERT_EQ(MST_ReadEfiBootImageFile(disc.get(), U16(esp).c_str()), QD_OK);
  EXPECT_TRUE(MST_IsEfiBootImage(disc.get()));
  EXPECT_EQ(MST_ReadEfiBootImageFile(disc.get(), U16(esp).c_str()), QD_E_BOOT_IMAGE_SET);
  // The EFI image is not the boot image: the boot image exports do not see it.
  EXPECT_FALSE(MST_IsBootImage(disc.get()));
  EXPECT_EQ(MST_CreateBootImageFileEntry(disc.get(), u"efi.img"), QD_E_NO_BOOT_IMAGE);
  std::string bios = folder.Write("bios.img", std::string(2048, 'b'));
  ASSERT_EQ(MST_ReadBootImageFile(disc.get(), U16(bios).c_str(), 0, 0, 4), QD_OK);
  EXPECT_EQ(MST_DeleteBootImage(disc.get()), QD_OK);
  EXPECT_TRUE(MST_IsEfiBootImage(disc.get()));
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  EXPECT_EQ(d->efi_image->size, 1474560u);
  EXPECT_EQ(d->efi_image->sector_count, 2880);
  EXPECT_EQ(d->efi_image->emulation, 0);
  EXPECT_EQ(MST_DeleteEfiBootImage(disc.get()), QD_OK);
  EXPECT_FALSE(MST_IsEfiBootImage(disc.get()));
  EXPECT_EQ(MST_DeleteEfiBootImage(disc.get()), QD_OK);
  EXPECT_EQ(MST_DeleteEfiBootImage(nullptr), QD_E_INVALID_HANDLE);
  EXPECT_FALSE(MST_IsEfiBootImage(nullptr));
}

// The images follow the catalog in the image file, the BIOS image first, and the catalog names
// both; an EFI-only disc has the EFI image right after the catalog.
TEST(BootImageTest, ImageFilePlacesTheEfiImageAfterTheBootImage) {
  ScratchFolder folder;
  std::string bios_bytes(3000, 'b');
  std::string esp_bytes = EspImage(5 * 2048 + 100, 'e');
  std::string bios = folder.Write("bios.img", bios_bytes);
  std::string esp = folder.Write("esp.img", esp_bytes);
  std::string file = folder.Write("data.txt", "data");
  for (bool with_bios : {true, false}) {
    SCOPED_TRACE(with_bios ? "BIOS and EFI" : "EFI only");
    DiscHolder disc;
    ASSERT_NE(disc.Add(file), INVALID_HANDLE_VALUE);
    if (with_bios) {
      ASSERT_EQ(MST_ReadBootImageFile(disc.get(), U16(bios).c_str(), 0, 0, 4), QD_OK);
    }
    ASSERT_EQ(MST_ReadEfiBootImageFile(disc.get(), U16(esp).c_str()), QD_OK);
    std::string iso = folder / "disc.iso";
    ASSERT_EQ(MST_CreateISOImage(U16(iso).c_str(), disc.get(), nullptr, TRUE), QD_OK);
    std::string image = ReadAll(iso);
    auto le32 = [&image](size_t at) {
      return static_cast<uint32_t>(
          static_cast<uint8_t>(image[at]) | static_cast<uint8_t>(image[at + 1]) << 8 |
          static_cast<uint8_t>(image[at + 2]) << 16 |
          static_cast<uint32_t>(static_cast<uint8_t>(image[at + 3])) << 24);
    };
    ASSERT_EQ(image.compare(17 * 2048 + 1, 5, "CD001"), 0);
    const uint32_t catalog = le32(17 * 2048 + 71);
    const size_t c = size_t{catalog} * 2048;
    const uint32_t efi_entry = with_bios ? 96 : 32;
    EXPECT_EQ(static_cast<uint8_t>(image[c + 1]), with_bios ? 0x00 : 0xEF);
    const uint32_t efi_block = le32(c + efi_entry + 8);
    EXPECT_EQ(efi_block, catalog + (with_bios ? 3 : 1));  // 3000 bytes of BIOS image: 2 blocks
    EXPECT_EQ(static_cast<uint8_t>(image[c + efi_entry + 6]), (esp_bytes.size() + 511) / 512);
    EXPECT_TRUE(image.substr(size_t{efi_block} * 2048, esp_bytes.size()) == esp_bytes);
    if (with_bios) {
      EXPECT_EQ(static_cast<uint8_t>(image[c + 64]), 0x91);
      EXPECT_EQ(static_cast<uint8_t>(image[c + 65]), 0xEF);
      EXPECT_EQ(le32(c + 40), catalog + 1);
      EXPECT_TRUE(image.substr(size_t{catalog + 1} * 2048, bios_bytes.size()) == bios_bytes);
    }
    // The file follows the EFI image (6 blocks) and still holds its bytes.
    const size_t file_at = size_t{efi_block + 6} * 2048;
    EXPECT_EQ(image.substr(file_at, 4), "data");
  }
}

}  // namespace
}  // namespace quillden::mastering
