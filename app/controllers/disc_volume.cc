#include "app/controllers/disc_volume.h"

#include <cerrno>

#include "platform/unicode.h"
#include "quillden/result.h"
#include "quillden/volume.h"

namespace quenvar::app {
namespace {

class VolumeFile : public DiscFile {
 public:
  VolumeFile(HANDLE volume, std::u16string path, uint64_t size)
      : volume_(volume), path_(std::move(path)), size_(size) {}
  ~VolumeFile() override { DRV_CloseVolume(volume_); }

  uint64_t size() const override { return size_; }

  bool Read(void* buffer, uint32_t length, uint32_t* read) override {
    DWORD got = 0;
    if (DRV_ReadVolumeFile(volume_, path_.c_str(), offset_, buffer, length, &got) != 0)
      return false;
    offset_ += got;
    *read = got;
    return true;
  }

 private:
  HANDLE volume_;
  std::u16string path_;
  uint64_t size_;
  uint64_t offset_ = 0;
};

// A file of a volume the program mounted itself (USB media), read through the Env.
class LocalFile : public DiscFile {
 public:
  explicit LocalFile(std::unique_ptr<platform::ReadableFile> file) : file_(std::move(file)) {}

  uint64_t size() const override { return file_->Size(); }

  bool Read(void* buffer, uint32_t length, uint32_t* read) override {
    size_t n = 0;
    const platform::Status status = file_->ReadAt(offset_, length, buffer, &n);
    if (!status.ok()) {
      errno = status.code() > 0 ? status.code() : EIO;  // the report's system code
      return false;
    }
    offset_ += n;
    *read = static_cast<uint32_t>(n);
    return true;
  }

 private:
  std::unique_ptr<platform::ReadableFile> file_;
  uint64_t offset_ = 0;
};

int32_t DriveNumberOf(std::u16string_view path) {
  if (path.size() < 2 || path[1] != u':') return 0;
  char16_t letter = path[0];
  if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 32);
  return letter >= u'A' && letter <= u'Z' ? letter - u'A' + 1 : 0;
}

}  // namespace

bool ProbeDiscVolume(int32_t drive_number) {
  HANDLE volume = nullptr;
  if (DRV_OpenVolume(static_cast<DWORD>(drive_number), &volume) != 0) return false;
  DRV_CloseVolume(volume);
  return true;
}

std::unique_ptr<DiscFile> DiscFile::Open(const std::u16string& path, platform::Env* env) {
  if (!path.empty() && path[0] == u'/') {
    // Only a regular file, never a link: the volume is the program's own private mount.
    const std::string local = platform::Utf16ToUtf8(path);
    platform::FileInfo info;
    std::unique_ptr<platform::ReadableFile> file;
    if (!env->Stat(local, false, &info).ok() || !info.is_regular) return nullptr;
    if (!env->OpenReadable(local, &file).ok()) return nullptr;
    // The path may have been swapped for a link between the look and the open: the file opened
    // must be the regular file looked at.
    platform::FileInfo opened;
    if (!file->Stat(&opened).ok() || !opened.is_regular || opened.device != info.device ||
        opened.inode != info.inode) {
      return nullptr;
    }
    return std::make_unique<LocalFile>(std::move(file));
  }
  const int32_t drive_number = DriveNumberOf(path);
  if (drive_number == 0) return nullptr;
  HANDLE volume = nullptr;
  if (DRV_OpenVolume(static_cast<DWORD>(drive_number), &volume) != 0) return nullptr;
  WIN32_FIND_DATAW data{};
  if (DRV_GetVolumeFileInformation(volume, path.c_str(), &data) != 0 ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    DRV_CloseVolume(volume);
    return nullptr;
  }
  const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return std::make_unique<VolumeFile>(volume, path, size);
}

}  // namespace quenvar::app
