// Compare throughput: an image recorded on a virtual DVD+R is read back through the drive commands
// and compared with the image file (CPY_CompareDiskISO, 16 blocks per READ(10)), against cmp(1)
// between the virtual disc's data file and the same image. Reading through the drive must reach at
// least 80% of cmp's speed. Both runs read warm page-cache data; each is timed three times and
// the best run counts.
//
// usage: compare_bench [MiB (default 1024)] [folder (default /var/tmp)]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/recording/recorder.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "quillden/drive.h"
#include "quillden/image.h"

namespace {

constexpr size_t kChunk = 8 * 1024 * 1024;

void Fill(std::vector<uint8_t>& chunk, uint64_t first_block) {
  for (size_t b = 0; b < chunk.size() / 2048; ++b) {
    const uint64_t block = first_block + b;
    std::memset(chunk.data() + b * 2048, static_cast<int>(block * 7 & 0xFF), 2048);
    std::memcpy(chunk.data() + b * 2048, &block, sizeof(block));
  }
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Run>
double Best(Run run) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return -1;
    best = std::min(best, Seconds(start));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::string folder = argc > 2 ? argv[2] : "/var/tmp";
  const uint64_t bytes = mib << 20;
  const uint32_t blocks = static_cast<uint32_t>(bytes / 2048);
  const std::string base = folder + "/compare_bench_" + std::to_string(::getpid());
  const std::string image = base + ".iso";
  const std::string disc = base + ".disc";
  auto cleanup = [&] {
    ::unlink(image.c_str());
    for (const char* suffix : {"", ".state", ".raw"}) ::unlink((disc + suffix).c_str());
  };

  // The image, and the same blocks recorded on a virtual DVD+R.
  std::vector<uint8_t> chunk(kChunk);
  const int out = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) return std::perror(image.c_str()), 1;
  std::string error;
  if (!quillden::drive::CreateVirtualBlank(disc, "dvd+r", 0, &error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  quillden::drive::VirtualTiming timing;
  timing.blank_ms = timing.format_ms = timing.close_ms = timing.flush_ms = timing.background_format_ms = 0;
  quillden::drive::SetVirtualTiming(disc, timing, &error);
  std::unique_ptr<quillden::drive::Transport> transport = quillden::drive::OpenVirtualRecorder(disc, "dvd+r", &error);
  if (!transport) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  HANDLE drive = quillden::drive::OpenDriveOnTransport(std::move(transport), 0);
  uint32_t result = 0;
  {
    quillden::ProgressReporter progress;
    auto recorder = quillden::recording::CreateRecorder(drive, 1, 1, 2, progress);
    result = quillden::recording::OpenRecording(*recorder, 0x1B, 1, 0, blocks, 0, nullptr, 0);
    for (uint64_t at = 0; at < bytes && result == 0; at += kChunk) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, bytes - at));
      chunk.resize(n);
      Fill(chunk, at / 2048);
      if (::write(out, chunk.data(), n) != static_cast<ssize_t>(n)) return std::perror("write"), 1;
      result = quillden::recording::WriteRecordingData(*recorder, chunk.data(), n);
    }
    const uint32_t finished = quillden::recording::FinishRecording(*recorder, 0x1B, nullptr, 0, 0, nullptr);
    quillden::recording::DestroyRecorder(std::move(recorder));
    if (result == 0) result = finished;
  }
  ::close(out);
  if (result != 0) {
    cleanup();
    return std::fprintf(stderr, "recording failed: 0x%08X\n", result), 1;
  }

  const std::string cmp = "cmp -n " + std::to_string(bytes) + " '" + disc + "' '" + image + "'";
  const double cmp_seconds = Best([&] { return std::system(cmp.c_str()) == 0; });
  const int fd = ::open(image.c_str(), O_RDONLY);
  const double compare_seconds = Best([&] {
    const DWORD code = CPY_CompareDiskISO(drive, 1, 1, reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)), nullptr);
    if (code != 0) std::fprintf(stderr, "compare failed: 0x%08X\n", code);
    return code == 0;
  });
  ::close(fd);
  DRV_CloseDrive(drive);
  cleanup();
  if (cmp_seconds < 0 || compare_seconds < 0) return 1;

  const double cmp_mbs = static_cast<double>(bytes) / 1e6 / cmp_seconds;
  const double compare_mbs = static_cast<double>(bytes) / 1e6 / compare_seconds;
  std::printf("image            %llu MiB\n", static_cast<unsigned long long>(mib));
  std::printf("cmp              %.1f MB/s (%.2f s)\n", cmp_mbs, cmp_seconds);
  std::printf("virtual DVD+R    %.1f MB/s (%.2f s)\n", compare_mbs, compare_seconds);
  std::printf("ratio            %.1f%% (target at least 80%%)\n", 100.0 * compare_mbs / cmp_mbs);
  return 0;
}
