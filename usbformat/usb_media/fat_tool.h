// Reaching a FAT32 volume through mtools where the kernel has no vfat driver.
//
// The FUSE driver for FAT turns names outside ASCII into EPERM and shifts dates by a month, so a
// kernel without vfat writes and reads the medium with mtools instead: long Unicode names (the
// tools run with a UTF-8 locale), modification times kept (mcopy -m, stored in local time as
// every FAT writer does), the read-only, hidden and system attributes kept (SourceDosAttributes).
// The tools work on the partition's node directly; nothing is mounted.
//
// mtools reads "[" in a path as the start of a pattern, so every component that is looked up is
// written with "[" as "[[]". Names that FAT cannot hold (control characters and "*?:<>|\"/\\")
// are refused with EINVAL, as the kernel's driver refuses them. Thread-compatible.
#ifndef QUENVAR_USBFORMAT_USB_MEDIA_FAT_TOOL_H_
#define QUENVAR_USBFORMAT_USB_MEDIA_FAT_TOOL_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quenvar::usbmedia {

// A path below the volume's root as mtools takes it ("::/A/B"), "[" escaped.
std::string FatToolPath(const std::vector<std::string>& components);
// False for a name a FAT long name cannot hold.
bool IsFatName(const std::string& name);

// One entry of a folder listing: its long name (or 8.3 name) and size.
struct FatListing {
  std::map<std::string, uint64_t> files;
  std::set<std::string> folders;
};
// Parses what "mdir -a" prints for one folder.
FatListing ParseFatListing(const std::string& text);

class FatTool {
 public:
  explicit FatTool(std::string node);

  // The partition node the tools work on.
  const std::string& node() const { return node_; }

  // Creates the folder and every missing one above it: 0 or an errno value.
  int MakeFolders(const std::vector<std::string>& folders);

  struct Source {
    std::string path;  // local file
    std::string name;  // its name in the folder (mostly its last component)
  };
  // Copies the sources into folder (existing files are overwritten), keeping their modification
  // times and the read-only, hidden and system attributes they have (see SourceDosAttributes). 0,
  // kCancelled when cancel was set (the tool is stopped), or an errno value (ENOENT a source
  // vanished, EINVAL a name FAT cannot hold, EIO the tool failed).
  static constexpr uint32_t kCancelled = 0xFFFFFFFFu;
  // on_copied hears the count of files each finished batch added.
  uint32_t CopyInto(const std::vector<std::string>& folder, const std::vector<Source>& sources,
                    const std::atomic<int32_t>* cancel,
                    const std::function<void(size_t)>& on_copied = {});

  // The size of file name in folder; false when it is not there.
  bool FileSize(const std::vector<std::string>& folder, const std::string& name, uint64_t* size);

  // Reading one file of the volume from start to end.
  class Reader {
   public:
    virtual ~Reader() = default;
    virtual uint64_t size() const = 0;
    // Up to length bytes; false when the tool failed.
    virtual bool Read(void* buffer, uint32_t length, uint32_t* read) = 0;
  };
  // Null when the file is not on the volume or the tool cannot be started.
  std::unique_ptr<Reader> Open(const std::vector<std::string>& folder, const std::string& name);

  // Reads the small files among names (up to 16 MiB together) from the volume with one tool run
  // into a private folder, where Open then finds them; the files of an earlier Fetch are removed.
  // Large files are left to Open, which streams them. Starting a tool per file costs far more
  // than a small file's bytes. 0 or an errno value.
  int Fetch(const std::vector<std::string>& folder, const std::vector<std::string>& names);

  // Forgets listings and fetched files read before (after the volume changed).
  void ForgetListings();

  ~FatTool();
  FatTool(const FatTool&) = delete;
  FatTool& operator=(const FatTool&) = delete;

 private:
  void DropFetched();

  const FatListing* Listing(const std::vector<std::string>& folder);

  std::string node_;
  std::set<std::vector<std::string>> made_;
  std::map<std::vector<std::string>, FatListing> listings_;
  std::string fetch_folder_;  // private folder of fetched files, made on first use
  std::vector<std::string> fetched_folder_;
  std::set<std::string> fetched_;
};

// The environment every mtools call gets.
std::vector<std::string> FatToolEnvironment();

}  // namespace quenvar::usbmedia

#endif  // QUENVAR_USBFORMAT_USB_MEDIA_FAT_TOOL_H_
