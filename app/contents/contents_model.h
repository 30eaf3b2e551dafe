// Orvex contents: the recovery media configuration and its object model.
//
// The recovery area describes what can be created in two levels of INI files: a top-level file
// (verify settings, one CONTENTSnn section per contents item naming its contents file) and one
// contents file per item (CONTENTS, DISCSETss, DISCssdd, FILESETssddff sections). CContentsList
// loads them into CContentsItem -> CDiscSet -> CDiscItem -> CFileSet. Loading never reports to the
// user: missing sections end the numbered sequences, unusable items are dropped, a missing file
// reads as an empty one. Every value is cut to 259 characters as a 260-unit buffer would hold it.
// Numbered sequences stop after 99 (two-digit numbers) at every level; file lists after 9999.
//
// Objects own their children. They are not thread-safe: the main thread loads and changes them;
// controllers read them while the main thread waits for them.
#ifndef QUENVAR_APP_CONTENTS_CONTENTS_MODEL_H_
#define QUENVAR_APP_CONTENTS_CONTENTS_MODEL_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/contents/disc_job_settings.h"
#include "platform/ini_file.h"

namespace quenvar::app {

// Reads one configuration file; a missing or unreadable file gives an empty IniFile.
using IniLoader = std::function<platform::IniFile(const std::u16string& path)>;
IniLoader DiskIniLoader();

inline constexpr size_t kValueCapacity = 260;
inline constexpr int kMaxNumbered = 99;
inline constexpr int kMaxListedFiles = 9999;

enum MediaKind : int {
  kMediaCd = 1,
  kMediaDvd = 2,
  kMediaDvdDl = 3,
  kMediaHdDvd = 4,
  kMediaHdDvdDl = 5,
  kMediaUsb = 6,
};

inline constexpr uint32_t kFileSystemIsoJoliet = 1;
inline constexpr uint32_t kFileSystemIsoJolietUdf = 3;
inline constexpr uint32_t kFileSystemIsoJolietUdf250 = 5;
inline constexpr uint32_t kFileSystemUsb = 1001;

enum DiscStatus : uint32_t {
  kDiscNone = 0,
  kDiscCreated = 1,
  kDiscRecording = 2,
  kDiscVerifying = 3,
  kDiscError = 4,
};

enum BootEmulation : uint8_t {
  kEmulationNone = 0,
  kEmulationFloppy = 1,
  kEmulationPreinstall = 3,
};

// The leading decimal digits of text as a number (0 without any; saturating). The configuration's
// numbers are read this way, so "BOOTABLE_FD_SEGMENT" reads as 0 and "12ab" as 12.
uint64_t LeadingDecimal(std::u16string_view text);

class CFileSet {
 public:
  // 1 loaded, 0 when the section FILESET<id> is absent or has no keys.
  int Load(const platform::IniFile& file, std::u16string_view file_set_id);

  const std::u16string& source_path() const { return source_path_; }
  const std::u16string& target_path() const { return target_path_; }
  int file_count() const { return static_cast<int>(files_.size()); }
  const std::vector<std::u16string>& files() const { return files_; }
  int include_subfolders() const { return include_subfolders_; }

 private:
  std::u16string source_path_;
  std::u16string target_path_;
  std::vector<std::u16string> files_;
  int include_subfolders_ = 1;
};

class CDiscItem {
 public:
  // 1 loaded, 0 when the section DISC<id> is absent, has no keys, or its DiscType is unknown.
  int Load(const platform::IniFile& file, std::u16string_view disc_id);

  int checked() const { return checked_; }
  void set_checked(int checked) { checked_ = checked; }
  const std::u16string& title() const { return title_; }
  // The disc's status (0 none, 1 created, 2 recording, 3 verifying, 4 error); 1 is its created mark.
  uint32_t status() const { return status_; }
  void set_status(uint32_t status) { status_ = status; }
  int file_set_count() const { return static_cast<int>(file_sets_.size()); }
  int media_kind() const { return media_kind_; }
  uint32_t file_system() const { return file_system_; }
  const std::u16string& volume_label() const { return volume_label_; }
  int has_image_file() const { return has_image_file_; }
  const std::u16string& image_file() const { return image_file_; }
  int bootable() const { return bootable_; }
  const std::u16string& boot_image() const { return boot_image_; }
  // "EfiBootImage": the EFI system partition image that makes the disc boot through UEFI; empty
  // when the key is missing.
  const std::u16string& efi_boot_image() const { return efi_boot_image_; }
  uint8_t emulation() const { return emulation_; }
  uint16_t load_segment() const { return load_segment_; }
  uint16_t sector_count() const { return sector_count_; }
  int file_version_number() const { return file_version_number_; }
  const CFileSet* file_set(int index) const;
  uint64_t required_size() const { return required_size_; }

 private:
  void ReadEmulation(const platform::IniFile& file, const std::u16string& section);

  int checked_ = 1;
  std::u16string title_;
  uint32_t status_ = kDiscNone;
  int media_kind_ = 0;
  uint32_t file_system_ = 0;
  std::u16string volume_label_;
  int has_image_file_ = 0;
  std::u16string image_file_;
  int bootable_ = 0;
  std::u16string boot_image_;
  std::u16string efi_boot_image_;
  uint8_t emulation_ = kEmulationFloppy;
  uint16_t load_segment_ = 0x7C0;
  uint16_t sector_count_ = 1;
  int file_version_number_ = 1;
  std::vector<std::unique_ptr<CFileSet>> file_sets_;
  uint64_t required_size_ = 0;
};

class CDiscSet {
 public:
  // 1 loaded (possibly without discs), 0 when DISCSET<id> is absent or has no keys.
  int Load(const platform::IniFile& file, std::u16string_view set_id);

  int disc_count() const { return static_cast<int>(discs_.size()); }
  CDiscItem* disc(int index);
  const CDiscItem* disc(int index) const;
  const std::u16string& title() const { return title_; }
  const std::u16string& description() const { return description_; }
  int created() const { return created_; }
  void set_created(int created) { created_ = created; }
  int display_flag() const { return display_flag_; }
  void set_display_flag(int flag) { display_flag_ = flag; }

 private:
  std::vector<std::unique_ptr<CDiscItem>> discs_;
  std::u16string title_;
  std::u16string description_;
  int created_ = 0;
  int display_flag_ = 1;
};

// Expands one file set into a file map (the data disc controller's job); 1 or 0.
using FileSetCollector = std::function<int(const CFileSet& file_set, FileMap* map)>;

struct BootImageSettings {
  std::u16string path;
  uint8_t emulation = kEmulationFloppy;
  uint16_t load_segment = 0x7C0;
  uint16_t sector_count = 1;
};

class CContentsItem {
 public:
  // 1 loaded, 0 when the CONTENTS section is empty or lacks ContentsTitle or ContentsID.
  int Load(const std::u16string& path, const IniLoader& loader = DiskIniLoader());

  const std::u16string& title() const { return title_; }
  const std::u16string& contents_id() const { return contents_id_; }
  const std::u16string& path() const { return path_; }
  int set_count() const { return static_cast<int>(sets_.size()); }
  CDiscSet* set(int index);
  const CDiscSet* set(int index) const;
  uint32_t created() const { return created_; }
  void set_created(uint32_t created) { created_ = created; }

  // The disc set chosen in the item's selector; the accessors below address it.
  int current_set() const { return current_set_; }
  void set_current_set(int index) { current_set_ = index; }

  // Accessors of the current set. A missing set, disc or file set is reported (module 3, code
  // 0xF0, one location per accessor) and gives 0, or -1 for counts.
  int DiscCount();
  std::u16string DiscTitle(int disc);
  int IsChecked(int disc);
  int SetAllChecked(int checked);
  uint32_t Status(int disc);
  // Sets a disc's status. Status 1 (created) also unchecks the disc and, once every disc of the set
  // is created, marks the set created and unchecks the discs of the item's other sets; otherwise the
  // set's mark is cleared. Returns 1, or 0 when the disc is missing.
  int SetStatus(int disc, uint32_t status);
  int IsBootable(int disc);
  int MediaKindOf(int disc);
  uint64_t RequiredSize(int disc);
  int GetBootImage(int disc, BootImageSettings* settings);
  // Fills the fields of settings that the configuration gives (verify mode and next title are the
  // workflow's). Returns 1, or 0 when the disc is missing.
  int GetDiscSettings(int disc, DiscJobSettings* settings);
  int FileSetCount(int disc);
  int AddFileSetToMap(int disc, int file_set, const FileSetCollector& collector, FileMap* map);
  // The disc itself, or null (reported) when missing.
  const CDiscItem* Disc(int disc);

 private:
  CDiscSet* CurrentSet(int location);
  CDiscItem* DiscAt(int disc, int location);

  std::u16string title_;
  std::u16string contents_id_;
  std::vector<std::unique_ptr<CDiscSet>> sets_;
  std::u16string path_;
  uint32_t created_ = 0;
  int current_set_ = 0;
};

class CContentsList {
 public:
  enum VerifyMode : int { kVerifyOff = 0, kVerifyQuick = 1, kVerifyFull = 2 };

  // Reads the top-level file at path and builds the items. Returns 1 when loading ran to its end,
  // 0 when memory ran out (reported); the list holds whatever could be loaded either way.
  int Load(const std::u16string& path, const IniLoader& loader = DiskIniLoader());

  int item_count() const { return static_cast<int>(items_.size()); }
  CContentsItem* item(int index);
  const CContentsItem* item(int index) const;
  int verify_mode() const { return verify_mode_; }

 private:
  std::vector<std::unique_ptr<CContentsItem>> items_;
  int verify_mode_ = kVerifyFull;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTENTS_CONTENTS_MODEL_H_
