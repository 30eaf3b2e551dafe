// Fills the sample recovery area with the stand-ins for a factory image: a few deterministic
// pseudo-random files (so two builds give the same discs) and a manifest of their sizes.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool WriteFile(const std::filesystem::path& path, uint64_t size, uint32_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  std::vector<char> block(64 * 1024);
  uint32_t state = seed;
  for (uint64_t written = 0; written < size;) {
    for (char& byte : block) {
      state = state * 1664525u + 1013904223u;  // a linear congruential generator is plenty here
      byte = static_cast<char>(state >> 24);
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - written));
    out.write(block.data(), static_cast<std::streamsize>(n));
    written += n;
  }
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample_area AREA_FOLDER\n");
    return 2;
  }
  std::filesystem::path area = argv[1];
  struct Piece {
    const char* folder;
    const char* name;
    uint64_t size;
  } pieces[] = {
      {"image", "factory.img.001", 1536 * 1024},
      {"image", "factory.img.002", 1536 * 1024},
      {"image/partitions", "layout.bin", 4096},
      {"image2", "factory.img.003", 1536 * 1024},
      {"image2", "factory.img.004", 700 * 1024 + 17},
  };
  std::error_code error;
  std::ofstream manifest;
  uint32_t seed = 1;
  for (const Piece& piece : pieces) {
    std::filesystem::create_directories(area / piece.folder, error);
    if (error || !WriteFile(area / piece.folder / piece.name, piece.size, seed++)) {
      std::fprintf(stderr, "make_sample_area: cannot write %s/%s\n", piece.folder, piece.name);
      return 1;
    }
  }
  std::ofstream list(area / "image" / "manifest.txt", std::ios::trunc);
  for (const Piece& piece : pieces) list << piece.folder << '/' << piece.name << ' ' << piece.size << '\n';
  std::filesystem::create_directories(area / "boot", error);
  std::filesystem::create_directories(area / "images", error);
  return list ? 0 : 1;
}
