// Recording throughput: the same stream of blocks written as an image file and recorded on a
// virtual DVD+R through the recorder and its ring writer. The ring writer must not be the
// bottleneck: recording should reach at least 90% of the file's speed. Also reports the peak
// memory the recording job adds to the process.
//
// usage: record_bench [MiB (default 1024)] [folder (default /var/tmp)]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/recording/recorder.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "quillden/drive.h"

namespace {

constexpr size_t kChunk = 10 * 1024 * 1024;  // the write job's file chunk

uint64_t StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::strtoull(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return 0;
}

// The producer's work for both targets: fill a chunk with block-numbered content.
void Fill(std::vector<uint8_t>& chunk, uint64_t first_block) {
  for (size_t b = 0; b < chunk.size() / 2048; ++b) {
    const uint64_t block = first_block + b;
    std::memset(chunk.data() + b * 2048, static_cast<int>(block & 0xFF), 2048);
    std::memcpy(chunk.data() + b * 2048, &block, sizeof(block));
  }
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::string folder = argc > 2 ? argv[2] : "/var/tmp";
  const uint64_t bytes = mib << 20;
  const uint32_t blocks = static_cast<uint32_t>(bytes / 2048);
  std::vector<uint8_t> chunk(kChunk);

  // 1. The image file.
  const std::string image = folder + "/record_bench_" + std::to_string(::getpid()) + ".iso";
  auto start = std::chrono::steady_clock::now();
  int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return std::perror(image.c_str()), 1;
  for (uint64_t at = 0; at < bytes; at += kChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, bytes - at));
    Fill(chunk, at / 2048);
    if (::pwrite(fd, chunk.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) return std::perror("pwrite"), 1;
  }
  ::fsync(fd);
  ::close(fd);
  const double file_seconds = Seconds(start);
  ::unlink(image.c_str());

  // 2. The virtual DVD+R.
  const std::string disc = folder + "/record_bench_" + std::to_string(::getpid()) + ".disc";
  std::string error;
  if (!quillden::drive::CreateVirtualBlank(disc, "dvd+r", 0, &error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  quillden::drive::VirtualTiming timing;
  timing.blank_ms = timing.format_ms = timing.close_ms = timing.flush_ms = timing.background_format_ms = 0;
  quillden::drive::SetVirtualTiming(disc, timing, &error);
  std::unique_ptr<quillden::drive::Transport> transport = quillden::drive::OpenVirtualRecorder(disc, "dvd+r", &error);
  if (!transport) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  HANDLE drive = quillden::drive::OpenDriveOnTransport(std::move(transport), 0);
  const uint64_t rss_before_kb = StatusKb("VmRSS:");
  start = std::chrono::steady_clock::now();
  uint32_t result = 0;
  {
    quillden::ProgressReporter progress;
    auto recorder = quillden::recording::CreateRecorder(drive, 1, 1, 1, progress);
    result = quillden::recording::OpenRecording(*recorder, 0x1B, 1, 0, blocks, 0, nullptr, 0);
    for (uint64_t at = 0; at < bytes && result == 0; at += kChunk) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, bytes - at));
      Fill(chunk, at / 2048);
      result = quillden::recording::WriteRecordingData(*recorder, chunk.data(), n);
    }
    const uint32_t finished = quillden::recording::FinishRecording(*recorder, 0x1B, nullptr, 0, 0, nullptr);
    if (result == 0) result = finished;
  }
  const double record_seconds = Seconds(start);
  const uint64_t peak_kb = StatusKb("VmHWM:");
  DRV_CloseDrive(drive);
  for (const char* suffix : {"", ".state", ".raw"}) ::unlink((disc + suffix).c_str());
  if (result != 0) return std::fprintf(stderr, "recording failed: 0x%08X\n", result), 1;

  const double file_mbs = static_cast<double>(bytes) / 1e6 / file_seconds;
  const double record_mbs = static_cast<double>(bytes) / 1e6 / record_seconds;
  std::printf("stream           %llu MiB\n", static_cast<unsigned long long>(mib));
  std::printf("image file       %.1f MB/s (%.2f s)\n", file_mbs, file_seconds);
  std::printf("virtual DVD+R    %.1f MB/s (%.2f s)\n", record_mbs, record_seconds);
  std::printf("ratio            %.1f%% (target at least 90%%)\n", 100.0 * record_mbs / file_mbs);
  std::printf("job peak memory  %.1f MiB above the %.1f MiB before the job (target under 64 MiB)\n",
              (peak_kb > rss_before_kb ? peak_kb - rss_before_kb : 0) / 1024.0, rss_before_kb / 1024.0);
  return 0;
}
