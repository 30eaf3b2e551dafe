#include "tool_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/message_window.h"

extern char** environ;

namespace quenvar::usbformat {
namespace {

constexpr uint32_t kSliceMs = 100;

bool IsExecutable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindTool(const std::string& name) {
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : "";
  std::string folders;
  if (const char* path = std::getenv("PATH")) folders = path;
  folders += ":/usr/sbin:/sbin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(start, end - start);
    start = end + 1;
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + name;
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

ToolOutcome RunTool(const std::vector<std::string>& argv, const std::string& stdin_path,
                    bool pump_messages) {
  ToolOutcome outcome;
  if (argv.empty()) {
    outcome.error = EINVAL;
    return outcome;
  }
  std::string program = FindTool(argv[0]);
  if (program.empty()) {
    outcome.error = ENOENT;
    return outcome;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(
      &actions, STDIN_FILENO, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    outcome.error = rc;
    return outcome;
  }

  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, pump_messages ? WNOHANG : 0);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      outcome.state = ToolOutcome::State::kWaitFailed;
      outcome.error = errno;
      return outcome;
    }
    // Still running: let the calling thread's windows work for one slice.
    platform::WaitForMessages(kSliceMs);
    platform::PumpMessages();
  }
  if (WIFEXITED(status)) {
    outcome.state = ToolOutcome::State::kExited;
    outcome.exit_code = WEXITSTATUS(status);
  } else {
    outcome.state = ToolOutcome::State::kSignaled;
  }
  return outcome;
}

}  // namespace quenvar::usbformat
