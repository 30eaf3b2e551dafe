// Orvex controllers: comparing a written data disc with its sources.
//
// The verifier walks the Datadisk's tree, and for every file that came from a local source (the
// boot image and imported entries have none) reads the file back from the disc's volume through
// the engine ("X:\folder\name") and compares it with the source: the presence check (mode 0) only
// opens the disc file and compares sizes, quick mode also compares the first 2048 bytes, full mode
// every byte. Every written disc gets at least the presence check, so a disc that lacks a file of
// its tree never counts as created. Differences, unreadable files and files that
// cannot be opened are reported (module 2). The cancel flag may be set from the user interface
// while the walk processes pending messages; it stops the walk at the next file or chunk.
#ifndef QUENVAR_APP_CONTROLLERS_DATA_DISC_VERIFIER_H_
#define QUENVAR_APP_CONTROLLERS_DATA_DISC_VERIFIER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/controllers/disc_volume.h"
#include "platform/env.h"
#include "quillden/types.h"

namespace quenvar::app {

inline constexpr uint32_t kVerifyChunk = 2048;

// Verify modes: the presence check every written disc gets, and the two the user can choose.
inline constexpr int32_t kVerifyPresence = 0;
inline constexpr int32_t kVerifyQuick = 1;
inline constexpr int32_t kVerifyFull = 2;

// One file of a Datadisk tree.
struct DiscTreeFile {
  std::u16string disc_path;  // "folder\name" below the root
  std::u16string source;     // the local source; empty for boot image and imported entries
};

// Lists every file of disc's tree, depth first: 0, or the engine's code.
uint32_t ListDiscTreeFiles(HANDLE disc, std::vector<DiscTreeFile>* files);

class DataDiscVerifier {
 public:
  // Stores the disc, drive and mode (0 presence, 1 quick, 2 full); false for a null or invalid disc
  // handle.
  bool Prepare(HANDLE disc, int32_t drive_number, int32_t mode);
  // Compares every file of disc with its copy on drive_number's volume: 0 equal, 0x08000032
  // cancelled, 0x0800003C different, 0x08000014 a file cannot be opened, 0x08000020 a read failed,
  // 0x08000011 a bad drive number, 0x09000000 no tree.
  uint32_t Run(int32_t drive_number, HANDLE disc);
  // Readies CompareFile for files outside a disc tree (mode 1 quick, 2 full) and clears the cancel
  // flag. A verifier used on a worker thread must not dispatch the main thread's messages: pass
  // pump_messages false there.
  void PrepareFiles(int32_t mode, bool pump_messages);
  // Compares one source file with one disc file ("X:\path") or a file of a mounted volume (an
  // absolute local path).
  uint32_t CompareFile(const std::u16string& source, const std::u16string& disc_path);
  // The same with the copy opened by open (a volume reached through a tool rather than a path);
  // disc_path names the copy in messages.
  using CopyOpener = std::function<std::unique_ptr<DiscFile>(const std::u16string&)>;
  uint32_t CompareFile(const std::u16string& source, const std::u16string& disc_path,
                       const CopyOpener& open);

  // The file system the sources are read through (tests inject faults); null restores
  // Env::Default(). Not owned; not while a compare runs.
  void set_env(platform::Env* env);

  void Cancel() { cancel_.store(1); }
  int32_t mode() const { return mode_; }
  int32_t files_verified() const { return files_verified_; }
  uint64_t bytes_verified() const { return bytes_verified_; }

 private:
  uint32_t Walk(HANDLE folder, const std::u16string& path);
  void Report(int location, int code, std::u16string_view text) const;

  platform::Env* env_ = platform::Env::Default();
  HANDLE disc_ = nullptr;
  int32_t drive_number_ = 0;
  int32_t mode_ = 0;
  bool pump_messages_ = true;
  int32_t files_verified_ = 0;
  uint64_t bytes_verified_ = 0;
  std::atomic<int32_t> cancel_{0};
  unsigned char source_buffer_[kVerifyChunk];
  unsigned char disc_buffer_[kVerifyChunk];
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_DATA_DISC_VERIFIER_H_
