#include "progress_view.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBarWidth = 30;
constexpr double kSpeedWindowSeconds = 1.0;

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

// Phases whose done and end words count 2048-byte blocks of data moved.
bool CountsBlocks(DWORD phase, DWORD end) {
  if (end == PRG_END_FRACTION) return false;
  switch (phase) {
    case PRG_PHASE_WRITING:
    case PRG_PHASE_RIPPING:
    case PRG_PHASE_WRITING_IMAGE:
    case PRG_PHASE_CREATING_IMAGE:
    case PRG_PHASE_COMPARING:
      return true;
    default:
      return false;
  }
}

unsigned Mib(DWORD blocks) { return static_cast<unsigned>(uint64_t{blocks} * 2048 >> 20); }

bool Running(DWORD status) { return status == PRG_STATUS_RUNNING || status == PRG_STATUS_CANCEL_REQUESTED; }

// Ctrl-C for the time of one wait; a second Ctrl-C (the handler resets itself) ends the process.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    installed_ = sigaction(SIGINT, &action, &previous_) == 0;
  }
  ~InterruptGuard() {
    if (installed_) sigaction(SIGINT, &previous_, nullptr);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction previous_ {};
  bool installed_ = false;
};

// The speed over the last second or so of one phase; negative until it is known.
class SpeedMeter {
 public:
  double Update(DWORD phase, DWORD done, Clock::time_point now) {
    if (phase != phase_ || done < mark_done_) {
      phase_ = phase;
      mark_done_ = done;
      mark_time_ = now;
      speed_ = -1;
      return speed_;
    }
    const double seconds = std::chrono::duration<double>(now - mark_time_).count();
    if (seconds >= kSpeedWindowSeconds) {
      speed_ = (done - mark_done_) * 2048.0 / 1e6 / seconds;
      mark_done_ = done;
      mark_time_ = now;
    }
    return speed_;
  }

 private:
  DWORD phase_ = 0xFFFFFFFFu;
  DWORD mark_done_ = 0;
  Clock::time_point mark_time_;
  double speed_ = -1;
};

}  // namespace

const char* PhaseName(DWORD phase) {
  switch (phase) {
    case PRG_PHASE_WRITING: return "writing";
    case PRG_PHASE_FLUSHING: return "flushing";
    case PRG_PHASE_CLOSING: return "closing";
    case PRG_PHASE_ERASING: return "erasing";
    case PRG_PHASE_RIPPING: return "ripping";
    case PRG_PHASE_WRITING_IMAGE: return "writing";
    case PRG_PHASE_READING_BOOT: return "reading";
    case PRG_PHASE_CREATING_IMAGE: return "reading";
    case PRG_PHASE_COMPARING: return "comparing";
    default: return "working";
  }
}

std::string FormatProgressLine(const char* label, DWORD phase, DWORD done, DWORD end, double speed_mb_s) {
  const double fraction = end == 0 ? 0.0 : std::min(1.0, static_cast<double>(done) / end);
  const int filled = static_cast<int>(fraction * kBarWidth);
  char line[160];
  int n = std::snprintf(line, sizeof line, "%-10s [%.*s%*s] %5.1f%%",
                        label && (CountsBlocks(phase, end) || phase == 0) ? label : PhaseName(phase), filled,
                        "##############################", kBarWidth - filled, "", fraction * 100);
  if (n > 0 && static_cast<size_t>(n) < sizeof line && CountsBlocks(phase, end)) {
    const int more = std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "  %u / %u MiB", Mib(done),
                                   Mib(end));
    if (more > 0) n += more;
    if (speed_mb_s >= 0 && n > 0 && static_cast<size_t>(n) < sizeof line) {
      std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "  %.2f MB/s", speed_mb_s);
    }
  }
  return line;
}

JobOutcome WaitForJob(HANDLE progress, const ProgressViewOptions& options) {
  JobOutcome outcome;
  InterruptGuard guard;
  std::thread canceller;
  SpeedMeter meter;
  size_t drawn = 0;  // width of the line on screen, to wipe what a shorter line leaves
  for (;;) {
    DWORD phase = 0;
    const DWORD status = PRG_GetProgressStatus(progress, &phase, &outcome.done, &outcome.end);
    const bool running = Running(status);
    // Cancelling waits for the worker to stop, so it runs beside the display; asked once only.
    if (g_interrupted && running && !outcome.interrupted) {
      outcome.interrupted = true;
      canceller = std::thread([progress] { PRG_CancelProgress(progress); });
    }
    if (!options.quiet) {
      const double speed = meter.Update(phase, outcome.done, Clock::now());
      // A job that ended well shows as complete, whatever its last phase was counting.
      const std::string line = status == PRG_STATUS_SUCCEEDED
                                   ? FormatProgressLine("done", 0, 1, 1, -1)
                                   : FormatProgressLine(options.label, phase, outcome.done, outcome.end, speed);
      std::fprintf(stderr, "\r%s%*s", line.c_str(), static_cast<int>(drawn > line.size() ? drawn - line.size() : 0),
                   "");
      drawn = line.size();
      std::fflush(stderr);
    }
    if (!running) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(options.interval_ms));
  }
  if (!options.quiet) std::fputc('\n', stderr);
  if (canceller.joinable()) canceller.join();
  // The status is set just before the worker ends; its exit code follows a moment later.
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
  while ((outcome.result = PRG_GetProgressErrorCode(progress)) == QD_E_BUSY && Clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return outcome;
}

JobOutcome RunJob(const std::function<DWORD(HANDLE progress)>& start, const ProgressViewOptions& options) {
  HANDLE progress = PRG_CreateProgress();
  JobOutcome outcome;
  outcome.result = start(progress);
  if (outcome.result == QD_OK && progress != nullptr) outcome = WaitForJob(progress, options);
  if (progress != nullptr) PRG_DestroyProgress(progress);
  return outcome;
}

}  // namespace quillden::tool
