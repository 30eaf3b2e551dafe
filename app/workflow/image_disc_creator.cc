#include "app/workflow/image_disc_creator.h"

namespace quenvar::app {

ImageMediumCreator::ImageMediumCreator(CWrenImgCtrl* ctrl, CreationRun* run)
    : ctrl_(ctrl), run_(run) {
  ctrl_->set_iso_recording_sink([this](int flag) {
    if (run_ != nullptr) run_->progress().set_iso_recording(flag);
  });
}

uint32_t ImageMediumCreator::Create(const DiscJob& job, std::u16string* message) {
  ctrl_->ApplySettings(job.settings);
  return ctrl_->CreateImageDisc(message);
}

bool ImageMediumCreator::GetProgress(JobProgress* job) {
  if (job == nullptr) return false;
  return ctrl_->GetProgress(&job->status, &job->done, &job->total, &job->phase) != 0;
}

}  // namespace quenvar::app
