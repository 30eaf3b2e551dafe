// Shared pieces of the reader tests: images made by public tools, virtual drives that hold them
// pressed or recorded, and the imported tree as a map.
#ifndef QUENVAR_TESTS_READER_READER_FIXTURE_H_
#define QUENVAR_TESTS_READER_READER_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "common/shell.h"
#include <vector>

#include "platform/temp_dir.h"
#include "quillden/types.h"

namespace quillden::reader::testing {

using ::quenvar::testing::HaveTool;
#define REQUIRE_TOOL(tool) \
  if (!::quillden::reader::testing::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed; this check needs it"

// Runs a shell command; its exit status, with stdout and stderr in *output.
using ::quenvar::testing::Shell;
using ::quenvar::testing::Quote;

std::vector<uint8_t> ReadImage(const std::string& path);
void WriteImage(const std::string& path, const std::vector<uint8_t>& data);

// One entry of an imported tree.
struct Imported {
  uint32_t attributes = 0;
  uint64_t size = 0;
  uint32_t location = 0;
  uint64_t length = 0;
  uint32_t second_location = 0;
  uint64_t second_length = 0;
  uint64_t last_write = 0;
};

// What xorriso reports of every file: disc path ("a\b") → (first block, size).
struct Reported {
  uint32_t lba = 0;
  uint64_t size = 0;
  int extents = 0;
};
std::map<std::string, Reported> XorrisoFiles(const std::string& image);

// A FILETIME value for a UTC time given as seconds since 1970.
inline uint64_t UnixToFileTime(int64_t seconds) { return static_cast<uint64_t>(seconds + 11644473600LL) * 10000000u; }

class ReaderTest : public ::testing::Test {
 protected:
  void TearDown() override;

  std::string Path(const std::string& relative) { return dir_.Child(relative); }
  // Writes a source file (folders made as needed) with the given content and modification time.
  void Source(const std::string& relative, const std::string& content, int64_t mtime = 1623758400);
  // A drive holding image as pressed media ("cd-rom", "dvd-rom" or "" by size).
  HANDLE Press(const std::string& image, const std::string& kind = "");
  // A drive holding image recorded as the first, closed session of an appendable CD-R.
  HANDLE RecordOnCdR(const std::string& image);
  // Records image as the second closed session, at block start, of the CD-R made by RecordOnCdR.
  bool AppendSession(const std::string& image, uint32_t start);
  // The tree of disc, by disc path.
  std::map<std::string, Imported> Tree(HANDLE disc);

  quenvar::platform::ScopedTempDir dir_{"reader-test-"};
  std::vector<HANDLE> drives_;
  std::vector<HANDLE> discs_;
  HANDLE NewDisc();
  int backing_counter_ = 0;
  std::string recorded_backing_;
};

}  // namespace quillden::reader::testing

#endif  // QUENVAR_TESTS_READER_READER_FIXTURE_H_
