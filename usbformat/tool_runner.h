// Running the outside tools (partitioner, formatters) and waiting for them.
//
// A tool is started with posix_spawn, never through a shell, so labels and paths reach it as they
// are. Its standard input is the given file or /dev/null; its standard output goes to /dev/null and
// its standard error stays the caller's, so the tools' own complaints land in the program's log.
// While waiting, the calling thread can keep dispatching its window messages. Thread-safe.
#ifndef QUENVAR_USBFORMAT_TOOL_RUNNER_H_
#define QUENVAR_USBFORMAT_TOOL_RUNNER_H_

#include <string>
#include <vector>

namespace quenvar::usbformat {

struct ToolOutcome {
  enum class State {
    kExited,       // exit_code holds the tool's exit status
    kSignaled,     // the tool was killed by a signal: there is no exit code
    kStartFailed,  // the tool could not be started; error is the errno
    kWaitFailed,   // waiting failed; error is the errno
  };
  State state = State::kStartFailed;
  int exit_code = -1;
  int error = 0;
  bool Succeeded() const { return state == State::kExited && exit_code == 0; }
};

// The path of a tool: found along PATH and then in /usr/sbin, /sbin, /usr/bin and /bin (the
// formatters live in sbin folders that a user's PATH may lack). Empty when it is nowhere.
std::string FindTool(const std::string& name);

// Runs argv (argv[0] a path, or a name looked up with FindTool). With pump_messages the wait is cut
// into 100 ms slices and the calling thread's pending window messages are dispatched between them;
// otherwise the wait blocks until the tool ends.
ToolOutcome RunTool(const std::vector<std::string>& argv, const std::string& stdin_path = "",
                    bool pump_messages = false);

}  // namespace quenvar::usbformat

#endif  // QUENVAR_USBFORMAT_TOOL_RUNNER_H_
