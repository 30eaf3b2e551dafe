// Platform layer: files, folders and clocks behind one interface.
//
// Everything in the system that touches the local file system or the clock does so through an Env,
// so tests can substitute an Env that injects faults (a short write, an error at the n-th call, a
// full disk, a vanishing folder) or a fake clock. Env::Default() is the POSIX implementation; it is
// process-wide and thread-safe. EnvWrapper forwards every call to another Env so that a test can
// override just one of them.
//
// Paths are native POSIX paths in UTF-8. Symbolic links are followed for files, never for folders:
// ListDirectory reports a link to a folder as a link, so a tree walk cannot loop.
#ifndef QUENVAR_PLATFORM_ENV_H_
#define QUENVAR_PLATFORM_ENV_H_

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace quenvar::platform {

// 100-ns units since 1601-01-01 UTC.
using FileTime = uint64_t;

struct FileInfo {
  bool is_directory = false;
  bool is_symlink = false;  // only from Stat(..., follow_links=false) and ListDirectory
  bool is_regular = false;
  uint64_t size = 0;
  FileTime creation_time = 0;  // the status change time; POSIX keeps no creation time
  FileTime last_access_time = 0;
  FileTime last_write_time = 0;
  uint32_t mode = 0;  // st_mode
  // Together they name the file whatever path reached it (a folder bind-mounted below itself).
  uint64_t device = 0;
  uint64_t inode = 0;
};

struct DirectoryEntry {
  std::string name;  // last component only; never "." or ".."
  FileInfo info;     // lstat of the entry, then stat when it is a link to a regular file
};

// A file opened for reading at arbitrary offsets. Thread-compatible.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to n bytes at offset; *read_count < n only at the end of the file.
  virtual Status ReadAt(uint64_t offset, size_t n, void* buffer, size_t* read_count) = 0;
  virtual uint64_t Size() const = 0;
  // The status of the open file itself (fstat): its device and inode tell whether the file opened
  // is the one a Stat of its path looked at. ENOTSUP for a file without one (test files).
  virtual Status Stat(FileInfo* info) const {
    (void)info;
    return Status::FromErrno(ENOTSUP, "fstat");
  }
  // The file descriptor for zero-copy transfers, or -1 when there is none (test files).
  virtual int NativeHandle() const { return -1; }
};

// A file opened for writing. Thread-compatible.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all n bytes at the current end; a short write is an error (ENOSPC and the like).
  virtual Status Append(const void* data, size_t n) = 0;
  // Writes all n bytes at offset without moving the append position.
  virtual Status WriteAt(uint64_t offset, const void* data, size_t n) = 0;
  virtual Status Truncate(uint64_t size) = 0;
  virtual Status Sync() = 0;
  virtual Status Close() = 0;
  virtual int NativeHandle() const { return -1; }
};

enum class WriteMode {
  kCreateOrTruncate,  // O_CREAT | O_TRUNC
  kCreateNew,         // O_CREAT | O_EXCL
  kOpenExisting,      // read-write, no truncation
};

class Env {
 public:
  virtual ~Env() = default;
  // The POSIX environment. Never null, never freed.
  static Env* Default();

  virtual Status Stat(const std::string& path, bool follow_links, FileInfo* info) = 0;
  virtual Status ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries) = 0;
  virtual Status OpenReadable(const std::string& path, std::unique_ptr<ReadableFile>* file) = 0;
  virtual Status OpenWritable(const std::string& path, WriteMode mode,
                              std::unique_ptr<WritableFile>* file) = 0;
  virtual Status RemoveFile(const std::string& path) = 0;
  virtual Status RenameFile(const std::string& from, const std::string& to) = 0;
  virtual Status CreateDirectory(const std::string& path) = 0;  // EEXIST is not an error
  virtual Status RemoveDirectory(const std::string& path) = 0;
  // The folder for temporary files: $TMPDIR, else /tmp.
  virtual std::string TemporaryDirectory() = 0;

  // Milliseconds from an arbitrary fixed point; never goes backwards.
  virtual uint64_t TickCountMs() = 0;
  // The current time as a file time (UTC).
  virtual FileTime Now() = 0;
  virtual void SleepMs(uint32_t milliseconds) = 0;
};

// Wraps a duplicate of an open descriptor (a plain file, or a block device holding an image) for
// positional reads: the caller may close its own descriptor at any time, and its file offset stays
// where it was. EBADF when fd is no open descriptor.
Status DuplicateReadableDescriptor(int fd, std::unique_ptr<ReadableFile>* file);

// Forwards every call to a target Env; override what a test needs to change.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  Status Stat(const std::string& path, bool follow_links, FileInfo* info) override {
    return target_->Stat(path, follow_links, info);
  }
  Status ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries) override {
    return target_->ListDirectory(path, entries);
  }
  Status OpenReadable(const std::string& path, std::unique_ptr<ReadableFile>* file) override {
    return target_->OpenReadable(path, file);
  }
  Status OpenWritable(const std::string& path, WriteMode mode,
                      std::unique_ptr<WritableFile>* file) override {
    return target_->OpenWritable(path, mode, file);
  }
  Status RemoveFile(const std::string& path) override { return target_->RemoveFile(path); }
  Status RenameFile(const std::string& from, const std::string& to) override {
    return target_->RenameFile(from, to);
  }
  Status CreateDirectory(const std::string& path) override {
    return target_->CreateDirectory(path);
  }
  Status RemoveDirectory(const std::string& path) override {
    return target_->RemoveDirectory(path);
  }
  std::string TemporaryDirectory() override { return target_->TemporaryDirectory(); }
  uint64_t TickCountMs() override { return target_->TickCountMs(); }
  FileTime Now() override { return target_->Now(); }
  void SleepMs(uint32_t milliseconds) override { target_->SleepMs(milliseconds); }

 private:
  Env* target_;
};

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_ENV_H_
