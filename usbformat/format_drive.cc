#include "format_drive.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

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

uint32_t RunFormatter(const FormatRequest& request, const std::string& partition,
                      bool pump_messages) {
  ToolOutcome outcome = RunTool(FormatterCommand(request, partition), "", pump_messages);
  if (outcome.Succeeded()) return TF_OK;
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
    // Count characters, not units: a pair stays whole.
    size_t units = 0;
    for (size_t chars = 0; units < cut.size() && chars < kMaxFatLabelChars; ++chars) {
      units += (cut[units] >= 0xD800 && cut[units] <= 0xDBFF && units + 1 < cut.size()) ? 2 : 1;
    }
    cut.resize(units);
  }
  request->has_label = !cut.empty();
  request->label = platform::Utf16ToUtf8(cut);
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
  why = WhyUnsafeToFormat(*disk);
  if (!why.empty()) {
    Complain(letter, why + "; refused");
    return TF_E_NOT_REMOVABLE;
  }
  return TF_OK;
}

std::vector<std::string> FormatterCommand(const FormatRequest& request,
                                          const std::string& partition) {
  std::vector<std::string> argv;
  if (request.file_system == FileSystem::kFat32) {
    argv = {"mkfs.vfat", "-F", "32"};
    if (request.has_label) argv.insert(argv.end(), {"-n", request.label});
  } else {
    argv = {"mkntfs", "-Q"};
    if (request.has_label) argv.insert(argv.end(), {"-L", request.label});
  }
  argv.push_back(partition);
  return argv;
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
  ToolOutcome outcome = RunTool(
      {"sfdisk", "--quiet", "--wipe", "always", "--wipe-partitions", "always", disk.device_path},
      script, /*pump_messages=*/true);
  unlink(script.c_str());
  if (outcome.state == ToolOutcome::State::kStartFailed)
    return static_cast<uint32_t>(outcome.error);
  if (!outcome.Succeeded()) return TF_E_TOOL_FAILED;

  std::string partition = RereadAndFindPartition(disk, 1);
  if (partition.empty()) return ENODEV;
  return RunFormatter(request, partition, /*pump_messages=*/true);
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
  UnmountAll(disk);
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
                               : RunFormatter(request, partition, /*pump_messages=*/false);
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
