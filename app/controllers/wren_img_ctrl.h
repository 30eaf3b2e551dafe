// Orvex controllers: creating one disc from a stored image.
//
// CWrenImgCtrl records a disc of a recovery media set from its "ImageFile": either a disc image
// file of the engine's own format (".wvm") or a plain ISO file (2048-byte blocks). It inspects the
// image to learn which media it may go on, runs the media check, records the image through the
// engine's CPY_ exports, compares the written disc with the image when the disc is verified, and
// ejects it. When the engine refuses the drive and media combination (0x0800003F) the disc stays in
// the drive and the disc is tried again with a full erase offered. Reports use module 15. One
// controller serves every image disc of the program; main thread only.
#ifndef QUENVAR_APP_CONTROLLERS_WREN_IMG_CTRL_H_
#define QUENVAR_APP_CONTROLLERS_WREN_IMG_CTRL_H_

#include <cstdint>
#include <functional>
#include <string>

#include "app/contents/disc_job_settings.h"
#include "app/controllers/wren_ctrl.h"
#include "platform/env.h"

namespace quenvar::app {

// ISO file size limits in 2048-byte blocks: the largest CD image, single-layer DVD image and
// dual-layer DVD image.
inline constexpr uint64_t kIsoCdBlocks = 359846;
inline constexpr uint64_t kIsoDvdBlocks = 2298495;
inline constexpr uint64_t kIsoDvdDlBlocks = 4173823;

// The media flags an image of image_media may be recorded on (a DVD-ROM image of several tracks
// cannot go on DVD+ media). 0 for media no image can be copied to.
uint32_t ImageMediaToFlags(uint32_t image_media, uint32_t track_count);
// The image media of a plain ISO file of size bytes: 0x1 CD, 0x8 DVD, 0x2000 DVD+R DL, 0 larger.
uint32_t IsoSizeToImageMedia(uint64_t size);
// The media flags a plain ISO file of image_media may be recorded on, before the disc's media kind
// limits them.
uint32_t IsoMediaToFlags(uint32_t image_media);

class CWrenImgCtrl : public CWrenCtrl {
 public:
  CWrenImgCtrl();
  ~CWrenImgCtrl() override;

  // Verify mode, media kind, titles and image path of the disc.
  void ApplySettings(const DiscJobSettings& settings);
  void set_imagePath(std::u16string path) { imagePath_ = std::move(path); }
  // The file system the image file is looked at through (tests inject faults); null restores
  // Env::Default(). Not owned.
  void set_env(platform::Env* env) { env_ = env != nullptr ? env : platform::Env::Default(); }

  // Fills isoFile, trackCount, imageMedia, writeMode and fullEraseRequired from the image. 0;
  // 0x08000011 without a path; 0x08000034 for a file that is neither a disc image nor named
  // ".iso" / ".wvm"; 0x08000010 when the ISO file cannot be opened; or the image's close result.
  uint32_t InspectImage();
  // The media the image may go on: from the image, for an ISO file limited by the media kind.
  uint32_t AllowedImageMedia() const;
  // The whole disc on the selected drive. message holds the media prompt; on success it receives
  // the completion text. 0, 0x08000032 when the user gave up, or the failure.
  uint32_t CreateImageDisc(std::u16string* message);
  // Records, compares and ejects. Engine result codes.
  uint32_t WriteImageDisc(PromptWindow window, int32_t drive_number);
  // The main window's view of the running job: 1, or 0 when no job runs.
  int GetProgress(uint32_t* status, uint32_t* done, uint32_t* total, uint32_t* phase) const;

  // Told after the writing display started whether a plain ISO file is being recorded (the panel
  // computes its bar differently then).
  void set_iso_recording_sink(std::function<void(int)> sink) { iso_sink_ = std::move(sink); }

  int32_t isoFile() const { return isoFile_; }
  uint16_t trackCount() const { return trackCount_; }
  uint32_t imageMedia() const { return imageMedia_; }
  int32_t dataMode() const { return dataMode_; }
  uint32_t writeMode() const { return writeMode_; }
  const std::u16string& imagePath() const { return imagePath_; }

 private:
  void Report(int location, int code, std::u16string_view text = {}) const;
  // The steps of WriteImageDisc. Opens the disc image of a non-ISO source (the user is told when
  // it cannot be): 0 or QD_E_FILE_OPEN.
  uint32_t OpenSourceImage(HANDLE* image);
  // Records the image: 0 when recorded, or the failure (reported).
  uint32_t RecordImage(HANDLE drive, HANDLE image);
  // Compares the recorded disc with the image or ISO file: 0 when they match, or the failure.
  uint32_t CompareWithSource(HANDLE drive, HANDLE image);

  int32_t isoFile_ = 0;
  uint16_t trackCount_ = 0;
  uint32_t imageMedia_ = 0;
  int32_t dataMode_ = 0;
  uint32_t writeMode_ = 3;
  // True when path names something that exists (the message then says what is wrong with it).
  bool Exists(const std::u16string& path) const;

  platform::Env* env_ = platform::Env::Default();
  std::u16string imagePath_;
  std::function<void(int)> iso_sink_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_WREN_IMG_CTRL_H_
