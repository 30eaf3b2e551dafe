#include "platform/temp_dir.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <vector>

#include "platform/env.h"

namespace quenvar::platform {
namespace {

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
  // Keep going on failure; the caller checks what is left.
  remove(path);
  return 0;
}

int OpenUp(const char* path, const struct stat* st, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | 0700);
  return 0;
}

}  // namespace

bool RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return true;
  // Folders may lack read, write or search permission (tests make such folders): restore them
  // first, parents before children.
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), (st.st_mode & 07777) | 0700);
    nftw(path.c_str(), OpenUp, 32, FTW_PHYS);
  }
  nftw(path.c_str(), RemoveOne, 32, FTW_DEPTH | FTW_PHYS);
  return lstat(path.c_str(), &st) != 0;
}

ScopedTempDir::ScopedTempDir(const std::string& prefix) {
  std::string pattern = Env::Default()->TemporaryDirectory() + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data())) path_ = buffer.data();
}

ScopedTempDir::~ScopedTempDir() {
  if (!path_.empty()) RemoveTree(path_);
}

}  // namespace quenvar::platform
