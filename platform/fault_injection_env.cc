#include "platform/fault_injection_env.h"

#include <algorithm>

namespace quenvar::platform {
namespace {

size_t Index(FaultKind kind) {
  return static_cast<size_t>(kind);
}

class FaultReadableFile : public ReadableFile {
 public:
  FaultReadableFile(FaultInjectionEnv* env, std::string path, std::unique_ptr<ReadableFile> file)
      : env_(env), path_(std::move(path)), file_(std::move(file)) {}
  Status ReadAt(uint64_t offset, size_t n, void* buffer, size_t* read_count) override {
    Status s = env_->CheckCall(FaultKind::kRead, path_, "read");
    if (!s.ok()) {
      *read_count = 0;
      return s;
    }
    return file_->ReadAt(offset, n, buffer, read_count);
  }
  uint64_t Size() const override { return file_->Size(); }
  Status Stat(FileInfo* info) const override {
    Status s = env_->CheckCall(FaultKind::kStat, path_, "fstat");
    if (!s.ok()) return s;
    return file_->Stat(info);
  }
  int NativeHandle() const override { return file_->NativeHandle(); }

 private:
  FaultInjectionEnv* env_;
  std::string path_;
  std::unique_ptr<ReadableFile> file_;
};

class FaultWritableFile : public WritableFile {
 public:
  FaultWritableFile(FaultInjectionEnv* env, std::string path, std::unique_ptr<WritableFile> file)
      : env_(env), path_(std::move(path)), file_(std::move(file)) {}

  Status Append(const void* data, size_t n) override {
    size_t allowed;
    int error = 0;
    Status s = Prepare(n, &allowed, &error);
    if (!s.ok()) return s;
    if (allowed > 0) {
      s = file_->Append(data, allowed);
      if (!s.ok()) return s;
    }
    if (error != 0) return Status::FromErrno(error, "write " + path_);
    return Status::Ok();
  }

  Status WriteAt(uint64_t offset, const void* data, size_t n) override {
    size_t allowed;
    int error = 0;
    Status s = Prepare(n, &allowed, &error);
    if (!s.ok()) return s;
    if (allowed > 0) {
      s = file_->WriteAt(offset, data, allowed);
      if (!s.ok()) return s;
    }
    if (error != 0) return Status::FromErrno(error, "write " + path_);
    return Status::Ok();
  }

  Status Truncate(uint64_t size) override { return file_->Truncate(size); }
  Status Sync() override {
    Status s = env_->CheckCall(FaultKind::kSync, path_, "fsync");
    if (!s.ok()) return s;
    return file_->Sync();
  }
  Status Close() override { return file_->Close(); }
  int NativeHandle() const override { return file_->NativeHandle(); }

 private:
  Status Prepare(size_t n, size_t* allowed, int* error) {
    Status s = env_->CheckCall(FaultKind::kWrite, path_, "write");
    if (!s.ok()) return s;
    *allowed = env_->ReserveWrite(n, error);
    return Status::Ok();
  }

  FaultInjectionEnv* env_;
  std::string path_;
  std::unique_ptr<WritableFile> file_;
};

}  // namespace

FaultInjectionEnv::FaultInjectionEnv(Env* target) : EnvWrapper(target) {}

void FaultInjectionEnv::FailNthCall(FaultKind kind, uint64_t n, int error) {
  MutexLock lock(&mu_);
  Rule& rule = rules_[Index(kind)];
  rule.fail_at = n == 0 ? 0 : rule.calls + n;
  rule.error = error;
}

void FaultInjectionEnv::FailFromCall(FaultKind kind, uint64_t n, int error) {
  MutexLock lock(&mu_);
  Rule& rule = rules_[Index(kind)];
  rule.fail_from = n == 0 ? 0 : rule.calls + n;
  rule.error = error;
}

void FaultInjectionEnv::LimitWrites(uint64_t bytes, int error) {
  MutexLock lock(&mu_);
  write_limited_ = true;
  write_budget_ = bytes;
  write_error_ = error;
}

void FaultInjectionEnv::VanishAfterListing(const std::string& path) {
  MutexLock lock(&mu_);
  vanish_pending_.push_back(path);
}

void FaultInjectionEnv::SetPathFilter(std::string prefix) {
  MutexLock lock(&mu_);
  filter_ = std::move(prefix);
}

void FaultInjectionEnv::Reset() {
  MutexLock lock(&mu_);
  rules_ = {};
  filter_.clear();
  write_limited_ = false;
  vanish_pending_.clear();
  vanished_.clear();
}

uint64_t FaultInjectionEnv::CallCount(FaultKind kind) const {
  MutexLock lock(&mu_);
  return rules_[Index(kind)].calls;
}

bool FaultInjectionEnv::Under(const std::string& path, const std::string& folder) {
  if (path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || path[folder.size()] == '/' ||
         (!folder.empty() && folder.back() == '/');
}

bool FaultInjectionEnv::Filtered(const std::string& path) const {
  return filter_.empty() || Under(path, filter_);
}

bool FaultInjectionEnv::Vanished(const std::string& path) const {
  return std::any_of(vanished_.begin(), vanished_.end(),
                     [&](const std::string& folder) { return Under(path, folder); });
}

Status FaultInjectionEnv::CheckCall(FaultKind kind, const std::string& path,
                                    const char* operation) {
  MutexLock lock(&mu_);
  if (!Filtered(path)) return Status::Ok();
  Rule& rule = rules_[Index(kind)];
  uint64_t call = ++rule.calls;
  if (call == rule.fail_at || (rule.fail_from != 0 && call >= rule.fail_from)) {
    return Status::FromErrno(rule.error, std::string(operation) + " " + path);
  }
  return Status::Ok();
}

size_t FaultInjectionEnv::ReserveWrite(size_t n, int* error) {
  MutexLock lock(&mu_);
  if (!write_limited_) return n;
  if (n <= write_budget_) {
    write_budget_ -= n;
    return n;
  }
  size_t allowed = static_cast<size_t>(write_budget_);
  write_budget_ = 0;
  *error = write_error_;
  return allowed;
}

Status FaultInjectionEnv::Stat(const std::string& path, bool follow_links, FileInfo* info) {
  {
    MutexLock lock(&mu_);
    if (Vanished(path)) return Status::FromErrno(ENOENT, "stat " + path);
  }
  Status s = CheckCall(FaultKind::kStat, path, "stat");
  if (!s.ok()) return s;
  return EnvWrapper::Stat(path, follow_links, info);
}

Status FaultInjectionEnv::ListDirectory(const std::string& path,
                                        std::vector<DirectoryEntry>* entries) {
  bool vanish_after = false;
  {
    MutexLock lock(&mu_);
    if (Vanished(path)) return Status::FromErrno(ENOENT, "opendir " + path);
    auto it = std::find(vanish_pending_.begin(), vanish_pending_.end(), path);
    if (it != vanish_pending_.end()) {
      vanish_pending_.erase(it);
      vanish_after = true;
    }
  }
  Status s = CheckCall(FaultKind::kList, path, "opendir");
  if (s.ok()) s = EnvWrapper::ListDirectory(path, entries);
  if (vanish_after) {
    MutexLock lock(&mu_);
    vanished_.push_back(path);
  }
  return s;
}

Status FaultInjectionEnv::OpenReadable(const std::string& path,
                                       std::unique_ptr<ReadableFile>* file) {
  {
    MutexLock lock(&mu_);
    if (Vanished(path)) return Status::FromErrno(ENOENT, "open " + path);
  }
  Status s = CheckCall(FaultKind::kOpen, path, "open");
  if (!s.ok()) return s;
  std::unique_ptr<ReadableFile> inner;
  s = EnvWrapper::OpenReadable(path, &inner);
  if (!s.ok()) return s;
  file->reset(new FaultReadableFile(this, path, std::move(inner)));
  return Status::Ok();
}

Status FaultInjectionEnv::OpenWritable(const std::string& path, WriteMode mode,
                                       std::unique_ptr<WritableFile>* file) {
  {
    MutexLock lock(&mu_);
    if (Vanished(path)) return Status::FromErrno(ENOENT, "open " + path);
  }
  Status s = CheckCall(FaultKind::kOpen, path, "open");
  if (!s.ok()) return s;
  std::unique_ptr<WritableFile> inner;
  s = EnvWrapper::OpenWritable(path, mode, &inner);
  if (!s.ok()) return s;
  file->reset(new FaultWritableFile(this, path, std::move(inner)));
  return Status::Ok();
}

Status FaultInjectionEnv::RemoveFile(const std::string& path) {
  {
    MutexLock lock(&mu_);
    if (Vanished(path)) return Status::FromErrno(ENOENT, "unlink " + path);
  }
  Status s = CheckCall(FaultKind::kRemove, path, "unlink");
  if (!s.ok()) return s;
  return EnvWrapper::RemoveFile(path);
}

Status FaultInjectionEnv::RenameFile(const std::string& from, const std::string& to) {
  {
    MutexLock lock(&mu_);
    if (Vanished(from)) return Status::FromErrno(ENOENT, "rename " + from + " to " + to);
  }
  Status s = CheckCall(FaultKind::kRename, from, "rename");
  if (!s.ok()) return s;
  return EnvWrapper::RenameFile(from, to);
}

Status FaultInjectionEnv::CreateDirectory(const std::string& path) {
  Status s = CheckCall(FaultKind::kCreateDirectory, path, "mkdir");
  if (!s.ok()) return s;
  return EnvWrapper::CreateDirectory(path);
}

Status FaultInjectionEnv::RemoveDirectory(const std::string& path) {
  {
    MutexLock lock(&mu_);
    if (Vanished(path)) return Status::FromErrno(ENOENT, "rmdir " + path);
  }
  Status s = CheckCall(FaultKind::kRemove, path, "rmdir");
  if (!s.ok()) return s;
  return EnvWrapper::RemoveDirectory(path);
}

}  // namespace quenvar::platform
