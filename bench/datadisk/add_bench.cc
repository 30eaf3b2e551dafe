// Adding large local trees to a data disc without a window: a tree of 1,000 folders holding 25, 50
// or 100 files each, and single folders of 5,000 to 20,000 files. Reports the time per add and
// the heap bytes each entry costs (malloc statistics, so run it without a sanitizer). The
// StatWalk benchmarks time a bare walk of the same trees that looks up every entry once
// (find -printf '%s %T@'): the add should cost at most 1.5 times as much.
//
//   datadisk_add_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "datadisk/datadisk.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"

namespace {

using quenvar::platform::ScopedTempDir;

// Local trees are made once per shape and removed at exit.
const std::string& Tree(int folders, int files_per_folder) {
  static std::map<std::pair<int, int>, std::unique_ptr<ScopedTempDir>> trees;
  auto& dir = trees[{folders, files_per_folder}];
  if (!dir) {
    dir = std::make_unique<ScopedTempDir>("datadisk-bench-");
    for (int f = 0; f < folders; ++f) {
      std::string folder = folders == 1 ? dir->path() : dir->Child("folder_" + std::to_string(f));
      if (folders != 1) mkdir(folder.c_str(), 0755);
      for (int i = 0; i < files_per_folder; ++i) {
        std::string path = folder + "/File Name " + std::to_string(i * 7919 % 100003) + ".dat";
        int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) close(fd);
      }
    }
  }
  return dir->path();
}

void RunAdd(benchmark::State& state, int folders, int files_per_folder) {
  std::u16string source = quenvar::platform::Utf8ToUtf16(Tree(folders, files_per_folder));
  size_t entries = 0;
  double bytes = 0;
  for (auto _ : state) {
    HANDLE disc = MST_CreateDatadisk();
    size_t before = mallinfo2().uordblks;
    HANDLE top = MST_AddDatadiskFile(disc, source.c_str(), u"tree");
    size_t after = mallinfo2().uordblks;
    if (top == INVALID_HANDLE_VALUE) state.SkipWithError("add failed");
    entries = quillden::Datadisk::FromHandle(disc)->entry_count();
    bytes = static_cast<double>(after - before);
    state.PauseTiming();
    MST_DestroyDatadisk(disc);
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["bytes_per_entry"] = entries ? bytes / static_cast<double>(entries) : 0;
  state.counters["us_per_entry"] = benchmark::Counter(
      static_cast<double>(entries),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_TreeOf1000Folders(benchmark::State& state) {
  RunAdd(state, 1000, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_TreeOf1000Folders)
    ->Arg(25)
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_SingleFolder(benchmark::State& state) {
  RunAdd(state, 1, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_SingleFolder)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void RunStatWalk(benchmark::State& state, int folders, int files_per_folder) {
  const std::string command =
      "find '" + Tree(folders, files_per_folder) + "' -printf '%s %T@\\n' > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("find failed");
  }
}

void BM_StatWalkTreeOf1000Folders(benchmark::State& state) {
  RunStatWalk(state, 1000, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_StatWalkTreeOf1000Folders)
    ->Arg(25)
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

void BM_StatWalkSingleFolder(benchmark::State& state) {
  RunStatWalk(state, 1, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_StatWalkSingleFolder)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
