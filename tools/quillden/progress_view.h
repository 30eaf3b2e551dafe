// The one progress display of the quillden commands: a line on standard error that follows the
// progress object of a running engine job (what it does, a bar, the percentage, MiB done of the
// total and the speed), redrawn until the job ends. Ctrl-C while a job runs asks the engine to
// stop the job (PRG_CancelProgress) instead of killing the process half-way through a recording.
//
// Used from the main thread of the tool only: the Ctrl-C handler is installed for the time of one
// wait and the previous handler is restored afterwards.
#ifndef QUILLDEN_TOOL_PROGRESS_VIEW_H_
#define QUILLDEN_TOOL_PROGRESS_VIEW_H_

#include <functional>
#include <string>

#include "quillden/types.h"

namespace quillden::tool {

struct ProgressViewOptions {
  // What the line calls the phases that move data (writing, reading, comparing); null: their own
  // names. Flushing, closing and erasing always show as such; before the job names a phase (0),
  // the label shows.
  const char* label = nullptr;
  bool quiet = false;           // no line at all
  int interval_ms = 200;        // between two polls
};

// What a finished job left in its progress object.
struct JobOutcome {
  DWORD result = 0;  // the operation's result code
  DWORD done = 0;    // the last done and end words seen
  DWORD end = 0;
  bool interrupted = false;  // Ctrl-C asked the engine to stop the job
};

// The text of one progress line (without the leading carriage return): the phase's name (label for
// a phase that moves data), a bar of 30 characters, the percentage (done beyond end counts as
// 100 %), and for phases that count 2048-byte blocks MiB done of the total and, when speed_mb_s is
// not negative, the speed.
std::string FormatProgressLine(const char* label, DWORD phase, DWORD done, DWORD end, double speed_mb_s);

// The name of a progress phase ("writing", "comparing", ...).
const char* PhaseName(DWORD phase);

// Polls the job behind progress until it has ended and returns what it left. The result is the
// operation's own result even when the status word changed a moment before the worker ended.
JobOutcome WaitForJob(HANDLE progress, const ProgressViewOptions& options);

// Creates a progress object, calls start with it and, when start returned 0, waits for the job.
// Returns the failure of start or the outcome of the job. When no progress object can be made,
// start gets null and the engine runs the operation on this thread, without a display.
JobOutcome RunJob(const std::function<DWORD(HANDLE progress)>& start, const ProgressViewOptions& options);

}  // namespace quillden::tool

#endif  // QUILLDEN_TOOL_PROGRESS_VIEW_H_
