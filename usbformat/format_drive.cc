#include "format_drive.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "fat_boot.h"
#include "platform/code_page.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "tarnfold/tarnfold.h"
#include "tool_runner.h"

namespace quenvar::usbformat {
namespace {

constexpr int kFormatAttempts = 5;

bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (platform::AsciiUpper(a[i]) != platform::AsciiUpper(b[i])) return false;
  }
  return true;
}

bool ParseFileSystem(std::u16string_view name, FileSystem* file_system) {
  if (SameNameIgnoringCase(name, u"FAT32")) {
    *file_system = FileSystem::kFat32;
    return true;
  }
  if (SameNameIgnoringCase(name, u"NTFS")) {
    *file_system = FileSystem::kNtfs;
    return true;
  }
  return false;
}

void Complain(char letter, const std::string& what) {
  std::fprintf(stderr, "tarnfold: %c: %s\n", letter, what.c_str());
}

// Writes the script into a file of its own in the temporary folder: the name is unique and
// created exclusively, so no other user can plant or swap the script the partitioner reads.
std::string WriteScript(const std::string& text) {
  std::string path = platform::Env::Default()->TemporaryDirectory() + "/quenvar-sfdisk-XXXXXX";
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);  // O_CREAT | O_EXCL, mode 0600
  if (fd < 0) return "";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == text.size() && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok) {
    unlink(name.data());
    return "";
  }
  return name.data();
}

bool NeedsPlaceholder(const FormatRequest& request) {
  for (char c : request.oem_label) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

uint32_t RunFormatter(const FormatRequest& request, const DiskNode& disk, int number,
                      const std::string& partition, bool pump_messages) {
  PartitionPlacement placement;
  // Only NTFS records the placement; a medium that cannot tell it would not boot.
  if (!FindPlacement(disk, number, &placement) && request.file_system == FileSystem::kNtfs)
    return TF_E_GEOMETRY;
  ToolCall call;
  call.argv = FormatterCommand(request, partition, placement);
  call.pump_messages = pump_messages;
  call.environment = Utf8ToolEnvironment();
  ToolOutcome outcome = RunTool(call);
  if (outcome.Succeeded()) {
    if (request.file_system != FileSystem::kFat32) return TF_OK;
    const int fd = open(partition.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      Complain(request.letter, partition + " cannot be opened after formatting");
      return TF_E_TOOL_FAILED;
    }
    if (NeedsPlaceholder(request) && !WriteFatLabel(fd, request.oem_label)) {
      close(fd);
      Complain(request.letter, "the volume label could not be written");
      return TF_E_TOOL_FAILED;
    }
    // The formatter's boot sector only says that the disk is not bootable; ours starts the
    // loader that a bootable medium carries in its root folder.
    const FatBootResult installed = InstallFatBootProgram(fd, 0, kFatBootLoader);
    close(fd);
    if (installed == FatBootResult::kInstalled) return TF_OK;
    Complain(request.letter, FatBootResultText(installed));
    return TF_E_TOOL_FAILED;
  }
  Complain(request.letter, call.argv[0] + " failed: " + outcome.LastErrorLine());
  if (outcome.state == ToolOutcome::State::kStartFailed ||
      outcome.state == ToolOutcome::State::kWaitFailed) {
    return TF_E_TOOL_START;
  }
  return TF_E_TOOL_FAILED;
}

bool WriteAll(int fd, const uint8_t* data, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* data, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The folder of the running program, for tools installed beside it.
std::string ProgramFolder() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return "";
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Older platform versions leave the whole job to an outside formatter that knows the drive by its
// letter; the label is set afterwards and its result does not count.
uint32_t OutsideFormatter(const FormatRequest& request, const DiskNode& disk) {
  std::string program = ProgramFolder() + "/formatufd";
  if (FindTool(program).empty()) program = "formatufd";
  std::string drive = std::string(1, request.letter) + ":";
  ToolOutcome outcome = RunTool({program, drive, "/Y"});
  if (outcome.state == ToolOutcome::State::kStartFailed ||
      outcome.state == ToolOutcome::State::kWaitFailed) {
    return TF_E_TOOL_START;
  }
  if (!outcome.Succeeded()) return TF_E_TOOL_FAILED;
  if (request.has_label) {
    std::string partition = RereadAndFindPartition(disk, 1, 2000);
    if (!partition.empty() && !RunTool({"fatlabel", partition, request.label}).Succeeded()) {
      RunTool({"ntfslabel", partition, request.label});
    }
  }
  return TF_OK;
}

}  // namespace

uint32_t OemCodePage(uint32_t ansi_code_page) {
  uint32_t oem = 850;
  switch (ansi_code_page) {
    case 932:
    case 936:
    case 949:
    case 950:
      oem = ansi_code_page;
      break;
    case 1250:
      oem = 852;
      break;
    case 1251:
      oem = 866;
      break;
    case 1253:
      oem = 737;
      break;
    case 1254:
      oem = 857;
      break;
    case 1255:
      oem = 862;
      break;
    case 1257:
      oem = 775;
      break;
    default:
      break;
  }
  return platform::IsCodePageSupported(oem) ? oem : 850;
}

namespace {

std::string FatLabelBytes(std::u16string_view label, uint32_t code_page) {
  static constexpr std::string_view kForbidden = "*?.,;:/\\|+=<>[]\"";
  std::string stored;
  size_t i = 0;
  while (i < label.size()) {
    size_t units = 1;
    if (label[i] >= 0xD800 && label[i] <= 0xDBFF && i + 1 < label.size() &&
        label[i + 1] >= 0xDC00 && label[i + 1] <= 0xDFFF) {
      units = 2;
    }
    const std::u16string_view one = label.substr(i, units);
    i += units;
    std::string bytes = platform::ToAnsi(one, code_page);
    // A character the code page lacks comes back as "?"; its round trip tells them apart from a
    // best-fit substitute.
    if (bytes.empty() || platform::FromAnsi(bytes, code_page) != one) bytes = "_";
    for (char& b : bytes) {
      const auto u = static_cast<unsigned char>(b);
      if (bytes.size() == 1 &&
          (u < 0x20 || u == 0x7F || kForbidden.find(b) != std::string_view::npos))
        b = '_';
    }
    if (stored.size() + bytes.size() > kMaxFatLabelChars) break;
    stored += bytes;
  }
  while (!stored.empty() && stored.back() == ' ') stored.pop_back();
  return stored;
}

}  // namespace

std::string FatLabel(std::u16string_view label, uint32_t code_page) {
  return platform::Utf16ToUtf8(platform::FromAnsi(FatLabelBytes(label, code_page), code_page));
}

bool WriteFatLabel(int fd, std::string_view stored) {
  if (stored.size() > kMaxFatLabelChars) return false;
  uint8_t boot[512];
  if (!ReadAll(fd, boot, sizeof boot, 0) || boot[510] != 0x55 || boot[511] != 0xAA) return false;
  auto u16 = [&](size_t o) { return static_cast<uint32_t>(boot[o] | (boot[o + 1] << 8)); };
  auto u32 = [&](size_t o) { return u16(o) | (u16(o + 2) << 16); };
  const uint32_t bytes_per_sector = u16(11);
  const uint32_t sectors_per_cluster = boot[13];
  const uint64_t first_data = u16(14) + static_cast<uint64_t>(boot[16]) * u32(36);
  const uint32_t root_cluster = u32(44);
  const uint32_t backup = u16(50);
  if (bytes_per_sector < 512 || sectors_per_cluster == 0 || root_cluster < 2) return false;
  uint8_t field[11];
  std::fill(field, field + 11, ' ');
  std::copy(stored.begin(), stored.end(), field);

  // The volume entry of the root folder that mkfs.vfat made for the placeholder.
  const off_t root = static_cast<off_t>(
      (first_data + uint64_t{root_cluster - 2} * sectors_per_cluster) * bytes_per_sector);
  std::vector<uint8_t> folder(bytes_per_sector);
  if (!ReadAll(fd, folder.data(), folder.size(), root)) return false;
  uint8_t placeholder[11];
  std::fill(placeholder, placeholder + 11, ' ');
  std::copy(kFatLabelPlaceholder, kFatLabelPlaceholder + sizeof(kFatLabelPlaceholder) - 1,
            placeholder);
  bool found = false;
  for (size_t at = 0; at + 32 <= folder.size() && !found; at += 32) {
    if (folder[at + 11] != 0x08 || !std::equal(placeholder, placeholder + 11, &folder[at]))
      continue;
    std::copy(field, field + 11, &folder[at]);
    if (folder[at] == 0xE5) folder[at] = 0x05;  // 0xE5 first marks a free entry
    found = true;
  }
  if (!found || !std::equal(placeholder, placeholder + 11, &boot[71])) return false;
  if (!WriteAll(fd, folder.data(), folder.size(), root)) return false;
  std::copy(field, field + 11, &boot[71]);
  if (!WriteAll(fd, boot, sizeof boot, 0)) return false;
  if (backup != 0 && backup != 0xFFFF) {
    uint8_t copy[512];
    const off_t at = static_cast<off_t>(backup) * bytes_per_sector;
    if (ReadAll(fd, copy, sizeof copy, at) &&
        std::equal(placeholder, placeholder + 11, &copy[71])) {
      std::copy(field, field + 11, &copy[71]);
      if (!WriteAll(fd, copy, sizeof copy, at)) return false;
    }
  }
  return fsync(fd) == 0;
}

std::u16string CutLabel(std::u16string_view label, size_t max_units) {
  std::u16string buffer(max_units + 1, u'\0');
  size_t n = platform::CopyUtf16(label, buffer.data(), buffer.size());
  buffer.resize(n);
  return buffer;
}

uint32_t ParseRequest(uint32_t letter, const char16_t* file_system, const char16_t* label,
                      FormatRequest* request) {
  char16_t unit = static_cast<char16_t>(letter & 0xFFFF);
  if (!((unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z')))
    return TF_E_INVALID_ARGUMENT;
  if (!file_system || !ParseFileSystem(platform::Utf16View(file_system), &request->file_system)) {
    return TF_E_INVALID_ARGUMENT;
  }
  request->letter = static_cast<char>(platform::AsciiUpper(unit));
  std::u16string cut = CutLabel(platform::Utf16View(label));
  if (request->file_system == FileSystem::kFat32) {
    request->code_page = OemCodePage(platform::AnsiCodePage());
    request->oem_label = FatLabelBytes(cut, request->code_page);
    request->label =
        platform::Utf16ToUtf8(platform::FromAnsi(request->oem_label, request->code_page));
  } else {
    request->label = platform::Utf16ToUtf8(cut);
  }
  request->has_label = !request->label.empty();
  return TF_OK;
}

uint32_t CheckRemovable(const platform::DriveMap& map, char letter, DiskNode* disk) {
  const platform::DriveMapEntry* entry = map.Find(letter);
  if (!entry || entry->type() != platform::DriveType::kRemovable) {
    Complain(letter, "not a USB drive of the drive map; refused");
    return TF_E_NOT_REMOVABLE;
  }
  std::string why;
  if (access(entry->device_path.c_str(), F_OK) != 0) {
    Complain(letter, entry->device_path + " does not exist");
    return TF_E_OPEN;
  }
  if (!ResolveDisk(entry->device_path, disk, &why)) {
    Complain(letter, why + "; refused");
    return TF_E_NOT_REMOVABLE;
  }
  why = WhyNotRemovable(*disk);
  if (why.empty()) why = WhyUnsafeToFormat(*disk);
  if (!why.empty()) {
    Complain(letter, why + "; refused");
    return TF_E_NOT_REMOVABLE;
  }
  return TF_OK;
}

std::vector<std::string> FormatterCommand(const FormatRequest& request,
                                          const std::string& partition,
                                          const PartitionPlacement& placement) {
  std::vector<std::string> argv;
  if (request.file_system == FileSystem::kFat32) {
    argv = {"mkfs.vfat", "-F", "32"};
    if (request.has_label) {
      // mkfs.vfat converts the label from the locale's UTF-8 into this code page, but refuses
      // every byte above 0x7F: such a label is written over a placeholder afterwards.
      argv.push_back("--codepage=" + std::to_string(request.code_page ? request.code_page : 850));
      argv.insert(argv.end(),
                  {"-n", NeedsPlaceholder(request) ? kFatLabelPlaceholder : request.label});
    }
  } else {
    argv = {"mkntfs", "-Q"};
    if (request.has_label) argv.insert(argv.end(), {"-L", request.label});
    // The boot sector records where it sits and the drive's geometry; without them the medium
    // does not boot.
    if (placement.heads > 0 && placement.sectors_per_track > 0) {
      argv.insert(argv.end(),
                  {"-s", std::to_string(placement.bytes_per_sector), "-p",
                   std::to_string(placement.start_sector), "-H", std::to_string(placement.heads),
                   "-S", std::to_string(placement.sectors_per_track)});
    }
  }
  argv.push_back(partition);
  return argv;
}

bool FindPlacement(const DiskNode& disk, int number, PartitionPlacement* placement) {
  const int fd = open(disk.device_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  DiskGeometry geometry;
  const bool read = ReadGeometry(fd, &geometry) && UsableGeometry(geometry);
  close(fd);
  if (!read) return false;
  for (const PartitionNode& p : ListPartitions(disk)) {
    if (p.number != number) continue;
    placement->bytes_per_sector = geometry.bytes_per_sector;
    placement->heads = geometry.heads;
    placement->sectors_per_track = geometry.sectors_per_track;
    // sysfs counts 512-byte units whatever the sector size.
    placement->start_sector = p.start * 512 / geometry.bytes_per_sector;
    return true;
  }
  return false;
}

std::string PartitionScript(FileSystem file_system) {
  // One primary partition over the whole drive (sfdisk aligns its start), active.
  return std::string("label: dos\n\n,,") + (file_system == FileSystem::kFat32 ? "c" : "7") + ",*\n";
}

uint32_t PartitionStep(const FormatRequest& request, const DiskNode& disk) {
  int fd = open(disk.device_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return static_cast<uint32_t>(errno);
  close(fd);
  if (!UnmountAll(disk)) return static_cast<uint32_t>(errno ? errno : EBUSY);

  std::string script = WriteScript(PartitionScript(request.file_system));
  if (script.empty()) return TF_E_TOOL_START;
  ToolCall call;
  call.argv = {"sfdisk", "--quiet",       "--wipe", "always", "--wipe-partitions",
               "always", disk.device_path};
  call.stdin_path = script;
  call.pump_messages = true;
  ToolOutcome outcome = RunTool(call);
  unlink(script.c_str());
  if (outcome.state == ToolOutcome::State::kStartFailed)
    return static_cast<uint32_t>(outcome.error);
  if (!outcome.Succeeded()) {
    Complain(request.letter, "sfdisk failed: " + outcome.LastErrorLine());
    return TF_E_TOOL_FAILED;
  }

  // sfdisk leaves the boot program area of a new table empty: a BIOS would run zeros.
  const int disk_fd = open(disk.device_path.c_str(), O_RDWR | O_CLOEXEC);
  const bool coded = disk_fd >= 0 && WriteMasterBootCode(disk_fd);
  if (disk_fd >= 0) close(disk_fd);
  if (!coded) {
    Complain(request.letter, "the master boot record's program could not be written");
    return TF_E_WRITE_MBR;
  }

  std::string partition = RereadAndFindPartition(disk, 1);
  if (partition.empty()) return ENODEV;
  return RunFormatter(request, disk, 1, partition, /*pump_messages=*/true);
}

uint32_t RewriteBootRecord(int fd, std::u16string_view file_system, int index) {
  if (fd < 0) return TF_E_NO_DRIVE;
  FileSystem fs;
  if (!ParseFileSystem(file_system, &fs)) return TF_E_FILE_SYSTEM;
  if (index > 3 || index < 0) return TF_E_PARTITION_INDEX;
  DiskGeometry geometry;
  if (!ReadGeometry(fd, &geometry) || !UsableGeometry(geometry)) return TF_E_GEOMETRY;

  std::vector<uint8_t> sector(geometry.bytes_per_sector, 0);
  auto mbr = BuildMasterBootRecord(geometry, fs, index);
  std::copy(mbr.begin(), mbr.end(), sector.begin());
  if (!WriteAll(fd, sector.data(), sector.size(), 0)) return TF_E_WRITE_MBR;
  // Clear the rest of the first track so that no stale boot loader or file system signature
  // survives in front of the new partition.
  std::fill(sector.begin(), sector.end(), 0);
  for (uint32_t i = 1; i <= geometry.sectors_per_track; ++i) {
    if (!WriteAll(fd, sector.data(), sector.size(),
                  static_cast<off_t>(i) * geometry.bytes_per_sector))
      break;
  }
  fsync(fd);
  return TF_OK;
}

uint32_t FallbackStep(const FormatRequest& request, const DiskNode& disk) {
  // A FUSE driver holds its partition without an exclusive claim: the exclusive open below would
  // not notice it, so a mount that stays is a refusal of its own.
  if (!UnmountAll(disk)) {
    Complain(request.letter, disk.device_path + " is still mounted");
    return TF_E_OPEN;
  }
  // An exclusive open fails while anything else holds the disk or one of its partitions.
  int fd = open(disk.device_path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    Complain(request.letter, disk.device_path + " cannot be opened");
    return TF_E_OPEN;
  }
  std::vector<uint8_t> first(kMbrSize);
  int index = ReadAll(fd, first.data(), first.size(), 0) ? SinglePartitionIndex(first.data()) : -1;
  if (index < 0) {
    close(fd);
    Complain(request.letter, "the drive does not hold exactly one partition");
    return TF_E_LAYOUT;
  }
  uint32_t result =
      RewriteBootRecord(fd, request.file_system == FileSystem::kFat32 ? u"FAT32" : u"NTFS", index);
  close(fd);
  if (result != TF_OK) return result;

  result = TF_E_TOOL_START;
  for (int attempt = 0; attempt < kFormatAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::string partition = RereadAndFindPartition(disk, index + 1, attempt == 0 ? 10000 : 2000);
    result = partition.empty() ? TF_E_TOOL_START
                               : RunFormatter(request, disk, index + 1, partition,
                                              /*pump_messages=*/false);
    if (result == TF_OK) break;
  }
  return result;
}

uint32_t FormatDrive(const platform::DriveMap& map, const platform::PlatformVersion& version,
                     uint32_t letter, const char16_t* file_system, const char16_t* label) {
  FormatRequest request;
  uint32_t result = ParseRequest(letter, file_system, label, &request);
  if (result != TF_OK) return result;
  DiskNode disk;
  result = CheckRemovable(map, request.letter, &disk);
  if (result != TF_OK) return result;
  if (version.major == 5 && version.minor >= 1) return OutsideFormatter(request, disk);
  if (PartitionStep(request, disk) == TF_OK) return TF_OK;
  Complain(request.letter, "partitioning failed; rewriting the boot record");
  return FallbackStep(request, disk);
}

}  // namespace quenvar::usbformat
