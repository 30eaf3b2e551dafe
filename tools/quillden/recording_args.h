// What the commands that record or read whole discs (image create/write, copy) share: drive
// arguments, the recording options and the words for the engine's refusals.
#ifndef QUILLDEN_TOOL_RECORDING_ARGS_H_
#define QUILLDEN_TOOL_RECORDING_ARGS_H_

#include <string>
#include <vector>

#include "quillden/types.h"
#include "tools/common/drive_arg.h"

namespace quillden::tool {

// Opens the drive; on failure says so on standard error (prefixed with command) and returns null.
HANDLE OpenDriveOrSay(const char* command, int number);

struct RecordingOptions {
  DWORD write_mode = 2;     // 1 leave the disc open, 2 close it, 3 disc at once
  DWORD finalize_kind = 4;  // handed to the recorder as the application does
  int iso_mode = 0;         // plain images: 1 for 2048-byte, 2 for raw 2352-byte sectors; 0 unset
  bool quiet = false;
  bool force = false;
  std::vector<std::string> operands;  // everything that is not an option, in order
};

// Parses argv[1..argc-1]. accepted lists the options the command takes besides -q and -h
// ("write-type", "close-mode", "mode", "force"). Returns 0 to go on, -1 after printing usage for
// --help, or the exit code 2 after a message for a bad option.
int ParseRecordingOptions(const char* command, const char* usage, int argc, char** argv,
                          const std::vector<std::string>& accepted, RecordingOptions* options);

// A sentence for an engine result of recording, copying or creating an image.
std::string ExplainRecordingResult(DWORD code);

// Prints "quillden COMMAND: WHAT failed: why (0x..., last command error 0x...)" on standard error
// and returns the exit code 1.
int ReportFailure(const char* command, const std::string& what, DWORD code);

// What the medium in the drive holds now, read from the drive: complete, appendable with how much
// on it, or still blank. A job that ended without success may still have closed the disc (a
// cancel that came as the last block went out), so the result code alone cannot say.
std::string DescribeMedium(HANDLE drive);

// ReportFailure for a job that recorded onto drive (still open), followed by one line saying what
// the medium holds now. A cancel is reported as "WHAT cancelled".
int ReportRecordingFailure(const char* command, const std::string& what, DWORD code, HANDLE drive);

}  // namespace quillden::tool

#endif  // QUILLDEN_TOOL_RECORDING_ARGS_H_
