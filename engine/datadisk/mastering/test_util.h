// Helpers of the mastering tests: a scratch folder, files in it, and a disc built from them.
#ifndef QUILLDEN_DATADISK_MASTERING_TEST_UTIL_H_
#define QUILLDEN_DATADISK_MASTERING_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/mastering.h"

namespace quillden::mastering::testing {

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/mastering-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    path_ = mkdtemp(buffer.data());
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  std::string Write(const std::string& name, const std::string& content) const {
    std::string full = *this / name;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }

 private:
  std::string path_;
};

inline std::u16string U16(const std::string& text) { return quenvar::platform::Utf8ToUtf16(text); }

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A disc that is destroyed with the test.
class DiscHolder {
 public:
  DiscHolder() : disc_(MST_CreateDatadisk()) {}
  ~DiscHolder() {
    if (disc_ != INVALID_HANDLE_VALUE) MST_DestroyDatadisk(disc_);
  }
  HANDLE get() const { return disc_; }
  HANDLE Add(const std::string& source, const std::string& target = "") {
    return MST_AddDatadiskFile(disc_, U16(source).c_str(), U16(target).c_str());
  }

 private:
  HANDLE disc_;
};

// The blocks a layout hands to a sink (zero runs written out), e.g.
//   CollectBlocks([&](const BlockSink& sink) { return layout.WriteTail(sink); }).
template <typename Writer>
std::vector<uint8_t> CollectBlocks(const Writer& write, uint32_t* result = nullptr) {
  std::vector<uint8_t> blocks;
  uint32_t code = write([&blocks](const uint8_t* data, uint64_t count) -> uint32_t {
    size_t bytes = static_cast<size_t>(count) * 2048;
    if (data) {
      blocks.insert(blocks.end(), data, data + bytes);
    } else {
      blocks.resize(blocks.size() + bytes, 0);
    }
    return 0;
  });
  if (result) *result = code;
  return blocks;
}

}  // namespace quillden::mastering::testing

#endif  // QUILLDEN_DATADISK_MASTERING_TEST_UTIL_H_
