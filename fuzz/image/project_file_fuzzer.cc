// Feeds arbitrary bytes to the project loader as a file on disk, through MST_LoadProjectDatadisk
// and its worker, then saves the tree that came out of it. Every file system call of the data disc
// code is confined to a private folder (paths in the input are read relative to it), so an input
// naming "/" cannot walk the machine.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "datadisk/datadisk_env.h"
#include "platform/env.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace {

using quenvar::platform::DirectoryEntry;
using quenvar::platform::Env;
using quenvar::platform::EnvWrapper;
using quenvar::platform::FileInfo;
using quenvar::platform::ReadableFile;
using quenvar::platform::Status;
using quenvar::platform::WritableFile;
using quenvar::platform::WriteMode;

// Maps every path below a root folder; paths that climb out with ".." find nothing.
class SandboxEnv : public EnvWrapper {
 public:
  explicit SandboxEnv(std::string root) : EnvWrapper(Env::Default()), root_(std::move(root)) {}

  Status Stat(const std::string& path, bool follow_links, FileInfo* info) override {
    return target()->Stat(Map(path), follow_links, info);
  }
  Status ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries) override {
    return target()->ListDirectory(Map(path), entries);
  }
  Status OpenReadable(const std::string& path, std::unique_ptr<ReadableFile>* file) override {
    return target()->OpenReadable(Map(path), file);
  }
  Status OpenWritable(const std::string& path, WriteMode mode, std::unique_ptr<WritableFile>* file) override {
    return target()->OpenWritable(Map(path), mode, file);
  }

 private:
  std::string Map(const std::string& path) const {
    std::string inside = "/" + path + "/";
    if (inside.find("/../") != std::string::npos || path.find('\0') != std::string::npos) {
      return root_ + "/.refused";
    }
    size_t start = path.find_first_not_of('/');
    return root_ + "/" + (start == std::string::npos ? "" : path.substr(start));
  }
  std::string root_;
};

struct Sandbox {
  Sandbox() : env(dir.path()) {
    if (dir.path().empty()) std::abort();
    std::ofstream(dir.Child("a.txt")) << "a";
    if (Env::Default()->CreateDirectory(dir.Child("d")).ok()) std::ofstream(dir.Child("d/b.txt")) << "b";
    Env::Default()->CreateDirectory(dir.Child("empty"));
    quillden::SetDatadiskEnvForTesting(&env);
  }
  ~Sandbox() { quillden::SetDatadiskEnvForTesting(nullptr); }
  quenvar::platform::ScopedTempDir dir{"project-fuzz-"};
  SandboxEnv env;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox sandbox_instance;  // removed with its folder at exit
  Sandbox* sandbox = &sandbox_instance;
  {
    std::ofstream out(sandbox->dir.Child("input.prj"), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  HANDLE disc = MST_CreateDatadisk();
  HANDLE file_progress = PRG_CreateFileProgress();
  if (disc == INVALID_HANDLE_VALUE || file_progress == nullptr) std::abort();

  if (MST_LoadProjectDatadisk(disc, file_progress, u"/input.prj") == QD_OK) {
    // No window: the worker waits for the message to be set, then asks nothing.
    PRG_SetFileProgressMessage(file_progress, nullptr, 0x8003);
    while (PRG_GetFileProgressErrorCode(file_progress) == QD_E_BUSY) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    DWORD saved = MST_SaveProjectDatadisk(disc, file_progress, u"/output.prj");
    if (saved != QD_OK && saved != QD_E_NOT_FOUND && saved != QD_E_BAD_CHARACTER) std::abort();
  }
  PRG_DestroyFileProgress(file_progress);
  if (MST_DestroyDatadisk(disc) != QD_OK) std::abort();
  return 0;
}
