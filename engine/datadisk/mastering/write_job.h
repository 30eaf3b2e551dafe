// The write job of a data disc into an image file: planning on the caller's thread, then building
// the structures and streaming the session on the job's thread.
#ifndef QUILLDEN_DATADISK_MASTERING_WRITE_JOB_H_
#define QUILLDEN_DATADISK_MASTERING_WRITE_JOB_H_

#include <memory>
#include <string>

#include "datadisk/datadisk.h"
#include "datadisk/mastering/session_layout.h"
#include "platform/env.h"
#include "progress/progress_record.h"

namespace quillden::mastering {

struct ImageJob {
  std::shared_ptr<Datadisk> disc;
  SessionLayout layout;
  quenvar::platform::Env* env = nullptr;
  std::unique_ptr<quenvar::platform::WritableFile> out;
  std::string path;  // removed again when the job fails
  bool file_dates = false;
  bool allow_kernel_copy = true;
};

// Streams the planned session into job.out and closes it; on failure removes the file and records
// the code as the disc's last error. Returns the job's result.
uint32_t RunImageJob(ImageJob& job, const ProgressReporter& reporter);

// Copy of the kernel-copy switch for tests of the buffered path.
void SetKernelCopyForTesting(bool allow);

}  // namespace quillden::mastering

#endif  // QUILLDEN_DATADISK_MASTERING_WRITE_JOB_H_
