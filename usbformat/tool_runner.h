// Running the outside tools (partitioner, formatters, the FAT file tools) and waiting for them.
//
// A tool is started with posix_spawn, never through a shell, so labels and paths reach it as they
// are. Its standard input is the given file or /dev/null; its standard output goes to /dev/null or
// to a pipe the caller reads; its standard error is kept in a private temporary file and handed
// back in the outcome, so the tools' chatter ("Re-reading the partition table failed.") never
// reaches the user's terminal. While waiting, the calling thread can keep dispatching its window
// messages. Thread-safe.
#ifndef QUENVAR_USBFORMAT_TOOL_RUNNER_H_
#define QUENVAR_USBFORMAT_TOOL_RUNNER_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace quenvar::usbformat {

struct ToolOutcome {
  enum class State {
    kExited,       // exit_code holds the tool's exit status
    kSignaled,     // the tool was killed by a signal: there is no exit code
    kStartFailed,  // the tool could not be started; error is the errno
    kWaitFailed,   // waiting failed; error is the errno
    kCancelled,    // the caller's cancel flag was set; the tool was killed
  };
  State state = State::kStartFailed;
  int exit_code = -1;
  int error = 0;
  std::string errors;  // the end of what the tool wrote to its standard error
  bool Succeeded() const { return state == State::kExited && exit_code == 0; }
  // The last non-empty line of errors ("" when the tool said nothing).
  std::string LastErrorLine() const;
};

struct ToolCall {
  std::vector<std::string> argv;  // argv[0] a path, or a name looked up with FindTool
  std::string stdin_path;         // empty: /dev/null
  // With pump_messages the wait is cut into 100 ms slices and the calling thread's pending window
  // messages are dispatched between them; otherwise the wait blocks until the tool ends.
  bool pump_messages = false;
  // Extra environment entries ("NAME=value") that replace the caller's of the same name.
  std::vector<std::string> environment;
  // When set, the wait polls it every 10 ms and kills the tool once it is non-zero.
  const std::atomic<int32_t>* cancel = nullptr;
};

// The environment entries that make a tool read and write names and labels as UTF-8 whatever the
// caller's locale is.
std::vector<std::string> Utf8ToolEnvironment();

// The path of a tool: found along PATH and then in /usr/sbin, /sbin, /usr/bin and /bin (the
// formatters live in sbin folders that a user's PATH may lack). Empty when it is nowhere.
std::string FindTool(const std::string& name);

ToolOutcome RunTool(const ToolCall& call);
ToolOutcome RunTool(const std::vector<std::string>& argv, const std::string& stdin_path = "",
                    bool pump_messages = false);

// A tool whose standard output the caller reads as it runs.
class RunningTool {
 public:
  RunningTool() = default;
  ~RunningTool();  // kills and reaps a tool still running
  RunningTool(const RunningTool&) = delete;
  RunningTool& operator=(const RunningTool&) = delete;

  // Starts call (pump_messages and cancel are not used); false with errno set on failure.
  bool Start(const ToolCall& call);
  // Reads up to length bytes of the tool's output; the count, 0 at its end, -1 on failure.
  ssize_t Read(void* buffer, size_t length);
  // Closes the output, waits for the tool and returns how it ended.
  ToolOutcome Finish();

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int errors_ = -1;
};

}  // namespace quenvar::usbformat

#endif  // QUENVAR_USBFORMAT_TOOL_RUNNER_H_
