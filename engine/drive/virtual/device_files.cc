// The virtual device's files: the backing file (user data), the raw sectors and the state file,
// loaded, reloaded when another process replaced them, and saved; and the byte locks on the
// backing file that say which job holds the drive and who keeps the medium locked in.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "drive/virtual/device_internal.h"

namespace quillden::drive::virt {

using quenvar::platform::FileInfo;
using quenvar::platform::Status;
using quenvar::platform::WriteMode;

namespace {

// Bytes of the backing file locked (open file description locks, never the data) to say who holds
// the drive: the job that changes the medium, and the processes that prevent medium removal.
constexpr off_t kClaimByte = 0;
constexpr off_t kPreventByte = 1;

bool SetByteLock(int fd, short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  int result;
  do {
    result = ::fcntl(fd, F_OFD_SETLK, &lock);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// True when an open file description other than this process's own holds a lock on byte of path.
bool ByteLockedElsewhere(const std::string& path, off_t byte) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

}  // namespace

int VirtualDevice::Claim(const void* holder) {
  quenvar::platform::MutexLock lock(&mu_);
  if (claim_holder_ == holder) return 0;
  if (claim_holder_ != nullptr) return EBUSY;
  const int fd = ::open(backing_path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno;
  if (!SetByteLock(fd, F_WRLCK, kClaimByte)) {
    const int error_number = errno;
    ::close(fd);
    return error_number == EAGAIN || error_number == EACCES ? EBUSY : error_number;
  }
  claim_holder_ = holder;
  claim_fd_ = fd;
  ReloadIfChanged();
  DropStaleBlocks();
  return 0;
}

void VirtualDevice::Release(const void* holder) {
  quenvar::platform::MutexLock lock(&mu_);
  if (holder == nullptr || claim_holder_ != holder) return;
  ::close(claim_fd_);
  claim_fd_ = -1;
  claim_holder_ = nullptr;
}

bool VirtualDevice::ClaimedElsewhere() const {
  return claim_holder_ == nullptr && ByteLockedElsewhere(backing_path_, kClaimByte);
}

void VirtualDevice::DropStaleBlocks() {
  // Overwritable media keep what was once written anywhere, as the real discs do; pressed media
  // live in their image.
  if (!state_.has_medium || state_.is_pressed() || state_.is_random_writable()) return;
  int64_t end = 0;
  for (const TrackState& t : state_.tracks) {
    if (t.written != 0) end = std::max(end, TrackBlockLba(state_, t, t.written - 1) + 1);
  }
  FileInfo info;
  if (data_writer_ && env_->Stat(backing_path_, true, &info).ok() &&
      info.size > uint64_t(end) * 2048) {
    data_writer_->Truncate(uint64_t(end) * 2048);
  }
  const std::string raw = RawFilePath(backing_path_);
  if (env_->Stat(raw, true, &info).ok() && info.size > uint64_t(end) * 2352) {
    std::unique_ptr<quenvar::platform::WritableFile> raw_file;
    if (raw_writer_) {
      raw_writer_->Truncate(uint64_t(end) * 2352);
    } else if (env_->OpenWritable(raw, WriteMode::kOpenExisting, &raw_file).ok()) {
      raw_file->Truncate(uint64_t(end) * 2352);
      raw_file->Close();
    }
    raw_reader_.reset();
  }
}

bool VirtualDevice::RemovalPrevented() {
  if (!state_.locked) return false;
  if (prevent_fd_ >= 0 || ByteLockedElsewhere(backing_path_, kPreventByte)) return true;
  state_.locked = false;
  dirty_ = true;
  return false;
}

void VirtualDevice::HoldRemovalLock(bool prevent) {
  if (!prevent) {
    if (prevent_fd_ >= 0) ::close(prevent_fd_);
    prevent_fd_ = -1;
    return;
  }
  if (prevent_fd_ >= 0) return;
  const int fd = ::open(backing_path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  if (SetByteLock(fd, F_RDLCK, kPreventByte)) {
    prevent_fd_ = fd;
  } else {
    ::close(fd);
  }
}

bool VirtualDevice::Load(const std::string& media_kind, std::string* error) {
  quenvar::platform::MutexLock lock(&mu_);
  const std::string state_path = StateFilePath(backing_path_);
  FileInfo info;
  if (env_->Stat(state_path, true, &info).ok()) {
    if (!LoadStateFile(env_, state_path, &state_, error)) return false;
    state_stamp_size_ = info.size;
    state_stamp_time_ = info.last_write_time;
    return OpenFiles(error);
  }
  FileInfo data_info;
  if (env_->Stat(backing_path_, true, &data_info).ok() && data_info.size != 0) {
    *error = backing_path_ +
             " already holds data but has no virtual disc state; load it as an "
             "image (quillden virtual load) or remove it";
    return false;
  }
  if (!MakeBlankMedium(media_kind, 0, &state_, error)) return false;
  if (!OpenFiles(error)) return false;
  return SaveLocked(error);
}

bool VirtualDevice::OpenFiles(std::string* error) {
  data_reader_.reset();
  data_writer_.reset();
  raw_reader_.reset();
  raw_writer_.reset();
  image_reader_.reset();
  FileInfo info;
  WriteMode mode = env_->Stat(backing_path_, true, &info).ok() ? WriteMode::kOpenExisting
                                                               : WriteMode::kCreateNew;
  Status st = env_->OpenWritable(backing_path_, mode, &data_writer_);
  if (st.ok()) st = env_->OpenReadable(backing_path_, &data_reader_);
  if (!st.ok()) {
    *error = "cannot open backing file: " + st.ToString();
    return false;
  }
  if (!state_.image_path.empty() && state_.has_medium) {
    st = env_->OpenReadable(state_.image_path, &image_reader_);
    if (!st.ok()) {
      *error = "cannot open the image of the pressed medium: " + st.ToString();
      return false;
    }
  }
  return true;
}

void VirtualDevice::TruncateData() {
  if (data_writer_) data_writer_->Truncate(0);
  state_.cd_text.clear();
  const std::string raw = RawFilePath(backing_path_);
  raw_reader_.reset();
  raw_writer_.reset();
  FileInfo info;
  if (env_->Stat(raw, true, &info).ok()) env_->RemoveFile(raw);
}

bool VirtualDevice::SaveLocked(std::string* error) {
  const std::string path = StateFilePath(backing_path_);
  if (!SaveStateFile(env_, path, state_, error)) return false;
  dirty_ = false;
  FileInfo info;
  if (env_->Stat(path, true, &info).ok()) {
    state_stamp_size_ = info.size;
    state_stamp_time_ = info.last_write_time;
  }
  return true;
}

void VirtualDevice::ReloadIfChanged() {
  const std::string path = StateFilePath(backing_path_);
  FileInfo info;
  if (!env_->Stat(path, true, &info).ok()) return;
  if (info.size == state_stamp_size_ && info.last_write_time == state_stamp_time_) return;
  MediaState fresh;
  std::string error;
  state_stamp_size_ = info.size;
  state_stamp_time_ = info.last_write_time;
  if (!LoadStateFile(env_, path, &fresh, &error)) return;  // keep what we have
  const bool medium_changed = fresh.has_medium != state_.has_medium ||
                              fresh.tray_open != state_.tray_open || fresh.kind != state_.kind;
  state_ = fresh;
  dirty_ = false;
  sao_active_ = false;
  std::string ignored;
  OpenFiles(&ignored);
  if (medium_changed)
    QueueMediaEvent(state_.medium_present() ? kMediaEventNewMedia : kMediaEventRemoval);
}

}  // namespace quillden::drive::virt
