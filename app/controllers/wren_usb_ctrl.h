// Orvex controllers: creating one USB flash medium.
//
// CWrenUsbCtrl runs a disc of media kind 6 for the creation workflow: it tells the user the
// required size, finds the USB disks with enough room (more than required + 100 MB), lets the user
// choose when there are several (CSelFlashMemDlg), asks before formatting, formats the chosen disk
// with Tarnfold on a worker thread, mounts the new partition on a private mount point, copies the
// files of the disc's file sets on a second worker and compares them with their sources on a third
// (after remounting, so the compare reads the medium rather than the page cache), and ejects the
// disk only after full success. Copies keep their source's modification time and the read-only,
// hidden and system attributes the source has (usbmedia::SourceDosAttributes: a file on FAT or NTFS
// carries them, a Linux file only read-only). Where the kernel has no vfat, copy and compare go
// through mtools (usbmedia::FatTool) on the partition itself. While a worker runs, the main thread
// polls it every 10 ms and processes pending messages; the bars follow the file counts through
// UsbRunDisplay.
//
// Results: 0 created; 0x08000032 when no suitable disk was found, the user declined the choice or
// the formatting, or the run was cancelled (no message, the disk is not ejected); a Tarnfold code
// after a format failure (reported with 15076); the platform's error code (errno) after a failed
// copy (reported with 15013); a compare result (reported by the verifier); 0x09000000 when the
// disc's settings or file sets cannot be read.
//
// Safety: every copy target stays inside the USB volume. A target folder or listed name with a
// ".." component, or a drive specifier ("C:"), is refused with 15013 naming the entry before
// anything is formatted, and folders and files on the volume are created without following links.
//
// A controller is used on the main thread; Cancel() may be called from any thread (the cancel
// prompt's). running() is the "USB copy running" mark the system guards read.
#ifndef QUENVAR_APP_CONTROLLERS_WREN_USB_CTRL_H_
#define QUENVAR_APP_CONTROLLERS_WREN_USB_CTRL_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/contents/contents_model.h"
#include "app/contents/disc_job_settings.h"
#include "app/controllers/data_disc_verifier.h"
#include "app/prompting/prompt.h"
#include "platform/env.h"
#include "usb_media.h"
#include "usb_volume.h"

namespace quenvar::app {

// The main window's side of a USB run (the panel's ShowPhaseText and SetUsbBars, and the cancel the
// user confirmed). The creation run implements it; its calls come on the main thread.
class UsbRunDisplay {
 public:
  virtual ~UsbRunDisplay() = default;
  // The Information text and disc status of a phase: 0 copying (shown as writing), 1 comparing
  // (shown as verifying). No timer: USB progress comes from file counts.
  virtual void ShowPhaseText(uint32_t phase) = 0;
  // reset: the current bar's maximum is a, the total bar's b (files of this medium's phases);
  // otherwise a and b are the current and total counts.
  virtual void SetUsbBars(uint32_t a, uint32_t b, bool reset) = 0;
  // True once the user confirmed a cancel; the waiting loops pass it on to the running step.
  virtual bool cancel_requested() const = 0;
};

// File system codes of a disc's settings.
inline constexpr uint32_t kUsbFileSystemNtfs = 1002;
inline constexpr uint32_t kUsbFileSystemFat32 = 1001;

// A disk must have more than the required size plus this many megabytes.
inline constexpr uint64_t kUsbSpareMegabytes = 100;
// The polling slice of the waiting loops.
inline constexpr uint32_t kUsbPollMs = 10;

// Megabytes as the messages show them in gigabytes: mb / 1024 + 0.1 (printed "%.1f").
double UsbGigabytes(uint64_t megabytes);
// True when a disk of capacity_bytes can take a disc of required_mb megabytes.
bool IsUsbCandidate(uint64_t capacity_bytes, uint64_t required_mb);

// The request handed to the format thread.
struct UsbFormatRequest {
  char16_t letter = 0;
  char16_t label[13] = {};     // cut to 12 units
  int32_t file_system = 1001;  // 1002 NTFS, anything else FAT32
};
// Fills a request; the label is cut to 12 UTF-16 units.
UsbFormatRequest MakeUsbFormatRequest(char16_t letter, std::u16string_view label,
                                      uint32_t file_system);

// One file to put on the medium: the source, and its path below the volume's root as components
// (target folders first, the file name last).
struct UsbCopyItem {
  std::u16string source;
  std::vector<std::string> folders;  // UTF-8 components, none for the root
  std::string name;                  // UTF-8 file name
};
// Turns a file map into copy items; false (and *bad_target names it) when a target folder or a
// name would leave the volume: a ".." component, a drive specifier, or an empty or "." name.
bool MakeUsbCopyList(const FileMap& map, std::vector<UsbCopyItem>* items,
                     std::u16string* bad_target);

class CWrenUsbCtrl {
 public:
  CWrenUsbCtrl();
  ~CWrenUsbCtrl();
  CWrenUsbCtrl(const CWrenUsbCtrl&) = delete;
  CWrenUsbCtrl& operator=(const CWrenUsbCtrl&) = delete;

  // The main window's USB device list, kept across discs and rescanned for each; the controller
  // uses its own when none is set. Not owned.
  void set_device_list(usbmedia::UsbMediaList* list) { external_list_ = list; }
  // Where the phase texts and bars go; may be null (nothing shown). Not owned.
  void set_display(UsbRunDisplay* display) { display_ = display; }
  // The file system the sources are listed, read and compared through (tests inject faults); null
  // restores Env::Default(). Not owned; not while a run is going on.
  void set_env(platform::Env* env) {
    env_ = env != nullptr ? env : platform::Env::Default();
    verifier_.set_env(env_);
  }
  // Called after each eject with the letter and its outcome (the eject itself always runs).
  void set_eject_observer(std::function<void(char, usbmedia::EjectResult)> observer) {
    eject_observer_ = std::move(observer);
  }

  // The whole USB disc: size message, scan, choice, confirmation, format, copy, compare, eject.
  // disc addresses the current set of item; verify_mode 0 skips the compare (1 and 2 compare every
  // byte). owner owns the messages.
  uint32_t CreateUsbDisc(CContentsItem* item, int disc, int32_t verify_mode,
                         PromptWindow owner = nullptr);
  // Format, copy and compare on the USB drive of letter (no eject).
  uint32_t CreateUsbMedium(CContentsItem* item, int disc, int32_t verify_mode, char letter,
                           PromptWindow owner = nullptr);

  // Asks the running step to stop: the copy or compare ends with 0x08000032 at its next file or
  // chunk. Formatting is not interrupted; the copy that would follow is not started. Any thread.
  void Cancel() { cancel_.store(1); }
  bool cancel_requested() const { return cancel_.load() != 0; }
  // 1 while format, copy or compare run.
  int32_t running() const { return running_.load(); }
  // Files copied or compared in the current step.
  int32_t done() const { return done_.load(); }
  // The letter of the last chosen disk (0 before any).
  char driveLetter() const { return letter_; }
  // The mount point of the medium while it is mounted (empty otherwise).
  const std::string& mountPoint() const { return mount_point_; }

 private:
  usbmedia::UsbMediaList& devices();
  // The steps of CreateUsbMedium before the format: the copy list of the disc's file sets (0, or
  // 0x09000000 after telling the user of a bad target), and the BIOS boot program added to it
  // (0; 0x08000013 or 0x0800001A, told to the user).
  uint32_t GatherUsbFiles(CContentsItem* item, int disc, PromptWindow owner,
                          std::vector<UsbCopyItem>* items);
  uint32_t AddBootProgram(const CDiscItem& boot, PromptWindow owner,
                          std::vector<UsbCopyItem>* items);
  // After the format: mount the medium of letter, copy, remount and compare (verify_mode != 0),
  // unmount. Returns 0 only when every step did.
  uint32_t CopyToFormattedMedium(char letter, const std::vector<UsbCopyItem>& items,
                                 int32_t verify_mode, PromptWindow owner);
  uint32_t FormatStep(const UsbFormatRequest& request);
  uint32_t CopyStep(const std::vector<UsbCopyItem>& items, PromptWindow owner);
  uint32_t CompareStep(const std::vector<UsbCopyItem>& items);
  // The copy on a volume reached through mtools (a kernel without vfat).
  uint32_t CopyThroughTool(usbmedia::FatTool* tool, const std::vector<UsbCopyItem>& items);
  // Runs body on a worker thread and waits for it in 10 ms slices, processing pending messages
  // and calling tick with the count of files done whenever it changed.
  template <typename Body, typename Tick>
  uint32_t RunWorker(Body body, Tick tick);
  void Bars(uint32_t a, uint32_t b, bool reset);

  platform::Env* env_ = platform::Env::Default();
  usbmedia::UsbMediaList own_list_;
  usbmedia::UsbMediaList* external_list_ = nullptr;
  UsbRunDisplay* display_ = nullptr;
  std::atomic<int32_t> cancel_{0};
  std::atomic<int32_t> running_{0};
  std::atomic<int32_t> done_{0};
  char letter_ = 0;
  std::string mount_point_;
  std::unique_ptr<usbmedia::UsbVolume> volume_;
  DataDiscVerifier verifier_;
  std::function<void(char, usbmedia::EjectResult)> eject_observer_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_WREN_USB_CTRL_H_
