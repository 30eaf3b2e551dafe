// The POSIX Env: thin wrappers over the system calls, each failure naming its operation and path.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/env.h"
#include "platform/file_time.h"

namespace quenvar::platform {
namespace {

Status Error(const char* operation, const std::string& path) {
  return Status::FromErrno(errno, std::string(operation) + " " + path);
}

void FillInfo(const struct stat& st, FileInfo* info) {
  info->is_directory = S_ISDIR(st.st_mode);
  info->is_regular = S_ISREG(st.st_mode);
  info->is_symlink = S_ISLNK(st.st_mode);
  info->size = info->is_regular ? static_cast<uint64_t>(st.st_size) : 0;
  info->creation_time = FileTimeFromTimespec(st.st_ctim);
  info->last_access_time = FileTimeFromTimespec(st.st_atim);
  info->last_write_time = FileTimeFromTimespec(st.st_mtim);
  info->mode = st.st_mode;
  info->device = static_cast<uint64_t>(st.st_dev);
  info->inode = static_cast<uint64_t>(st.st_ino);
}

class PosixReadableFile : public ReadableFile {
 public:
  PosixReadableFile(std::string path, int fd, uint64_t size)
      : path_(std::move(path)), fd_(fd), size_(size) {}
  ~PosixReadableFile() override { close(fd_); }

  Status ReadAt(uint64_t offset, size_t n, void* buffer, size_t* read_count) override {
    size_t done = 0;
    char* out = static_cast<char*>(buffer);
    while (done < n) {
      ssize_t got = pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
      if (got < 0) {
        if (errno == EINTR) continue;
        *read_count = done;
        return Error("read", path_);
      }
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    *read_count = done;
    return Status::Ok();
  }
  uint64_t Size() const override { return size_; }
  Status Stat(FileInfo* info) const override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return Error("fstat", path_);
    FillInfo(st, info);
    return Status::Ok();
  }
  int NativeHandle() const override { return fd_; }

 private:
  std::string path_;
  int fd_;
  uint64_t size_;
};

class PosixWritableFile : public WritableFile {
 public:
  PosixWritableFile(std::string path, int fd, uint64_t end)
      : path_(std::move(path)), fd_(fd), end_(end) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) close(fd_);
  }

  Status Append(const void* data, size_t n) override {
    Status s = WriteAt(end_, data, n);
    if (s.ok()) end_ += n;
    return s;
  }

  Status WriteAt(uint64_t offset, const void* data, size_t n) override {
    if (fd_ < 0) return Status::FromErrno(EBADF, "write " + path_);
    const char* in = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
      ssize_t put = pwrite(fd_, in + done, n - done, static_cast<off_t>(offset + done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return Error("write", path_);
      }
      // A write that makes no progress would loop forever; the disk is full.
      if (put == 0) return Status::FromErrno(ENOSPC, "write " + path_);
      done += static_cast<size_t>(put);
    }
    return Status::Ok();
  }

  Status Truncate(uint64_t size) override {
    if (fd_ < 0) return Status::FromErrno(EBADF, "truncate " + path_);
    if (ftruncate(fd_, static_cast<off_t>(size)) != 0) return Error("truncate", path_);
    if (end_ > size) end_ = size;
    return Status::Ok();
  }

  Status Sync() override {
    if (fd_ < 0) return Status::FromErrno(EBADF, "fsync " + path_);
    if (fsync(fd_) != 0) return Error("fsync", path_);
    return Status::Ok();
  }

  Status Close() override {
    if (fd_ < 0) return Status::FromErrno(EBADF, "close " + path_);
    int result = close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) return Error("close", path_);
    return Status::Ok();
  }

  int NativeHandle() const override { return fd_; }

 private:
  std::string path_;
  int fd_;
  uint64_t end_;
};

class PosixEnv : public Env {
 public:
  Status Stat(const std::string& path, bool follow_links, FileInfo* info) override {
    struct stat st;
    int result = follow_links ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
    if (result != 0) return Error(follow_links ? "stat" : "lstat", path);
    *info = FileInfo();
    FillInfo(st, info);
    return Status::Ok();
  }

  Status ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries) override {
    entries->clear();
    int dir_fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return Error("opendir", path);
    DIR* dir = fdopendir(dir_fd);
    if (!dir) {
      Status s = Error("opendir", path);
      close(dir_fd);
      return s;
    }
    Status status;
    while (true) {
      errno = 0;
      dirent* entry = readdir(dir);
      if (!entry) {
        if (errno != 0) status = Error("readdir", path);
        break;
      }
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Deleted between readdir and lstat: it is simply no longer there.
        if (errno == ENOENT) continue;
        status = Error("lstat", path + "/" + name);
        break;
      }
      DirectoryEntry out;
      out.name = std::move(name);
      FillInfo(st, &out.info);
      if (S_ISLNK(st.st_mode)) {
        // A link to a regular file stands for the file; links to anything else stay links.
        struct stat target;
        if (fstatat(dir_fd, out.name.c_str(), &target, 0) == 0 && S_ISREG(target.st_mode)) {
          FillInfo(target, &out.info);
          out.info.is_symlink = true;
        }
      }
      entries->push_back(std::move(out));
    }
    closedir(dir);
    if (!status.ok()) {
      entries->clear();
      return status;
    }
    // readdir order depends on the file system; callers get a stable one.
    std::sort(entries->begin(), entries->end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return Status::Ok();
  }

  Status OpenReadable(const std::string& path, std::unique_ptr<ReadableFile>* file) override {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Error("open", path);
    struct stat st;
    if (fstat(fd, &st) != 0) {
      Status s = Error("fstat", path);
      close(fd);
      return s;
    }
    if (S_ISDIR(st.st_mode)) {
      close(fd);
      return Status::FromErrno(EISDIR, "open " + path);
    }
    file->reset(new PosixReadableFile(path, fd,
                                      S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0));
    return Status::Ok();
  }

  Status OpenWritable(const std::string& path, WriteMode mode,
                      std::unique_ptr<WritableFile>* file) override {
    int flags = O_WRONLY | O_CLOEXEC;
    switch (mode) {
      case WriteMode::kCreateOrTruncate:
        flags |= O_CREAT | O_TRUNC;
        break;
      case WriteMode::kCreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
      case WriteMode::kOpenExisting:
        break;
    }
    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) return Error("open", path);
    struct stat st;
    if (fstat(fd, &st) != 0) {
      Status s = Error("fstat", path);
      close(fd);
      return s;
    }
    // Appending to an existing file continues at its end.
    uint64_t end = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    file->reset(new PosixWritableFile(path, fd, end));
    return Status::Ok();
  }

  Status RemoveFile(const std::string& path) override {
    if (unlink(path.c_str()) != 0) return Error("unlink", path);
    return Status::Ok();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) return Error("rename", from + " to " + to);
    return Status::Ok();
  }

  Status CreateDirectory(const std::string& path) override {
    if (mkdir(path.c_str(), 0777) == 0) return Status::Ok();
    if (errno != EEXIST) return Error("mkdir", path);
    // An existing folder is fine; an existing file of that name is not.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Status::Ok();
    return Status::FromErrno(EEXIST, "mkdir " + path);
  }

  Status RemoveDirectory(const std::string& path) override {
    if (rmdir(path.c_str()) != 0) return Error("rmdir", path);
    return Status::Ok();
  }

  std::string TemporaryDirectory() override {
    const char* dir = std::getenv("TMPDIR");
    std::string result = (dir && *dir) ? dir : "/tmp";
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    return result;
  }

  uint64_t TickCountMs() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  }

  FileTime Now() override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return FileTimeFromTimespec(ts);
  }

  void SleepMs(uint32_t milliseconds) override {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Status DuplicateReadableDescriptor(int fd, std::unique_ptr<ReadableFile>* file) {
  const std::string name = "descriptor " + std::to_string(fd);
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return Error("dup", name);
  struct stat st;
  off_t size = -1;
  if (fstat(copy, &st) == 0 && S_ISREG(st.st_mode)) {
    size = st.st_size;
  } else {
    size = lseek(copy, 0, SEEK_END);  // a block device
  }
  if (size < 0) {
    Status s = Error("size of", name);
    close(copy);
    return s;
  }
  file->reset(new PosixReadableFile(name, copy, static_cast<uint64_t>(size)));
  return Status::Ok();
}

Env* Env::Default() {
  static Env* env = new PosixEnv;  // never freed: used until the process ends
  return env;
}

}  // namespace quenvar::platform
