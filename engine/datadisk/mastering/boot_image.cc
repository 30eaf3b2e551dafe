// The El Torito boot image of a data disc: reading it from a file or a drive, writing it back,
// showing it as an entry of the tree, and removing it.
#include <fcntl.h>
#include <linux/fd.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "datadisk/datadisk.h"
#include "datadisk/datadisk_env.h"
#include "filesystems/el_torito.h"
#include "platform/drive_map.h"
#include "platform/unicode.h"
#include "progress/progress_record.h"
#include "quillden/mastering.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

constexpr size_t kChunkBytes = 10 * 1024 * 1024;

BootImage* NewBootImage(Datadisk& disc) {
  std::pmr::polymorphic_allocator<BootImage> alloc(disc.heap());
  return alloc.new_object<BootImage>(disc.heap());
}

void FreeUnattached(Datadisk& disc, BootImage* image) {
  if (image) std::pmr::polymorphic_allocator<BootImage>(disc.heap()).delete_object(image);
}

std::u16string_view LastLocalComponent(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

uint32_t ReadBootImageFile(Datadisk& disc, const WCHAR* path, BYTE emulation, WORD load_segment,
                           WORD sector_count) {
  if (disc.boot_image) return QD_E_BOOT_IMAGE_SET;
  std::u16string_view path_text = quenvar::platform::Utf16View(path);
  if (emulation > MST_BOOT_HARD_DISK || path_text.empty()) return QD_E_INVALID_ARGUMENT;
  std::unique_ptr<quenvar::platform::ReadableFile> file;
  if (!DatadiskEnv()->OpenReadable(quenvar::platform::Utf16ToUtf8(path_text), &file).ok()) {
    return QD_E_FILE_OPEN;
  }
  uint64_t size = file->Size();
  uint32_t required = fs::RequiredBootImageSize(emulation);
  if (size == 0 || size > 0xFFFFFFFFull || (required && size != required))
    return QD_E_NO_BOOT_IMAGE;
  BootImage* image = NewBootImage(disc);
  try {
    image->data.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    FreeUnattached(disc, image);
    return QD_E_OUT_OF_MEMORY;
  }
  size_t got = 0;
  if (!file->ReadAt(0, image->data.size(), image->data.data(), &got).ok() || got != size) {
    FreeUnattached(disc, image);
    return QD_E_READ_FILE;
  }
  image->size = static_cast<uint32_t>(size);
  image->emulation = emulation;
  image->load_segment = load_segment;
  image->sector_count = sector_count;
  disc.boot_image = image;
  return QD_OK;
}

// An EFI system partition image: a FAT file system whose boot sector ends in 0x55 0xAA, small
// enough for the 16-bit sector count of its catalog entry.
uint32_t ReadEfiImageFile(Datadisk& disc, const WCHAR* path) {
  if (disc.efi_image) return QD_E_BOOT_IMAGE_SET;
  std::u16string_view path_text = quenvar::platform::Utf16View(path);
  if (path_text.empty()) return QD_E_INVALID_ARGUMENT;
  std::unique_ptr<quenvar::platform::ReadableFile> file;
  if (!DatadiskEnv()->OpenReadable(quenvar::platform::Utf16ToUtf8(path_text), &file).ok()) {
    return QD_E_FILE_OPEN;
  }
  uint64_t size = file->Size();
  if (size < 512 || fs::EfiSectorCount(size) == 0) return QD_E_NO_BOOT_IMAGE;
  BootImage* image = NewBootImage(disc);
  try {
    image->data.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    FreeUnattached(disc, image);
    return QD_E_OUT_OF_MEMORY;
  }
  size_t got = 0;
  if (!file->ReadAt(0, image->data.size(), image->data.data(), &got).ok() || got != size) {
    FreeUnattached(disc, image);
    return QD_E_READ_FILE;
  }
  if (image->data[510] != 0x55 || image->data[511] != 0xAA) {
    FreeUnattached(disc, image);
    return QD_E_NO_BOOT_IMAGE;
  }
  image->size = static_cast<uint32_t>(size);
  image->emulation = MST_BOOT_NO_EMULATION;
  image->sector_count = fs::EfiSectorCount(size);
  disc.efi_image = image;
  return QD_OK;
}

// Geometry of a boot drive: the emulation its media allows and the size to read.
struct BootGeometry {
  uint8_t emulation = 0;
  uint32_t sector_size = 512;
  uint32_t sectors_per_track = 63;
  uint64_t size = 0;
};

// Floppy drives report their format; everything else on a fixed-disk entry is a hard disk.
uint32_t ReadGeometry(int fd, BootGeometry* geometry) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return QD_E_FLOPPY_GEOMETRY;
  floppy_struct floppy{};
  if (S_ISBLK(st.st_mode) && ioctl(fd, FDGETPRM, &floppy) == 0) {
    geometry->sectors_per_track = floppy.sect ? floppy.sect : 18;
    geometry->size = uint64_t{floppy.size} * 512;
    switch (floppy.size) {
      case 2400:
        geometry->emulation = MST_BOOT_FLOPPY_1200K;
        return QD_OK;
      case 2880:
        geometry->emulation = MST_BOOT_FLOPPY_1440K;
        return QD_OK;
      case 5760:
        geometry->emulation = MST_BOOT_FLOPPY_2880K;
        return QD_OK;
      default:
        return QD_E_MEDIA_UNSUPPORTED;
    }
  }
  geometry->emulation = MST_BOOT_HARD_DISK;
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    int sector_size = 512;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return QD_E_FLOPPY_GEOMETRY;
    if (ioctl(fd, BLKSSZGET, &sector_size) == 0 && sector_size > 0) {
      geometry->sector_size = static_cast<uint32_t>(sector_size);
    }
    hd_geometry hd{};
    if (ioctl(fd, HDIO_GETGEO, &hd) == 0 && hd.sectors) geometry->sectors_per_track = hd.sectors;
    geometry->size = bytes;
  } else if (S_ISREG(st.st_mode)) {
    geometry->size = static_cast<uint64_t>(st.st_size);  // a disk image standing in for a drive
  } else {
    return QD_E_FLOPPY_GEOMETRY;
  }
  if (geometry->size == 0) return QD_E_FLOPPY_GEOMETRY;
  if (geometry->size > 0xFFFFFFFFull) return QD_E_MEDIA_UNSUPPORTED;
  return QD_OK;
}

uint32_t ReadDriveImage(const std::shared_ptr<Datadisk>& disc,
                        const std::shared_ptr<quenvar::platform::ReadableFile>& device,
                        const BootGeometry& geometry, WORD load_segment, WORD sector_count,
                        const ProgressReporter& reporter) {
  BootImage* image = NewBootImage(*disc);
  try {
    image->data.resize(static_cast<size_t>(geometry.size));
  } catch (const std::bad_alloc&) {
    FreeUnattached(*disc, image);
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
  size_t track = size_t{geometry.sectors_per_track} * geometry.sector_size;
  uint64_t offset = 0;
  while (offset < geometry.size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(track, geometry.size - offset));
    size_t got = 0;
    if (!device->ReadAt(offset, want, image->data.data() + offset, &got).ok() || got == 0) break;
    offset += got;
    reporter.AddDone(static_cast<uint32_t>(got / geometry.sector_size));
    if (reporter.CancelRequested()) {
      FreeUnattached(*disc, image);
      return disc->Fail(QD_E_CANCELLED);
    }
  }
  if (offset != geometry.size) {
    FreeUnattached(*disc, image);
    return disc->Fail(QD_E_READ_FILE);
  }
  image->size = static_cast<uint32_t>(geometry.size);
  image->emulation = geometry.emulation;
  image->load_segment = load_segment;
  image->sector_count = sector_count;
  disc->boot_image = image;
  return QD_OK;
}

uint32_t ReadBootImageDrive(const std::shared_ptr<Datadisk>& disc, HANDLE progress,
                            DWORD drive_number, WORD load_segment, WORD sector_count) {
  if (disc->boot_image) return disc->Fail(QD_E_BOOT_IMAGE_SET);
  if (drive_number == 0 || drive_number > 26) return disc->Fail(QD_E_INVALID_ARGUMENT);
  if (progress) {
    std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
    if (!record) return disc->Fail(QD_E_INVALID_HANDLE);
    if (quillden::ProgressBusy(record->status.load())) return disc->Fail(QD_E_BUSY);
  }
  const quenvar::platform::DriveMapEntry* entry =
      quenvar::platform::DriveMap::Current().Find(static_cast<char>('A' + drive_number - 1));
  if (!entry) return disc->Fail(QD_E_FLOPPY_GEOMETRY);
  // Removable disks and optical drives cannot stand behind an emulated boot drive.
  if (entry->kind != quenvar::platform::DriveKind::kFixed)
    return disc->Fail(QD_E_MEDIA_UNSUPPORTED);
  std::unique_ptr<quenvar::platform::ReadableFile> opened;
  if (!DatadiskEnv()->OpenReadable(entry->device_path, &opened).ok()) {
    return disc->Fail(QD_E_FLOPPY_GEOMETRY);
  }
  std::shared_ptr<quenvar::platform::ReadableFile> device(std::move(opened));
  BootGeometry geometry;
  int fd = device->NativeHandle();
  uint32_t result = QD_OK;
  if (fd >= 0) {
    result = ReadGeometry(fd, &geometry);
  } else {
    geometry.emulation = MST_BOOT_HARD_DISK;
    geometry.size = device->Size();
    if (geometry.size == 0) result = QD_E_FLOPPY_GEOMETRY;
    if (geometry.size > 0xFFFFFFFFull) result = QD_E_MEDIA_UNSUPPORTED;
  }
  if (result != QD_OK) return disc->Fail(result);
  uint32_t sectors = static_cast<uint32_t>(geometry.size / geometry.sector_size);
  result = RunOperation(
      progress, PRG_PHASE_READING_BOOT, sectors,
      [disc, device, geometry, load_segment, sector_count](const ProgressReporter& reporter) {
        return ReadDriveImage(disc, device, geometry, load_segment, sector_count, reporter);
      });
  if (result != QD_OK) disc->Fail(result);
  return result;
}

uint32_t CreateBootImageFile(Datadisk& disc, const WCHAR* path) {
  if (!disc.boot_image) return QD_E_NO_BOOT_IMAGE;
  std::u16string_view path_text = quenvar::platform::Utf16View(path);
  if (path_text.empty()) return QD_E_INVALID_ARGUMENT;
  if (HasBadCharacter(LastLocalComponent(path_text))) return QD_E_BAD_CHARACTER;
  std::string local = quenvar::platform::Utf16ToUtf8(path_text);
  std::unique_ptr<quenvar::platform::WritableFile> file;
  quenvar::platform::Env* env = DatadiskEnv();
  if (!env->OpenWritable(local, quenvar::platform::WriteMode::kCreateOrTruncate, &file).ok()) {
    return QD_E_FILE_OPEN;
  }
  const BootImage& image = *disc.boot_image;
  for (size_t done = 0; done < image.size;) {
    size_t n = std::min<size_t>(kChunkBytes, image.size - done);
    if (!file->Append(image.data.data() + done, n).ok()) {
      file.reset();
      env->RemoveFile(local);
      return QD_E_WRITE_FILE;
    }
    done += n;
  }
  if (!file->Close().ok()) {
    file.reset();
    env->RemoveFile(local);
    return QD_E_WRITE_FILE;
  }
  return QD_OK;
}

uint32_t CreateBootImageFileEntry(Datadisk& disc, const WCHAR* disc_path) {
  if (!disc.boot_image) return QD_E_NO_BOOT_IMAGE;
  std::u16string_view path = quenvar::platform::Utf16View(disc_path);
  std::u16string_view name = LastDiscComponent(path);
  if (name.empty()) return QD_E_INVALID_ARGUMENT;
  if (HasBadCharacter(name)) return QD_E_BAD_CHARACTER;
  if (disc.boot_image->entry) return QD_E_EXISTS;
  if (name.size() >= MAX_PATH || path.size() > kMaxDiscPath) return QD_E_PATH_TOO_LONG;
  std::u16string_view folder_path = path.substr(0, path.size() - name.size());
  DatadiskEntry* folder = nullptr;
  uint32_t result = FindOrCreateFolderPath(disc, folder_path, &folder);
  if (result != QD_OK) return result;
  if (FindChild(disc, folder, name)) return QD_E_EXISTS;
  DatadiskEntry* entry = disc.NewEntry();
  if (!entry) return QD_E_OUT_OF_MEMORY;
  FILETIME now = CurrentFileTime();
  entry->file_attributes = DDF_ATTR_BOOT_IMAGE | FILE_ATTRIBUTE_NORMAL;
  entry->creation_time = entry->last_access_time = entry->last_write_time = now;
  entry->size = disc.boot_image->size;
  try {
    disc.SetEntryName(entry, name);
    result = InsertEntry(disc, entry, folder);
  } catch (const std::bad_alloc&) {
    result = QD_E_OUT_OF_MEMORY;
  }
  if (result != QD_OK) {
    disc.FreeEntry(entry);
    return result;
  }
  disc.boot_image->entry = entry;
  return QD_OK;
}

}  // namespace
}  // namespace quillden::mastering

using quillden::Datadisk;
using namespace quillden::mastering;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_ReadBootImageFile(HANDLE handle, const WCHAR* path,
                                                           BYTE emulation, WORD load_segment,
                                                           WORD sector_count) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    uint32_t result = ReadBootImageFile(*disc, path, emulation, load_segment, sector_count);
    return result == QD_OK ? QD_OK : disc->Fail(result);
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_ReadBootImageDrive(HANDLE handle, HANDLE progress,
                                                            DWORD drive_number, WORD load_segment,
                                                            WORD sector_count) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    return ReadBootImageDrive(disc, progress, drive_number, load_segment, sector_count);
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_CreateBootImageFile(HANDLE handle, const WCHAR* path) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  uint32_t result;
  try {
    result = CreateBootImageFile(*disc, path);
  } catch (const std::bad_alloc&) {
    result = QD_E_OUT_OF_MEMORY;
  }
  disc->last_error.store(result);
  return result;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_CreateBootImageFileEntry(HANDLE handle,
                                                                  const WCHAR* disc_path) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    uint32_t result = CreateBootImageFileEntry(*disc, disc_path);
    return result == QD_OK ? QD_OK : disc->Fail(result);
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_DeleteBootImage(HANDLE handle) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (disc->boot_image && disc->boot_image->entry) {
    quillden::DeleteEntry(*disc, disc->boot_image->entry);  // frees the image with its entry
  }
  disc->FreeBootImage();
  disc->FreeKeptBiosImage();
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API BOOL MST_IsBootImage(HANDLE handle) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  return disc && disc->boot_image ? TRUE : FALSE;
}

QUILLDEN_EXTERN_C QUILLDEN_API BOOL MST_IsBootImageFile(HANDLE handle) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  return disc && disc->boot_image && disc->boot_image->entry ? TRUE : FALSE;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_ReadEfiBootImageFile(HANDLE handle, const WCHAR* path) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    uint32_t result = ReadEfiImageFile(*disc, path);
    return result == QD_OK ? QD_OK : disc->Fail(result);
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_DeleteEfiBootImage(HANDLE handle) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  disc->FreeEfiImage();
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API BOOL MST_IsEfiBootImage(HANDLE handle) {
  std::shared_ptr<Datadisk> disc = Datadisk::FromHandle(handle);
  return disc && disc->efi_image ? TRUE : FALSE;
}
