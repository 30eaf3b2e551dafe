#include "tool_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/env.h"
#include "platform/message_window.h"

extern char** environ;

namespace quenvar::usbformat {
namespace {

constexpr uint32_t kSliceMs = 100;
constexpr size_t kKeptErrorBytes = 4096;

bool IsExecutable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// A nameless file in the temporary folder that collects a tool's standard error; /dev/null when
// none can be made.
int OpenErrorSink() {
  std::string folder = platform::Env::Default()->TemporaryDirectory();
  if (folder.empty()) folder = "/tmp";
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string pattern = folder + "/quenvar-tool-XXXXXX";
  fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) {
    unlink(pattern.c_str());
    return fd;
  }
  return open("/dev/null", O_WRONLY | O_CLOEXEC);
}

std::string ReadErrorSink(int fd) {
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return "";
  const off_t size = st.st_size;
  const off_t from = size > static_cast<off_t>(kKeptErrorBytes) ? size - kKeptErrorBytes : 0;
  std::string text(static_cast<size_t>(size - from), '\0');
  const ssize_t n = pread(fd, text.data(), text.size(), from);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

// The caller's environment with the entries of extra replacing those of the same name.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const std::string& x : extra) replaced = replaced || name_of(x) == name_of(entry);
    if (!replaced) merged.push_back(std::move(entry));
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

// Starts the tool; its standard output goes to output_fd (or /dev/null when -1) and its standard
// error to errors_fd. Returns the pid, or -1 with *error set.
pid_t Spawn(const ToolCall& call, int output_fd, int errors_fd, int* error) {
  if (call.argv.empty()) {
    *error = EINVAL;
    return -1;
  }
  std::string program = FindTool(call.argv[0]);
  if (program.empty()) {
    *error = ENOENT;
    return -1;
  }
  if (!call.stdin_path.empty() && access(call.stdin_path.c_str(), R_OK) != 0) {
    *error = errno;
    return -1;
  }
  std::vector<char*> args;
  for (const std::string& a : call.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> env = MergedEnvironment(call.environment);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                   call.stdin_path.empty() ? "/dev/null" : call.stdin_path.c_str(),
                                   O_RDONLY, 0);
  if (output_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (errors_fd >= 0) posix_spawn_file_actions_adddup2(&actions, errors_fd, STDERR_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *error = rc;
    return -1;
  }
  return pid;
}

void Settle(int status, ToolOutcome* outcome) {
  if (WIFEXITED(status)) {
    outcome->state = ToolOutcome::State::kExited;
    outcome->exit_code = WEXITSTATUS(status);
  } else {
    outcome->state = ToolOutcome::State::kSignaled;
  }
}

}  // namespace

std::string ToolOutcome::LastErrorLine() const {
  size_t end = errors.size();
  while (end > 0) {
    while (end > 0 &&
           (errors[end - 1] == '\n' || errors[end - 1] == '\r' || errors[end - 1] == ' '))
      --end;
    const size_t start = errors.find_last_of('\n', end == 0 ? 0 : end - 1);
    const size_t from = start == std::string::npos ? 0 : start + 1;
    if (end > from) return errors.substr(from, end - from);
    if (start == std::string::npos) break;
    end = start;
  }
  return "";
}

std::vector<std::string> Utf8ToolEnvironment() {
  return {"LC_ALL=C.UTF-8", "LANGUAGE="};
}

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
  ToolCall call;
  call.argv = argv;
  call.stdin_path = stdin_path;
  call.pump_messages = pump_messages;
  return RunTool(call);
}

ToolOutcome RunTool(const ToolCall& call) {
  ToolOutcome outcome;
  const int errors = OpenErrorSink();
  const pid_t pid = Spawn(call, -1, errors, &outcome.error);
  if (pid < 0) {
    if (errors >= 0) close(errors);
    return outcome;
  }
  const bool polling = call.pump_messages || call.cancel != nullptr;
  int status = 0;
  bool cancelled = false;
  for (;;) {
    const pid_t done = waitpid(pid, &status, polling ? WNOHANG : 0);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      outcome.state = ToolOutcome::State::kWaitFailed;
      outcome.error = errno;
      if (errors >= 0) close(errors);
      return outcome;
    }
    if (call.cancel != nullptr && call.cancel->load() != 0 && !cancelled) {
      kill(pid, SIGTERM);
      cancelled = true;
    }
    if (call.pump_messages) {
      // Still running: let the calling thread's windows work for one slice.
      platform::WaitForMessages(call.cancel != nullptr ? 10 : kSliceMs);
      platform::PumpMessages();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  outcome.errors = ReadErrorSink(errors);
  if (errors >= 0) close(errors);
  Settle(status, &outcome);
  if (cancelled) outcome.state = ToolOutcome::State::kCancelled;
  return outcome;
}

RunningTool::~RunningTool() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  Finish();
}

bool RunningTool::Start(const ToolCall& call) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  errors_ = OpenErrorSink();
  int error = 0;
  pid_ = Spawn(call, pipe_fds[1], errors_, &error);
  close(pipe_fds[1]);
  if (pid_ < 0) {
    close(pipe_fds[0]);
    if (errors_ >= 0) close(errors_);
    errors_ = -1;
    errno = error;
    return false;
  }
  output_ = pipe_fds[0];
  return true;
}

ssize_t RunningTool::Read(void* buffer, size_t length) {
  if (output_ < 0) return -1;
  size_t done = 0;
  while (done < length) {
    const ssize_t n = read(output_, static_cast<char*>(buffer) + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

ToolOutcome RunningTool::Finish() {
  ToolOutcome outcome;
  if (output_ >= 0) close(output_);
  output_ = -1;
  if (pid_ > 0) {
    int status = 0;
    pid_t done;
    do {
      done = waitpid(pid_, &status, 0);
    } while (done < 0 && errno == EINTR);
    if (done == pid_) {
      Settle(status, &outcome);
    } else {
      outcome.state = ToolOutcome::State::kWaitFailed;
      outcome.error = errno;
    }
    pid_ = -1;
  }
  outcome.errors = ReadErrorSink(errors_);
  if (errors_ >= 0) close(errors_);
  errors_ = -1;
  return outcome;
}

}  // namespace quenvar::usbformat
