// Orvex workflow: the image discs of a creation run, created by CWrenImgCtrl.
//
// ImageMediumCreator hands an image disc of the run (mode 2) to the image controller and reports
// the controller's job, its progress object and whether a plain ISO file is being recorded back
// to the run's progress display. Main thread only.
#ifndef QUENVAR_APP_WORKFLOW_IMAGE_DISC_CREATOR_H_
#define QUENVAR_APP_WORKFLOW_IMAGE_DISC_CREATOR_H_

#include "app/controllers/wren_img_ctrl.h"
#include "app/workflow/creation_run.h"

namespace quenvar::app {

class ImageMediumCreator : public ImageDiscCreator {
 public:
  // ctrl (its drive list set) and run are not owned and must outlive the creator; run may be
  // null (no ISO recording flag is passed on then).
  ImageMediumCreator(CWrenImgCtrl* ctrl, CreationRun* run);

  uint32_t Create(const DiscJob& job, std::u16string* message) override;
  bool GetProgress(JobProgress* job) override;
  HANDLE progress() const override { return ctrl_->progress(); }
  void Cancel() override { ctrl_->CancelJob(); }

 private:
  CWrenImgCtrl* ctrl_;
  CreationRun* run_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_WORKFLOW_IMAGE_DISC_CREATOR_H_
