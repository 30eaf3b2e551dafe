// Makes the seed inputs of copy_fuzzer: real disc image files, written by the engine itself from
// data discs (single data track images) and from discs in virtual recorders (multi-track images),
// each behind the selector byte that picks the blank media and write mode they are recorded with.
//
// Every seed is also recorded onto a fresh virtual disc of its kind and compared with its image;
// the program fails unless all of them come back equal, so a seed never exercises only the refusal
// paths. Usage: make_copy_seeds OUTPUT_FOLDER
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "blank_disc.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/result.h"

namespace {

std::u16string Wide(const std::string& s) { return quenvar::platform::Utf8ToUtf16(s); }

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> data(bytes);
  uint32_t x = seed * 2654435761u + 7;
  for (uint8_t& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return out.good();
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class SeedMaker {
 public:
  explicit SeedMaker(std::string out) : out_(std::move(out)) {
    work_ = out_ + "/.work";
    std::system(("mkdir -p '" + work_ + "'").c_str());
  }
  ~SeedMaker() { std::system(("rm -rf '" + work_ + "'").c_str()); }

  // A blank virtual disc of kind; the handle is closed by the caller.
  HANDLE Blank(const std::string& kind, const std::string& name) {
    std::string error;
    HANDLE drive = quenvar::fuzz::OpenBlankDisc(work_ + "/" + name + ".disc", kind, &error);
    return drive ? drive : Fail(error);
  }

  // Records plain 2048-byte sectors as one track at the disc's next writable address.
  bool RecordPlain(HANDLE drive, size_t blocks, uint32_t seed, DWORD write_mode) {
    const std::string plain = work_ + "/plain.iso";
    if (!WriteBytes(plain, Pattern(blocks * 2048, seed))) return false;
    const DWORD result = CPY_WriteISOImage(drive, write_mode, 1, Wide(plain).c_str(), nullptr);
    if (result != QD_OK) std::fprintf(stderr, "recording plain sectors: 0x%08X\n", result);
    return result == QD_OK;
  }

  // A single data track image of a data disc holding one small file.
  bool SingleTrackImage(const std::string& image) {
    const std::string file = work_ + "/readme.txt";
    if (!WriteBytes(file, Pattern(3000, 9))) return false;
    HANDLE disc = MST_CreateDatadisk();
    bool ok = disc != nullptr && MST_SetFileSystem(disc, MST_FS_ISO9660_JOLIET) == QD_OK &&
              MST_AddDatadiskFile(disc, Wide(file).c_str(), u"") != INVALID_HANDLE_VALUE;
    if (ok) {
      const DWORD result = MST_CreateDiskImage(Wide(image).c_str(), disc, nullptr, FALSE);
      if (result != QD_OK) std::fprintf(stderr, "MST_CreateDiskImage: 0x%08X\n", result);
      ok = result == QD_OK;
    }
    if (disc) MST_DestroyDatadisk(disc);
    return ok;
  }

  // A multi-track image of a virtual disc of kind, recorded with one plain track per entry of
  // blocks (write mode 1 for all but the last, which gets last_mode).
  bool DiscImage(const std::string& kind, const std::vector<size_t>& blocks, DWORD last_mode,
                 const std::string& image) {
    HANDLE drive = Blank(kind, "source");
    if (!drive) return false;
    bool ok = true;
    for (size_t i = 0; ok && i < blocks.size(); ++i) {
      ok = RecordPlain(drive, blocks[i], static_cast<uint32_t>(i + 1), i + 1 == blocks.size() ? last_mode : 1);
    }
    if (ok) {
      const DWORD result = CPY_CreateDiskImage(drive, Wide(image).c_str(), nullptr);
      if (result != QD_OK) std::fprintf(stderr, "CPY_CreateDiskImage: 0x%08X\n", result);
      ok = result == QD_OK;
    }
    DRV_CloseDrive(drive);
    return ok;
  }

  // Stores the seed (selector byte + image) after recording it onto media of kind and comparing.
  bool Store(const std::string& image, const std::string& kind, uint8_t selector, const std::string& name) {
    HANDLE opened = CPY_OpenDiskImage(Wide(image).c_str());
    if (!opened) return Fail("cannot open " + image) != nullptr;
    HANDLE target = Blank(kind, "target");
    bool ok = target != nullptr;
    if (ok) {
      const DWORD mode = (selector >> 2) & 3 ? (selector >> 2) & 3 : 3;
      DWORD result = CPY_WriteDiskImage(target, opened, mode, nullptr, 4);
      if (result == QD_OK) result = CPY_CompareDiskImage(target, opened, nullptr);
      if (result != QD_OK) std::fprintf(stderr, "%s does not copy back: 0x%08X\n", name.c_str(), result);
      ok = result == QD_OK;
      DRV_CloseDrive(target);
    }
    CPY_CloseDiskImage(opened);
    std::vector<uint8_t> seed = ReadBytes(image);
    seed.insert(seed.begin(), selector);
    return ok && WriteBytes(out_ + "/" + name, seed);
  }

  const std::string& work() const { return work_; }

 private:
  static HANDLE Fail(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return nullptr;
  }

  std::string out_;
  std::string work_;
};

// Selector: bits 0-1 the media (0 CD-R, 1 DVD-R, 2 DVD+RW, 3 DVD+R), bits 2-3 the write mode.
constexpr uint8_t Selector(uint8_t media, uint8_t mode) { return static_cast<uint8_t>(media | mode << 2); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_copy_seeds OUTPUT_FOLDER\n");
    return 2;
  }
  SeedMaker maker(argv[1]);
  const std::string single = maker.work() + "/single.wvm";
  const std::string multi_cd = maker.work() + "/multi_cd.wvm";
  const std::string dvd_r = maker.work() + "/dvd_r.wvm";
  const std::string dvd_plus_r = maker.work() + "/dvd_plus_r.wvm";
  bool ok = maker.SingleTrackImage(single) &&
            maker.Store(single, "cd-r", Selector(0, 1), "single_track_cd_r.bin") &&
            maker.Store(single, "dvd+rw", Selector(2, 3), "single_track_dvd_plus_rw.bin");
  ok = ok && maker.DiscImage("cd-r", {8, 6}, 1, multi_cd) &&
       maker.Store(multi_cd, "cd-r", Selector(0, 1), "two_sessions_cd_r.bin") &&
       maker.Store(multi_cd, "cd-r", Selector(0, 3), "two_sessions_cd_r_at_once.bin");
  ok = ok && maker.DiscImage("dvd-r", {6}, 1, dvd_r) &&
       maker.Store(dvd_r, "dvd-r", Selector(1, 2), "open_track_dvd_r.bin");
  ok = ok && maker.DiscImage("dvd+r", {7}, 2, dvd_plus_r) &&
       maker.Store(dvd_plus_r, "dvd+r", Selector(3, 2), "one_track_dvd_plus_r.bin");
  return ok ? 0 : 1;
}
