// Orvex controllers: creating one data disc.
//
// CWrenDataCtrl owns the engine's Datadisk of the disc being built and runs its steps for the
// creation workflow: settings, boot image, the file map from the disc's file sets, adding the files
// (file progress dialog), the media check, the write job, the verification of the written disc
// against its sources, and the eject. It is reused for every data disc; CreateDatadisk starts a new
// disc. Reports use module 14 (file set expansion: module 10). Main thread only.
//
// Local source paths are POSIX paths; disc folders use "\" as separator. Listed names and target
// folders are confined: a ".." component is refused rather than followed, and links to folders are
// not entered, so a file set never reaches outside its source folder or its disc folder and never
// loops.
//
// A disc is only created complete: a listed name that does not exist, a folder of a file set that
// cannot be listed, or a name or target folder with "..", fails the disc with a message naming it
// before any medium is touched; after adding, every collected file must be in the disc's tree;
// after writing, every file of the tree must be on the disc (the presence check runs also when the
// disc is not verified).
#ifndef QUENVAR_APP_CONTROLLERS_WREN_DATA_CTRL_H_
#define QUENVAR_APP_CONTROLLERS_WREN_DATA_CTRL_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "app/contents/contents_model.h"
#include "app/contents/disc_job_settings.h"
#include "app/controllers/data_disc_verifier.h"
#include "app/controllers/wren_ctrl.h"
#include "platform/env.h"

namespace quenvar::app {

// The phase value the controller shows while it verifies.
inline constexpr uint32_t kPhaseVerifying = 96;

// True when a path names a parent folder ("..") anywhere: a target or listed name with one would
// leave the folder it belongs to.
bool ClimbsOut(std::u16string_view path);

class CWrenDataCtrl : public CWrenCtrl {
 public:
  CWrenDataCtrl();
  ~CWrenDataCtrl() override;

  // Starts a new Datadisk (the previous one is destroyed): 0, or 0x08000010.
  uint32_t CreateDatadisk();
  // Label (upper case), file system, data mode 1, file version flag; then the disc's verify mode,
  // media kind and titles. The first failing engine result, or 0.
  uint32_t ApplySettings(const DiscJobSettings& settings);
  uint32_t ReadBootImage(const std::u16string& path, uint8_t emulation, uint16_t load_segment,
                         uint16_t sector_count);
  // The EFI boot image, with the same checks and message as ReadBootImage; then
  // MST_ReadEfiBootImageFile's result.
  uint32_t ReadEfiBootImage(const std::u16string& path);
  // Expands a file set into map: 1, or 0 when a listed name (or, for "*", the source folder) does
  // not exist or a name or the target folder leaves its folder; the failure is reported naming the
  // entry, and collect_error() tells which it was.
  int CollectFileSet(const CFileSet* file_set, FileMap* map);
  // Expands every file set of disc in order: 0, or the first failure of CollectFileSet
  // (0x08000013 missing source, 0x08000011 a path that leaves its folder).
  uint32_t CollectDiscFiles(const CDiscItem* disc, FileMap* map);
  uint32_t collect_error() const { return collectError_; }
  // The file system the sources are listed and read through, here and in the verification (tests
  // inject faults); null restores Env::Default(). Not owned.
  void set_env(platform::Env* env) {
    env_ = env != nullptr ? env : platform::Env::Default();
    verifier_.set_env(env_);
  }
  // Maps a file, or every file of a folder (with subfolders when include_subfolders), to target:
  // 1, or 0 when path is missing or no file, or a folder of the tree cannot be listed (the file
  // set then fails naming that folder).
  int CollectFolder(const std::u16string& path, const std::u16string& target, FileMap* map,
                    bool include_subfolders = true);
  // Adds the map's files with the file progress dialog; the disc's last error afterwards, or
  // 0x08000013 (reported, naming it) when a file of the map did not reach the disc's tree.
  uint32_t AddFiles(PromptWindow window, const FileMap* map);
  // Checks the media, writes and verifies; on success message receives the completion text.
  uint32_t CreateDataDisc(std::u16string* message);
  uint32_t WriteDataDisc(PromptWindow window, int32_t drive_number);
  // The main window's view of the running job: 1, or 0 when no job runs.
  int GetProgress(uint32_t* status, uint32_t* done, uint32_t* total, uint32_t* phase);
  // Stops a running verification at its next file or chunk; asked for between the write and the
  // verification, it ends the disc before the verification starts.
  void CancelVerify() {
    verifyCancelled_ = true;
    verifier_.Cancel();
  }

  HANDLE datadisk() const { return datadisk_; }
  uint32_t writeType() const { return writeType_; }
  uint32_t closeMode() const { return closeMode_; }
  int32_t filesAdded() const { return filesAdded_; }
  uint64_t discSize() const { return discSize_; }
  const DataDiscVerifier& verifier() const { return verifier_; }

 private:
  // 0 when the boot image file at path can be opened; otherwise its failure, reported.
  uint32_t CheckBootImageSource(const std::u16string& path);
  void Report(int location, int code, std::u16string_view text = {}) const;
  int RefuseEntry(int location, uint32_t code, uint32_t text_id, const std::u16string& entry);
  uint32_t CheckAdded(const FileMap& map);
  int CollectFolderInner(const std::string& path, const std::u16string& target, FileMap* map,
                         bool include_subfolders, std::set<std::pair<uint64_t, uint64_t>>* visited);
  bool WaitForVolume(int32_t drive_number);
  // The steps of WriteDataDisc. Records the Datadisk: 0 to read the disc back, or the failure.
  uint32_t RecordDatadisk(HANDLE drive);
  // Verifies the written disc, the drive open again: the verifier's result.
  uint32_t VerifyWrittenDisc(HANDLE drive, int32_t drive_number);
  // Ends a job whose drive could not be opened: nothing to unlock or eject.
  uint32_t EndUnopenedJob(uint32_t result);
  // Ends a job that held the drive: unlocks it when open, ejects and closes; a failed close is
  // the job's result.
  uint32_t EndJob(DriveSession* session, uint32_t result);

  platform::Env* env_ = platform::Env::Default();
  // The folder or file that made the last CollectFolder fail.
  std::u16string unreadable_;
  HANDLE datadisk_ = nullptr;
  uint32_t writeType_ = 3;
  uint32_t closeMode_ = 0;
  DataDiscVerifier verifier_;
  int32_t filesAdded_ = 0;
  uint64_t discSize_ = 0;
  uint32_t collectError_ = 0;
  bool verifyCancelled_ = false;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_WREN_DATA_CTRL_H_
