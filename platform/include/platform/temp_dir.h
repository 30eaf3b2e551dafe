// Platform layer: a private temporary folder removed with everything in it when the owner goes.
//
// Used by tests of every module and by code that needs scratch files (scripts for outside tools).
// The folder is created with mkdtemp under Env::Default()->TemporaryDirectory() (mode 0700), so no
// other user can place files in it. Thread-compatible.
#ifndef QUENVAR_PLATFORM_TEMP_DIR_H_
#define QUENVAR_PLATFORM_TEMP_DIR_H_

#include <string>

namespace quenvar::platform {

// Removes path and, when it is a folder, everything under it, without following symbolic links.
// True when nothing is left.
bool RemoveTree(const std::string& path);

class ScopedTempDir {
 public:
  // Creates "<tmp>/<prefix>XXXXXX"; path() is empty when that failed.
  explicit ScopedTempDir(const std::string& prefix = "quenvar-");
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string Child(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_TEMP_DIR_H_
