#include "app/controllers/disc_volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A file of a volume the program mounted itself (USB media), read through the kernel.
class LocalFile : public DiscFile {
 public:
  LocalFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~LocalFile() override { ::close(fd_); }

  uint64_t size() const override { return size_; }

  bool Read(void* buffer, uint32_t length, uint32_t* read) override {
    ssize_t n;
    do {
      n = ::read(fd_, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    *read = static_cast<uint32_t>(n);
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
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

std::unique_ptr<DiscFile> DiscFile::Open(const std::u16string& path) {
  if (!path.empty() && path[0] == u'/') {
    const int fd = ::open(platform::Utf16ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<LocalFile>(fd, static_cast<uint64_t>(st.st_size));
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
