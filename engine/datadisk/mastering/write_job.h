// The write job of a data disc into an image file: planning on the caller's thread, then building
// the structures and streaming the session on the job's thread.
#ifndef QUILLDEN_DATADISK_MASTERING_WRITE_JOB_H_
#define QUILLDEN_DATADISK_MASTERING_WRITE_JOB_H_

#include <memory>
#include <string>
#include <vector>

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
  bool built = false;       // the layout's header and structures were built before the job started
  uint64_t skip_bytes = 0;  // the stream's first bytes (a header recorded elsewhere) are left out
};

// Where the next session of a disc goes. Behind an imported session it starts at the imported
// disc's next writable address N. On overwritable media the new structures and files start at N
// and the volume header is recorded at block 0 once they are on the disc, so the session's start
// S is N - H0 and an interrupted job leaves the old file system as it was.
struct SessionPlacement {
  uint32_t next_writable = 0;   // N
  bool header_at_zero = false;
};

// The placement of disc's next session on media of profile (0: an image file, never overwritable).
// 0 and *placement; 0x08000024 when a session was imported from a disc that takes no further one.
uint32_t PlaceSession(const Datadisk& disc, uint16_t profile, SessionPlacement* placement);

// Plans disc's session for placement (with a header at block 0 the plan is made twice, the second
// time from S = N - H0). The codes of SessionLayout::Plan; 0x08000036 when the header cannot go to
// block 0 (UDF 2.50 keeps ISO 9660 structures in its header) or N is below the header.
uint32_t PlanPlacedSession(Datadisk& disc, const SessionPlacement& placement, bool cd_media, SessionLayout* layout);

// The blocks recorded at block 0 of overwritable media: the disc's blocks 0 up to the header rounded
// up to unit blocks, with the new header laid over its first H0 blocks, so that the blocks between
// H0 and the unit boundary keep what the disc held. Needs Build. 0, or the drive's read failure.
uint32_t ReadVolumeHeader(HANDLE drive, const SessionLayout& layout, uint32_t unit, std::vector<uint8_t>* header);

// Streams the planned session into job.out and closes it; on failure removes the file and records
// the code as the disc's last error. Returns the job's result.
uint32_t RunImageJob(ImageJob& job, const ProgressReporter& reporter);

// Copy of the kernel-copy switch for tests of the buffered path.
void SetKernelCopyForTesting(bool allow);

}  // namespace quillden::mastering

#endif  // QUILLDEN_DATADISK_MASTERING_WRITE_JOB_H_
