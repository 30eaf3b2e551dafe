#include "app/contents/contents_model.h"

#include <cerrno>
#include <new>

#include "app/prompting/error_object.h"
#include "app/prompting/prompt.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/system_info.h"
#include "platform/unicode.h"

namespace quenvar::app {
namespace {

using platform::IniFile;

// Report sites of the accessors (module 3).
enum AccessorLocation : int {
  kLocDiscCount = 310,
  kLocDiscTitle = 311,
  kLocIsChecked = 312,
  kLocSetAllChecked = 314,
  kLocStatus = 315,
  kLocSetStatus = 316,
  kLocIsBootable = 317,
  kLocMediaKind = 319,
  kLocRequiredSize = 320,
  kLocBootImage = 321,
  kLocDiscSettings = 322,
  kLocFileSetCount = 323,
  kLocAddFileSet = 324,
  kLocDisc = 325,
};

// Where the list reports running out of memory while building an item.
constexpr int kLocListOutOfMemory = 513;
constexpr int kLocConfigurationRefused = 517;

std::u16string Read(const IniFile& file, std::u16string_view section, std::u16string_view key,
                    std::u16string_view default_value = u"") {
  return file.GetString(section, key, default_value, kValueCapacity);
}

bool HasKeys(const IniFile& file, std::u16string_view section) { return !file.KeyNames(section).empty(); }

// "%02d": at least two digits.
std::u16string TwoDigits(int n) {
  std::u16string digits = platform::Utf8ToUtf16(std::to_string(n));
  if (digits.size() < 2) digits.insert(digits.begin(), u'0');
  return digits;
}

std::u16string FourDigits(int n) {
  std::u16string digits = platform::Utf8ToUtf16(std::to_string(n));
  while (digits.size() < 4) digits.insert(digits.begin(), u'0');
  return digits;
}

bool Contains(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

void ReportMissing(int location) {
  CErrorObject error(kModuleContentsItem, location, kErrorInternal, u"", EINVAL, nullptr);
}

struct DiscTypeKeyword {
  std::u16string_view keyword;
  int media_kind;
  uint32_t file_system;
};

// Tested in this order, whole value, case-sensitive.
constexpr DiscTypeKeyword kDiscTypes[] = {
    {u"DVDDL", kMediaDvdDl, kFileSystemIsoJolietUdf}, {u"DVD", kMediaDvd, kFileSystemIsoJolietUdf},
    {u"CD", kMediaCd, kFileSystemIsoJoliet},          {u"HDDVD", kMediaHdDvd, kFileSystemIsoJolietUdf250},
    {u"HDDVDDL", kMediaHdDvdDl, kFileSystemIsoJolietUdf250}, {u"USB", kMediaUsb, kFileSystemUsb},
};

}  // namespace

IniLoader DiskIniLoader() {
  return [](const std::u16string& path) {
    IniFile file;
    const platform::Status loaded = IniFile::Load(platform::Utf16ToUtf8(path), &file);
    if (loaded.ok()) return file;
    // An absent file reads as an empty one; a file that is there but refused (no regular file, too
    // large, unreadable) is named, or the user would only see media missing from the list.
    if (loaded.code() != ENOENT) {
      CErrorObject error(kModuleContentsList, kLocConfigurationRefused, kErrorInternal,
                         FormatString(ids::kReadFileFailed, {path}),
                         static_cast<uint32_t>(loaded.code()), CurrentPrompter().MainWindow());
    }
    return IniFile();
  };
}

uint64_t LeadingDecimal(std::u16string_view text) {
  uint64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') break;
    const uint64_t digit = c - u'0';
    if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    value = value * 10 + digit;
  }
  return value;
}

// ---- CFileSet ----

int CFileSet::Load(const IniFile& file, std::u16string_view file_set_id) {
  const std::u16string section = u"FILESET" + std::u16string(file_set_id);
  if (!HasKeys(file, section)) return 0;
  include_subfolders_ = Read(file, section, u"SubFolder", u"Yes") == u"Yes" ? 1 : 0;
  source_path_ = Read(file, section, u"SourcePath");
  target_path_ = Read(file, section, u"TargetPath");
  files_.clear();
  for (int k = 1; k <= kMaxListedFiles; ++k) {
    std::u16string name = Read(file, section, u"File" + FourDigits(k));
    if (name.empty()) break;
    files_.push_back(std::move(name));
  }
  return 1;
}

// ---- CDiscItem ----

int CDiscItem::Load(const IniFile& file, std::u16string_view disc_id) {
  const std::u16string section = u"DISC" + std::u16string(disc_id);
  if (!HasKeys(file, section)) return 0;

  title_ = Read(file, section, u"DiscTitle");
  const std::u16string type = Read(file, section, u"DiscType");
  const DiscTypeKeyword* kind = nullptr;
  for (const DiscTypeKeyword& keyword : kDiscTypes) {
    if (type == keyword.keyword) {
      kind = &keyword;
      break;
    }
  }
  if (!kind) return 0;
  media_kind_ = kind->media_kind;
  file_system_ = kind->file_system;
  if (media_kind_ == kMediaUsb) required_size_ = LeadingDecimal(Read(file, section, u"DiscSize"));

  volume_label_ = Read(file, section, u"VolumeLabel");
  boot_image_ = Read(file, section, u"BootImage");
  // A disc with an EFI boot image is a data disc like one with a boot image: its ImageFile is
  // ignored.
  efi_boot_image_ = Read(file, section, u"EfiBootImage");
  if (!boot_image_.empty()) {
    bootable_ = 1;
    ReadEmulation(file, section);
  } else {
    bootable_ = 0;
    if (efi_boot_image_.empty()) image_file_ = Read(file, section, u"ImageFile");
    has_image_file_ = image_file_.empty() ? 0 : 1;
  }

  for (int f = 1; f <= kMaxNumbered; ++f) {
    auto file_set = std::make_unique<CFileSet>();
    if (!file_set->Load(file, std::u16string(disc_id) + TwoDigits(f))) break;
    file_sets_.push_back(std::move(file_set));
  }
  return 1;
}

void CDiscItem::ReadEmulation(const IniFile& file, const std::u16string& section) {
  const std::u16string emulation = Read(file, section, u"Emulation", u"FD");
  if (Contains(emulation, u"NO")) {
    emulation_ = kEmulationNone;
    load_segment_ = static_cast<uint16_t>(
        LeadingDecimal(Read(file, section, u"LoadSegment", u"BOOTABLE_FD_SEGMENT")));
    sector_count_ = static_cast<uint16_t>(
        LeadingDecimal(Read(file, section, u"SectorNum", u"BOOTABLE_FD_SECTOR")));
  } else if (Contains(emulation, u"PE")) {
    // A preinstallation-environment loader: newer platforms load a larger first stage.
    emulation_ = kEmulationPreinstall;
    load_segment_ = 0;
    sector_count_ = platform::GetPlatformVersion().AtLeast(6, 1) ? 8 : 4;
    file_version_number_ = 0;
    file_system_ = kFileSystemIsoJoliet;
  } else {
    emulation_ = kEmulationFloppy;
  }
}

const CFileSet* CDiscItem::file_set(int index) const {
  if (index < 0 || index >= file_set_count()) return nullptr;
  return file_sets_[index].get();
}

// ---- CDiscSet ----

int CDiscSet::Load(const IniFile& file, std::u16string_view set_id) {
  const std::u16string section = u"DISCSET" + std::u16string(set_id);
  if (!HasKeys(file, section)) return 0;
  title_ = Read(file, section, u"DiscSetTitle");
  description_ = Read(file, section, u"Description");
  for (int d = 1; d <= kMaxNumbered; ++d) {
    auto disc = std::make_unique<CDiscItem>();
    if (!disc->Load(file, std::u16string(set_id) + TwoDigits(d))) break;
    discs_.push_back(std::move(disc));
  }
  return 1;
}

CDiscItem* CDiscSet::disc(int index) {
  if (index < 0 || index >= disc_count()) return nullptr;
  return discs_[index].get();
}

const CDiscItem* CDiscSet::disc(int index) const {
  if (index < 0 || index >= disc_count()) return nullptr;
  return discs_[index].get();
}

// ---- CContentsItem ----

int CContentsItem::Load(const std::u16string& path, const IniLoader& loader) {
  path_ = path;
  const IniFile file = loader(path);
  if (!HasKeys(file, u"CONTENTS")) return 0;
  title_ = Read(file, u"CONTENTS", u"ContentsTitle");
  contents_id_ = Read(file, u"CONTENTS", u"ContentsID");
  if (title_.empty() || contents_id_.empty()) return 0;
  for (int s = 1; s <= kMaxNumbered; ++s) {
    auto set = std::make_unique<CDiscSet>();
    if (!set->Load(file, TwoDigits(s))) break;
    sets_.push_back(std::move(set));
  }
  return 1;
}

CDiscSet* CContentsItem::set(int index) {
  if (index < 0 || index >= set_count()) return nullptr;
  return sets_[index].get();
}

const CDiscSet* CContentsItem::set(int index) const {
  if (index < 0 || index >= set_count()) return nullptr;
  return sets_[index].get();
}

CDiscSet* CContentsItem::CurrentSet(int location) {
  CDiscSet* current = set(current_set_);
  if (!current) ReportMissing(location);
  return current;
}

CDiscItem* CContentsItem::DiscAt(int disc, int location) {
  CDiscSet* current = set(current_set_);
  CDiscItem* item = current ? current->disc(disc) : nullptr;
  if (!item) ReportMissing(location);
  return item;
}

int CContentsItem::DiscCount() {
  CDiscSet* current = CurrentSet(kLocDiscCount);
  return current ? current->disc_count() : -1;
}

std::u16string CContentsItem::DiscTitle(int disc) {
  CDiscItem* item = DiscAt(disc, kLocDiscTitle);
  return item ? item->title() : std::u16string();
}

int CContentsItem::IsChecked(int disc) {
  CDiscItem* item = DiscAt(disc, kLocIsChecked);
  return item ? item->checked() : 0;
}

int CContentsItem::SetAllChecked(int checked) {
  CDiscSet* current = CurrentSet(kLocSetAllChecked);
  if (!current) return 0;
  for (int d = 0; d < current->disc_count(); ++d) current->disc(d)->set_checked(checked);
  return 1;
}

uint32_t CContentsItem::Status(int disc) {
  CDiscItem* item = DiscAt(disc, kLocStatus);
  return item ? item->status() : 0;
}

int CContentsItem::SetStatus(int disc, uint32_t status) {
  CDiscItem* item = DiscAt(disc, kLocSetStatus);
  if (!item) return 0;
  item->set_status(status);
  if (status != kDiscCreated) return 1;

  item->set_checked(0);
  CDiscSet* current = set(current_set_);
  bool all_created = true;
  for (int d = 0; d < current->disc_count(); ++d) {
    if (current->disc(d)->status() != kDiscCreated) all_created = false;
  }
  if (!all_created) {
    current->set_created(0);
    return 1;
  }
  // A complete set makes the item's other sets unnecessary for this run.
  current->set_created(1);
  for (int s = 0; s < set_count(); ++s) {
    if (s == current_set_) continue;
    for (int d = 0; d < sets_[s]->disc_count(); ++d) sets_[s]->disc(d)->set_checked(0);
  }
  return 1;
}

int CContentsItem::IsBootable(int disc) {
  CDiscItem* item = DiscAt(disc, kLocIsBootable);
  return item ? item->bootable() : 0;
}

int CContentsItem::MediaKindOf(int disc) {
  CDiscItem* item = DiscAt(disc, kLocMediaKind);
  return item ? item->media_kind() : 0;
}

uint64_t CContentsItem::RequiredSize(int disc) {
  CDiscItem* item = DiscAt(disc, kLocRequiredSize);
  return item ? item->required_size() : 0;
}

int CContentsItem::GetBootImage(int disc, BootImageSettings* settings) {
  CDiscItem* item = DiscAt(disc, kLocBootImage);
  if (!item || !settings) return 0;
  settings->path = item->boot_image();
  settings->emulation = item->emulation();
  settings->load_segment = item->load_segment();
  settings->sector_count = item->sector_count();
  return 1;
}

int CContentsItem::GetDiscSettings(int disc, DiscJobSettings* settings) {
  CDiscItem* item = DiscAt(disc, kLocDiscSettings);
  if (!item || !settings) return 0;
  settings->media_kind = item->media_kind();
  settings->file_system = item->file_system();
  settings->volume_label = item->volume_label();
  settings->disc_title = item->title();
  settings->image_path = item->image_file();
  settings->file_version_number = item->file_version_number();
  settings->required_size = item->required_size();
  return 1;
}

int CContentsItem::FileSetCount(int disc) {
  CDiscItem* item = DiscAt(disc, kLocFileSetCount);
  return item ? item->file_set_count() : -1;
}

int CContentsItem::AddFileSetToMap(int disc, int file_set, const FileSetCollector& collector, FileMap* map) {
  CDiscItem* item = DiscAt(disc, kLocAddFileSet);
  const CFileSet* set = item ? item->file_set(file_set) : nullptr;
  if (item && !set) ReportMissing(kLocAddFileSet);
  if (!set || !map || !collector) return 0;
  return collector(*set, map);
}

const CDiscItem* CContentsItem::Disc(int disc) { return DiscAt(disc, kLocDisc); }

// ---- CContentsList ----

int CContentsList::Load(const std::u16string& path, const IniLoader& loader) {
  items_.clear();
  const IniFile file = loader(path);
  const std::u16string verify = Read(file, u"VERIFYSETTINGS", u"Verify", u"Yes");
  if (Contains(verify, u"No")) {
    verify_mode_ = kVerifyOff;
  } else {
    verify_mode_ = Read(file, u"VERIFYSETTINGS", u"VerifyMode", u"Full") == u"Quick" ? kVerifyQuick : kVerifyFull;
  }

  for (int n = 1; n <= kMaxNumbered; ++n) {
    const std::u16string section = u"CONTENTS" + TwoDigits(n);
    if (!HasKeys(file, section)) break;
    const std::u16string contents_path = Read(file, section, u"IniPath");
    if (contents_path.empty()) break;
    try {
      auto item = std::make_unique<CContentsItem>();
      if (item->Load(contents_path, loader) == 1 && item->set_count() > 0) items_.push_back(std::move(item));
    } catch (const std::bad_alloc&) {
      CErrorObject error(kModuleContentsList, kLocListOutOfMemory, kErrorInternal, u"", ENOMEM, nullptr);
      return 0;
    }
  }
  return 1;
}

CContentsItem* CContentsList::item(int index) {
  if (index < 0 || index >= item_count()) return nullptr;
  return items_[index].get();
}

const CContentsItem* CContentsList::item(int index) const {
  if (index < 0 || index >= item_count()) return nullptr;
  return items_[index].get();
}

}  // namespace quenvar::app
