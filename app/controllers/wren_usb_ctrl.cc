#include "app/controllers/wren_usb_ctrl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/controllers/sel_flash_mem_dlg.h"
#include "app/controllers/wren_data_ctrl.h"
#include "app/prompting/controller_ui.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/drive_map.h"
#include "platform/file_time.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "tarnfold/tarnfold.h"

namespace quenvar::app {
namespace {

// Report sites of the USB run (it belongs to the media list's run, module 4).
constexpr int kLocFormatFailed = 3630;
constexpr int kLocCopyFailed = 3759;
constexpr int kLocBadTarget = 3716;

constexpr size_t kCopyChunk = 1 << 20;
// Files a compare through mtools takes off the medium at once.
constexpr size_t kFetchGroup = 16;

int ErrnoOr(int fallback) {
  return errno != 0 ? errno : fallback;
}

// Splits a target folder into components; false for a component that would leave the volume.
bool SplitTarget(std::u16string_view target, std::vector<std::string>* parts) {
  size_t start = 0;
  while (start <= target.size()) {
    size_t end = target.find_first_of(u"\\/", start);
    if (end == std::u16string_view::npos) end = target.size();
    const std::u16string_view part = target.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u".." || part.find(u':') != std::u16string_view::npos) return false;
    parts->push_back(platform::Utf16ToUtf8(part));
  }
  return true;
}

// Reports a failure of the run with 15013 and the code.
void ReportUnexpected(int location, uint32_t code, PromptWindow owner,
                      std::u16string_view detail = {}) {
  std::u16string text(LoadString(ids::kUnexpectedError));
  text += detail;
  CErrorObject report(kModuleContentsList, location, static_cast<int>(code), text, code, owner);
}

// Opens the folder chain below root, creating what is missing one level at a time and never
// following a link. -1 with errno set on failure.
int OpenFolders(const std::string& root, const std::vector<std::string>& folders) {
  int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& name : folders) {
    if (dir < 0) return -1;
    if (::mkdirat(dir, name.c_str(), 0755) != 0 && errno != EEXIST) {
      const int saved = errno;
      ::close(dir);
      errno = saved;
      return -1;
    }
    const int child = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int saved = errno;
    ::close(dir);
    errno = saved;
    dir = child;
  }
  return dir;
}

bool WriteAll(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Copies source (read through env) to name in folder dir; existing files are overwritten. 0,
// QD_E_CANCELLED (the partial file is removed) or an errno value.
uint32_t CopyOne(platform::Env* env, const std::u16string& source, int dir, const std::string& name,
                 const std::atomic<int32_t>& cancel) {
  std::unique_ptr<platform::ReadableFile> in;
  platform::Status status = env->OpenReadable(platform::Utf16ToUtf8(source), &in);
  if (!status.ok()) return static_cast<uint32_t>(status.code() > 0 ? status.code() : EIO);
  // The times are those of the file opened. Its DOS attributes are an ioctl or an extended
  // attribute of the open file, which the Env does not model: they come from its descriptor.
  platform::FileInfo info;
  status = in->Stat(&info);
  if (!status.ok()) return static_cast<uint32_t>(status.code() > 0 ? status.code() : EIO);
  if (in->NativeHandle() < 0) return EIO;
  const int out =
      ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) return static_cast<uint32_t>(ErrnoOr(EIO));
  std::vector<unsigned char> buffer(kCopyChunk);
  uint32_t result = 0;
  for (uint64_t offset = 0;;) {
    if (cancel.load()) {
      result = QD_E_CANCELLED;
      break;
    }
    size_t n = 0;
    status = in->ReadAt(offset, buffer.size(), buffer.data(), &n);
    if (!status.ok()) {
      result = static_cast<uint32_t>(status.code() > 0 ? status.code() : EIO);
      break;
    }
    if (n > 0 && !WriteAll(out, buffer.data(), n)) {
      result = static_cast<uint32_t>(ErrnoOr(EIO));
      break;
    }
    offset += n;
    if (n < buffer.size()) break;  // a short read is the end of the file
  }
  if (result == 0) {
    // The copy keeps the source's times and the read-only, hidden and system attributes the
    // source has (or, from a Linux file system, read-only for a file nobody may write), as a
    // desktop copy does.
    const struct timespec times[2] = {platform::TimespecFromFileTime(info.last_access_time),
                                      platform::TimespecFromFileTime(info.last_write_time)};
    if (::futimens(out, times) != 0) result = static_cast<uint32_t>(ErrnoOr(EIO));
    if (result == 0) {
      struct stat mode {};  // SourceDosAttributes reads the mode alone
      mode.st_mode = static_cast<mode_t>(info.mode);
      const int kept =
          usbmedia::KeepDosAttributes(out, usbmedia::SourceDosAttributes(in->NativeHandle(), mode));
      if (kept != 0) result = static_cast<uint32_t>(kept);
    }
  }
  in.reset();
  // A FUSE or flash driver may only report a failed write when the file is closed.
  if (::close(out) != 0 && result == 0) result = static_cast<uint32_t>(ErrnoOr(EIO));
  if (result != 0) ::unlinkat(dir, name.c_str(), 0);
  return result;
}

// How the compare names a file of a volume reached through mtools: "U:\folder\name".
std::u16string VolumeName(char letter, const UsbCopyItem& item) {
  std::string path(1, letter);
  path += ":";
  for (const std::string& folder : item.folders) path += "\\" + folder;
  path += "\\" + item.name;
  return platform::Utf8ToUtf16(path);
}

class FatToolFile : public DiscFile {
 public:
  explicit FatToolFile(std::unique_ptr<usbmedia::FatTool::Reader> reader)
      : reader_(std::move(reader)) {}
  uint64_t size() const override { return reader_->size(); }
  bool Read(void* buffer, uint32_t length, uint32_t* read) override {
    return reader_->Read(buffer, length, read);
  }

 private:
  std::unique_ptr<usbmedia::FatTool::Reader> reader_;
};

std::u16string JoinLocal(const std::string& root, const UsbCopyItem& item) {
  std::string path = root;
  for (const std::string& folder : item.folders) path += "/" + folder;
  path += "/" + item.name;
  return platform::Utf8ToUtf16(path);
}

}  // namespace

double UsbGigabytes(uint64_t megabytes) {
  return static_cast<double>(megabytes) / 1024.0 + 0.1;
}

bool IsUsbCandidate(uint64_t capacity_bytes, uint64_t required_mb) {
  const uint64_t megabytes = capacity_bytes >> 20;
  return megabytes > required_mb && megabytes - required_mb > kUsbSpareMegabytes;
}

UsbFormatRequest MakeUsbFormatRequest(char16_t letter, std::u16string_view label,
                                      uint32_t file_system) {
  UsbFormatRequest request;
  request.letter = letter;
  const size_t n = label.size() < 12 ? label.size() : 12;
  for (size_t i = 0; i < n; ++i) request.label[i] = label[i];
  request.file_system = static_cast<int32_t>(file_system);
  return request;
}

bool MakeUsbCopyList(const FileMap& map, std::vector<UsbCopyItem>* items,
                     std::u16string* bad_target) {
  items->clear();
  for (const auto& [source, target] : map) {
    UsbCopyItem item;
    item.source = source;
    const size_t slash = source.find_last_of(u'/');
    const std::u16string name = slash == std::u16string::npos ? source : source.substr(slash + 1);
    if (!SplitTarget(target, &item.folders) || name.empty() || name == u"." || name == u"..") {
      if (bad_target) *bad_target = target + u"\\" + name;
      items->clear();
      return false;
    }
    item.name = platform::Utf16ToUtf8(name);
    items->push_back(std::move(item));
  }
  return true;
}

CWrenUsbCtrl::CWrenUsbCtrl() = default;

CWrenUsbCtrl::~CWrenUsbCtrl() = default;

usbmedia::UsbMediaList& CWrenUsbCtrl::devices() {
  return external_list_ != nullptr ? *external_list_ : own_list_;
}

void CWrenUsbCtrl::Bars(uint32_t a, uint32_t b, bool reset) {
  if (display_ != nullptr) display_->SetUsbBars(a, b, reset);
}

template <typename Body, typename Tick>
uint32_t CWrenUsbCtrl::RunWorker(Body body, Tick tick) {
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  uint32_t result = 0;
  std::thread worker;
  try {
    worker = std::thread([&] {
      const uint32_t r = body();
      std::lock_guard<std::mutex> lock(mutex);
      result = r;
      finished = true;
      finished_cv.notify_one();
    });
  } catch (const std::system_error& e) {
    return static_cast<uint32_t>(e.code().value() != 0 ? e.code().value() : EAGAIN);
  }
  ControllerUi& ui = CurrentControllerUi();
  int32_t shown = -1;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (finished_cv.wait_for(lock, std::chrono::milliseconds(kUsbPollMs),
                               [&] { return finished; }))
        break;
    }
    ui.ProcessPendingMessages();
    if (display_ != nullptr && display_->cancel_requested()) Cancel();
    // The compare stops inside a large file only through the verifier's own flag.
    if (cancel_.load()) verifier_.Cancel();
    const int32_t now = done_.load();
    if (now != shown) {
      shown = now;
      tick(static_cast<uint32_t>(now));
    }
  }
  worker.join();
  if (done_.load() != shown) tick(static_cast<uint32_t>(done_.load()));
  return result;
}

uint32_t CWrenUsbCtrl::CreateUsbDisc(CContentsItem* item, int disc, int32_t verify_mode,
                                     PromptWindow owner) {
  DiscJobSettings settings;
  if (item == nullptr || !item->GetDiscSettings(disc, &settings)) return QD_E_DRIVER_REQUEST;
  const uint64_t required = settings.required_size;
  const double gigabytes = UsbGigabytes(required);
  ShowAppMessage(FormatString(ids::kInsertUsb, {gigabytes}), PromptButtons::kOk,
                 PromptIcon::kInformation, owner);

  usbmedia::UsbMediaList& list = devices();
  list.Rescan();
  std::vector<usbmedia::UsbDisk> candidates;
  for (int i = 0; i < list.DeviceCount(); ++i) {
    usbmedia::UsbDisk disk;
    if (IsUsbCandidate(list.DiskSpace(i), required) && list.DiskInfo(i, &disk))
      candidates.push_back(disk);
  }
  if (candidates.empty()) {
    ShowAppMessage(FormatString(ids::kInsertUsbThenCreate, {gigabytes}), PromptButtons::kOk,
                   PromptIcon::kWarning, owner);
    return QD_E_CANCELLED;
  }
  size_t choice = 0;
  if (candidates.size() >= 2) {
    CSelFlashMemDlg dialog;
    int32_t line = -1;
    if (dialog.Run(owner, &list, required, &line) != kIdOk || line < 0 ||
        static_cast<size_t>(line) >= candidates.size())
      return QD_E_CANCELLED;
    choice = static_cast<size_t>(line);
  }
  if (ShowAppMessage(LoadString(ids::kAskFormatUsb), PromptButtons::kOkCancel, PromptIcon::kWarning,
                     owner) != kIdOk)
    return QD_E_CANCELLED;

  const char letter = candidates[choice].letter;
  ControllerUi& ui = CurrentControllerUi();
  ui.SetExecutionState(kEsKeepAwake);
  running_.store(1);
  const uint32_t result = CreateUsbMedium(item, disc, verify_mode, letter, owner);
  if (result == 0) {
    const usbmedia::EjectResult ejected = usbmedia::Eject(letter);
    if (eject_observer_) eject_observer_(letter, ejected);
  }
  ui.SetExecutionState(kEsContinuous);
  running_.store(0);
  return result;
}

uint32_t CWrenUsbCtrl::CreateUsbMedium(CContentsItem* item, int disc, int32_t verify_mode,
                                       char letter, PromptWindow owner) {
  cancel_.store(0);
  done_.store(0);
  verifier_.PrepareFiles(2, false);
  letter_ = letter;
  DiscJobSettings settings;
  if (item == nullptr || !item->GetDiscSettings(disc, &settings)) return QD_E_DRIVER_REQUEST;

  // The files are gathered and checked before the medium is formatted: a file set that cannot be
  // read, or a target outside the volume, must not cost the user the stick's contents.
  std::vector<UsbCopyItem> items;
  uint32_t result = GatherUsbFiles(item, disc, owner, &items);
  if (result != 0) return result;
  // A bootable disc's no-emulation boot program starts the stick through the BIOS: the boot
  // sector Tarnfold gives a FAT32 volume loads it from the root folder, and it is compared too.
  // Like the file sets, it is checked before the medium is formatted.
  const CDiscItem* boot = item->Disc(disc);
  if (boot != nullptr && boot->bootable() && boot->emulation() == kEmulationNone &&
      settings.file_system != kUsbFileSystemNtfs) {
    result = AddBootProgram(*boot, owner, &items);
    if (result != 0) return result;
  }

  const UsbFormatRequest request = MakeUsbFormatRequest(
      static_cast<char16_t>(letter), settings.volume_label, settings.file_system);
  result = FormatStep(request);
  if (result != 0) {
    CErrorObject report(kModuleContentsList, kLocFormatFailed, static_cast<int>(result),
                        LoadString(ids::kFormatFailed), result, owner);
    return result;
  }
  if (cancel_.load() || (display_ != nullptr && display_->cancel_requested()))
    return QD_E_CANCELLED;
  return CopyToFormattedMedium(letter, items, verify_mode, owner);
}

uint32_t CWrenUsbCtrl::GatherUsbFiles(CContentsItem* item, int disc, PromptWindow owner,
                                      std::vector<UsbCopyItem>* items) {
  FileMap map;
  CWrenDataCtrl collector;
  collector.set_env(env_);
  std::u16string bad_target;
  const int file_sets = item->FileSetCount(disc);
  for (int i = 0; i < file_sets; ++i) {
    const int added = item->AddFileSetToMap(
        disc, i,
        [&collector, &bad_target](const CFileSet& set, FileMap* into) {
          // A target or a listed name that climbs out of the volume is refused by name.
          if (ClimbsOut(set.target_path())) {
            bad_target = u"TargetPath=" + set.target_path();
            return 0;
          }
          for (const std::u16string& name : set.files()) {
            if (ClimbsOut(name)) {
              bad_target = set.target_path() + u"\\" + name;
              return 0;
            }
          }
          return collector.CollectFileSet(&set, into);
        },
        &map);
    if (added == 0) {
      if (!bad_target.empty())
        ReportUnexpected(kLocBadTarget, QD_E_DRIVER_REQUEST, owner, bad_target);
      return QD_E_DRIVER_REQUEST;
    }
  }
  if (!MakeUsbCopyList(map, items, &bad_target)) {
    ReportUnexpected(kLocBadTarget, QD_E_DRIVER_REQUEST, owner, bad_target);
    return QD_E_DRIVER_REQUEST;
  }
  return 0;
}

uint32_t CWrenUsbCtrl::AddBootProgram(const CDiscItem& boot, PromptWindow owner,
                                      std::vector<UsbCopyItem>* items) {
  std::unique_ptr<platform::ReadableFile> loader;
  if (!env_->OpenReadable(platform::Utf16ToUtf8(boot.boot_image()), &loader).ok()) {
    ShowAppMessage(FormatString(ids::kOpenFileFailed, {boot.boot_image()}), PromptButtons::kOk,
                   PromptIcon::kWarning, owner);
    return QD_E_SOURCE_MISSING;
  }
  // A stick whose boot sector cannot load the whole program would not start: refused, not
  // reported as a bootable medium.
  if (loader->Size() == 0 || loader->Size() > TF_BIOS_LOADER_MAX_SIZE) {
    ShowAppMessage(FormatString(ids::kBootProgramTooLargeForUsb, {boot.boot_image()}),
                   PromptButtons::kOk, PromptIcon::kWarning, owner);
    return QD_E_NO_BOOT_IMAGE;
  }
  items->push_back({boot.boot_image(), {}, TF_BIOS_LOADER_NAME});
  return 0;
}

uint32_t CWrenUsbCtrl::CopyToFormattedMedium(char letter, const std::vector<UsbCopyItem>& items,
                                             int32_t verify_mode, PromptWindow owner) {
  int error = 0;
  std::string why;
  volume_ = usbmedia::UsbVolume::Mount(platform::DriveMap::Current(), letter, &error, &why);
  if (!volume_) {
    const auto result = static_cast<uint32_t>(error != 0 ? error : EIO);
    ReportUnexpected(kLocCopyFailed, result, owner);
    return result;
  }
  mount_point_ = volume_->path();

  const auto count = static_cast<uint32_t>(items.size());
  if (display_ != nullptr) display_->ShowPhaseText(0);
  Bars(count, verify_mode != 0 ? 2 * count : count, true);
  uint32_t result = CopyStep(items, owner);

  if (result == 0 && !cancel_.load() && verify_mode != 0) {
    // Remounting drops what the kernel cached while copying: the compare reads the medium.
    const int remounted = volume_->Remount();
    if (remounted != 0) {
      result = static_cast<uint32_t>(remounted);
      ReportUnexpected(kLocCopyFailed, result, owner);
    } else {
      if (display_ != nullptr) display_->ShowPhaseText(1);
      cancel_.store(0);
      done_.store(0);
      result = CompareStep(items);
    }
  }

  const int unmounted = volume_->Unmount();
  if (unmounted != 0 && result == 0) {
    // Files still in flight: the medium is not complete.
    result = static_cast<uint32_t>(unmounted);
    ReportUnexpected(kLocCopyFailed, result, owner);
  }
  volume_.reset();
  mount_point_.clear();
  return result;
}

uint32_t CWrenUsbCtrl::FormatStep(const UsbFormatRequest& request) {
  const char16_t* name =
      request.file_system == static_cast<int32_t>(kUsbFileSystemNtfs) ? u"NTFS" : u"FAT32";
  const UsbFormatRequest copy = request;
  return RunWorker(
      [copy, name] {
        return static_cast<uint32_t>(
            Tarnfold(copy.letter, name, copy.label[0] != 0 ? copy.label : nullptr));
      },
      [](uint32_t) {});
}

uint32_t CWrenUsbCtrl::CopyStep(const std::vector<UsbCopyItem>& items, PromptWindow owner) {
  done_.store(0);
  const std::string root = mount_point_;
  usbmedia::FatTool* tool = volume_ ? volume_->fat_tool() : nullptr;
  const uint32_t result = RunWorker(
      [this, &items, &root, tool]() -> uint32_t {
        if (tool != nullptr) return CopyThroughTool(tool, items);
        for (const UsbCopyItem& item : items) {
          const int dir = OpenFolders(root, item.folders);
          if (dir < 0) return static_cast<uint32_t>(ErrnoOr(EIO));
          if (cancel_.load()) {
            ::close(dir);
            return QD_E_CANCELLED;
          }
          const uint32_t copied = CopyOne(env_, item.source, dir, item.name, cancel_);
          ::close(dir);
          if (copied != 0) return cancel_.load() ? QD_E_CANCELLED : copied;
          done_.fetch_add(1);
        }
        return 0;
      },
      [this](uint32_t n) { Bars(n, n, false); });
  if (result != 0 && result != QD_E_CANCELLED) ReportUnexpected(kLocCopyFailed, result, owner);
  return result;
}

uint32_t CWrenUsbCtrl::CopyThroughTool(usbmedia::FatTool* tool,
                                       const std::vector<UsbCopyItem>& items) {
  // Files of one folder go to the tool together; the map lists a folder's files side by side.
  size_t first = 0;
  while (first < items.size()) {
    size_t end = first + 1;
    while (end < items.size() && items[end].folders == items[first].folders) ++end;
    if (cancel_.load()) return QD_E_CANCELLED;
    const int made = tool->MakeFolders(items[first].folders);
    if (made != 0) return static_cast<uint32_t>(made);
    std::vector<usbmedia::FatTool::Source> sources;
    for (size_t i = first; i < end; ++i)
      sources.push_back({platform::Utf16ToUtf8(items[i].source), items[i].name});
    const uint32_t copied =
        tool->CopyInto(items[first].folders, sources, &cancel_,
                       [this](size_t n) { done_.fetch_add(static_cast<int32_t>(n)); });
    if (copied == usbmedia::FatTool::kCancelled || (copied != 0 && cancel_.load()))
      return QD_E_CANCELLED;
    if (copied != 0) return copied;
    first = end;
  }
  return 0;
}

uint32_t CWrenUsbCtrl::CompareStep(const std::vector<UsbCopyItem>& items) {
  done_.store(0);
  verifier_.PrepareFiles(2, false);
  const std::string root = mount_point_;
  const auto count = static_cast<uint32_t>(items.size());
  usbmedia::FatTool* tool = volume_ ? volume_->fat_tool() : nullptr;
  return RunWorker(
      [this, &items, &root, tool]() -> uint32_t {
        for (size_t i = 0; i < items.size(); ++i) {
          const UsbCopyItem& item = items[i];
          if (cancel_.load()) return QD_E_CANCELLED;
          if (tool != nullptr &&
              (i == 0 || items[i - 1].folders != item.folders || i % kFetchGroup == 0)) {
            // The small files of the next group come off the medium with one tool run.
            std::vector<std::string> names;
            for (size_t j = i;
                 j < items.size() && j < i + kFetchGroup && items[j].folders == item.folders; ++j)
              names.push_back(items[j].name);
            if (tool->Fetch(item.folders, names) != 0) tool->ForgetListings();
          }
          const uint32_t compared =
              tool == nullptr
                  ? verifier_.CompareFile(item.source, JoinLocal(root, item))
                  : verifier_.CompareFile(
                        item.source, VolumeName(letter_, item),
                        [tool, &item](const std::u16string&) -> std::unique_ptr<DiscFile> {
                          auto reader = tool->Open(item.folders, item.name);
                          if (!reader) return nullptr;
                          return std::make_unique<FatToolFile>(std::move(reader));
                        });
          // A compare stopped inside a file ends early without a result of its own.
          if (cancel_.load()) return QD_E_CANCELLED;
          if (compared != 0) return compared;
          done_.fetch_add(1);
        }
        return 0;
      },
      [this, count](uint32_t n) { Bars(n, count + n, false); });
}

}  // namespace quenvar::app
