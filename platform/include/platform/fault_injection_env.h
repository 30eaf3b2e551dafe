// Platform layer: an Env for tests that injects file system faults.
//
// FaultInjectionEnv forwards to a target Env (the POSIX one by default) and makes chosen calls fail
// the way real disks and file systems fail: the n-th call of a kind returns an errno, every call
// from the n-th on fails, writes stop after a byte budget with a short write and ENOSPC, and a
// folder vanishes once it has been listed (later calls on it or below it find nothing). Calls are
// counted per kind from construction or the last Reset(); an optional path prefix limits counting
// and faults to calls on paths under it. Files opened through it stay under its control (reads and
// writes are counted) and must not outlive it. Thread-safe.
#ifndef QUENVAR_PLATFORM_FAULT_INJECTION_ENV_H_
#define QUENVAR_PLATFORM_FAULT_INJECTION_ENV_H_

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace quenvar::platform {

enum class FaultKind {
  kOpen,             // OpenReadable and OpenWritable
  kRead,             // ReadableFile::ReadAt
  kWrite,            // WritableFile::Append and WriteAt
  kSync,             // WritableFile::Sync
  kStat,             // Env::Stat and ReadableFile::Stat
  kList,             // Env::ListDirectory
  kRemove,           // RemoveFile and RemoveDirectory
  kRename,           // RenameFile
  kCreateDirectory,  // CreateDirectory
};
inline constexpr size_t kFaultKindCount = 9;

class FaultInjectionEnv : public EnvWrapper {
 public:
  explicit FaultInjectionEnv(Env* target = Env::Default());

  // The n-th call (1-based, counted from now) of kind fails with error; the others succeed.
  void FailNthCall(FaultKind kind, uint64_t n, int error = EIO);
  // Every call of kind from the n-th (1-based, counted from now) on fails with error.
  void FailFromCall(FaultKind kind, uint64_t n, int error = EIO);
  // After bytes more bytes have been written through this Env (all files together), a write that
  // crosses the budget writes the part that fits and fails with error, as a full disk does; later
  // writes fail without writing.
  void LimitWrites(uint64_t bytes, int error = ENOSPC);
  // The next ListDirectory of path lists it normally; from then on path and everything under it
  // are gone: every call on them fails with ENOENT.
  void VanishAfterListing(const std::string& path);
  // Only calls on paths equal to prefix or under it are counted and can fail (empty: all paths).
  void SetPathFilter(std::string prefix);
  // Clears every fault, counter and filter.
  void Reset();
  // Calls of kind seen since construction or Reset (only those passing the path filter).
  uint64_t CallCount(FaultKind kind) const;

  Status Stat(const std::string& path, bool follow_links, FileInfo* info) override;
  Status ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries) override;
  Status OpenReadable(const std::string& path, std::unique_ptr<ReadableFile>* file) override;
  Status OpenWritable(const std::string& path, WriteMode mode,
                      std::unique_ptr<WritableFile>* file) override;
  Status RemoveFile(const std::string& path) override;
  Status RenameFile(const std::string& from, const std::string& to) override;
  Status CreateDirectory(const std::string& path) override;
  Status RemoveDirectory(const std::string& path) override;

  // Used by the files it opens.
  Status CheckCall(FaultKind kind, const std::string& path, const char* operation);
  // How many of n bytes may be written now; sets *error when the budget ends inside them.
  size_t ReserveWrite(size_t n, int* error);

 private:
  struct Rule {
    uint64_t calls = 0;      // counted calls
    uint64_t fail_at = 0;    // absolute call number that fails (0: none)
    uint64_t fail_from = 0;  // absolute call number from which all fail (0: none)
    int error = EIO;
  };
  bool Filtered(const std::string& path) const REQUIRES(mu_);
  bool Vanished(const std::string& path) const REQUIRES(mu_);
  static bool Under(const std::string& path, const std::string& folder);

  mutable Mutex mu_;
  std::array<Rule, kFaultKindCount> rules_ GUARDED_BY(mu_);
  std::string filter_ GUARDED_BY(mu_);
  bool write_limited_ GUARDED_BY(mu_) = false;
  uint64_t write_budget_ GUARDED_BY(mu_) = 0;
  int write_error_ GUARDED_BY(mu_) = ENOSPC;
  std::vector<std::string> vanish_pending_ GUARDED_BY(mu_);
  std::vector<std::string> vanished_ GUARDED_BY(mu_);
};

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_FAULT_INJECTION_ENV_H_
