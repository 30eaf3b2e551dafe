#include "drive/virtual/virtual_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "drive/virtual/cd_sector.h"
#include "drive/virtual/device_internal.h"
#include "util/byte_order.h"

namespace quillden::drive::virt {

using quenvar::platform::Env;
using quenvar::platform::FileInfo;
using quenvar::platform::Status;
using quenvar::platform::WriteMode;

namespace {

std::mutex& RegistryMutex() {
  static std::mutex mu;
  return mu;
}
std::map<std::string, std::weak_ptr<VirtualDevice>>& Registry() {
  static auto* registry = new std::map<std::string, std::weak_ptr<VirtualDevice>>();
  return *registry;
}

// Commands a drive answers while it is busy or becoming ready: identification, configuration,
// events, mode pages and the lock.
bool AnsweredWhileNotReady(uint8_t opcode) {
  switch (opcode) {
    case kOpInquiry: case kOpRequestSense: case kOpGetConfiguration: case kOpGetEventStatus:
    case kOpModeSense10: case kOpPreventAllow: case kOpGetPerformance: case kOpSetCdSpeed:
    case kOpSetStreaming: case kOpModeSelect10:
      return true;
    default:
      return false;
  }
}

bool NeedsMedium(uint8_t opcode) {
  switch (opcode) {
    case kOpTestUnitReady: case kOpFormatUnit: case kOpReadCapacity: case kOpRead10:
    case kOpWrite10: case kOpSynchronizeCache: case kOpReadToc: case kOpReadDiscInformation:
    case kOpReadTrackInformation: case kOpReserveTrack: case kOpCloseTrackSession:
    case kOpSendCueSheet: case kOpBlank: case kOpReadDiscStructure: case kOpSendDiscStructure:
    case kOpReadCd:
      return true;
    default:
      return false;
  }
}

// Bytes of the backing file locked (open file description locks, never the data) to say who holds
// the drive: the job that changes the medium, and the processes that prevent medium removal.
constexpr off_t kClaimByte = 0;
constexpr off_t kPreventByte = 1;

bool SetByteLock(int fd, short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  int result;
  do {
    result = ::fcntl(fd, F_OFD_SETLK, &lock);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// True when an open file description other than this process's own holds a lock on byte of path.
bool ByteLockedElsewhere(const std::string& path, off_t byte) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

}  // namespace

VirtualDevice::VirtualDevice(std::string backing_path, Env* env)
    : backing_path_(std::move(backing_path)), env_(env) {
  // Write parameters page defaults: track at once, data track, mode 1 blocks, pause 150.
  write_page_[0] = 0x05;
  write_page_[1] = 0x32;
  write_page_[2] = 0x01;
  write_page_[3] = 0x04;
  write_page_[4] = 0x08;
  PutBe16(&write_page_[14], 150);
}

VirtualDevice::~VirtualDevice() {
  std::lock_guard<std::mutex> lock(mu_);
  if (dirty_) {
    std::string ignored;
    SaveLocked(&ignored);
  }
  if (prevent_fd_ >= 0) ::close(prevent_fd_);
  if (claim_fd_ >= 0) ::close(claim_fd_);
}

int VirtualDevice::Claim(const void* holder) {
  std::lock_guard<std::mutex> lock(mu_);
  if (claim_holder_ == holder) return 0;
  if (claim_holder_ != nullptr) return EBUSY;
  const int fd = ::open(backing_path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno;
  if (!SetByteLock(fd, F_WRLCK, kClaimByte)) {
    const int error_number = errno;
    ::close(fd);
    return error_number == EAGAIN || error_number == EACCES ? EBUSY : error_number;
  }
  claim_holder_ = holder;
  claim_fd_ = fd;
  ReloadIfChanged();
  DropStaleBlocks();
  return 0;
}

void VirtualDevice::Release(const void* holder) {
  std::lock_guard<std::mutex> lock(mu_);
  if (holder == nullptr || claim_holder_ != holder) return;
  ::close(claim_fd_);
  claim_fd_ = -1;
  claim_holder_ = nullptr;
}

void VirtualDevice::DropStaleBlocks() {
  // Overwritable media keep what was once written anywhere, as the real discs do; pressed media
  // live in their image.
  if (!state_.has_medium || state_.is_pressed() || state_.is_random_writable()) return;
  int64_t end = 0;
  for (const TrackState& t : state_.tracks) {
    if (t.written != 0) end = std::max(end, TrackBlockLba(t, t.written - 1) + 1);
  }
  FileInfo info;
  if (data_writer_ && env_->Stat(backing_path_, true, &info).ok() &&
      info.size > uint64_t(end) * 2048) {
    data_writer_->Truncate(uint64_t(end) * 2048);
  }
  const std::string raw = RawFilePath(backing_path_);
  if (env_->Stat(raw, true, &info).ok() && info.size > uint64_t(end) * 2352) {
    std::unique_ptr<quenvar::platform::WritableFile> raw_file;
    if (raw_writer_) {
      raw_writer_->Truncate(uint64_t(end) * 2352);
    } else if (env_->OpenWritable(raw, WriteMode::kOpenExisting, &raw_file).ok()) {
      raw_file->Truncate(uint64_t(end) * 2352);
      raw_file->Close();
    }
    raw_reader_.reset();
  }
}

uint16_t VirtualDevice::ReportedProfile() const {
  if (!state_.medium_present()) return 0;
  const uint16_t p = state_.profile;
  if (model_.every_medium || model_.Writes(p)) return p;
  if (!model_.ReadsFamilyOf(p)) return 0;
  if (state_.is_pressed()) return p;
  // A recordable medium this drive only reads: readable once something is recorded on it.
  for (const TrackState& t : state_.tracks) {
    if (t.written != 0) return state_.is_cd() ? kProfileCdRom : kProfileDvdRom;
  }
  return 0;
}

bool VirtualDevice::RefusedByDrive(uint8_t opcode, Answer* answer) const {
  if (model_.every_medium) return false;
  if (opcode == kOpReadTrackInformation && model_.writes.empty()) {
    *answer = Answer::Sense(5, 0x20, 0x00);  // a reading drive of the older kind
    return true;
  }
  if (!NeedsMedium(opcode) || !state_.medium_present()) return false;
  const uint16_t reported = ReportedProfile();
  if (reported == 0) {
    *answer = Answer::Sense(2, 0x30, 0x00);  // incompatible medium installed
    return true;
  }
  switch (opcode) {
    case kOpWrite10:
    case kOpReserveTrack:
    case kOpCloseTrackSession:
    case kOpSendCueSheet:
    case kOpBlank:
    case kOpFormatUnit:
    case kOpSendDiscStructure:
      if (!model_.Writes(reported)) {
        *answer =
            model_.writes.empty() ? Answer::Sense(5, 0x20, 0x00) : Answer::Sense(5, 0x30, 0x05);
        return true;
      }
      return false;
    default:
      return false;
  }
}

bool VirtualDevice::RemovalPrevented() {
  if (!state_.locked) return false;
  if (prevent_fd_ >= 0 || ByteLockedElsewhere(backing_path_, kPreventByte)) return true;
  state_.locked = false;
  dirty_ = true;
  return false;
}

void VirtualDevice::HoldRemovalLock(bool prevent) {
  if (!prevent) {
    if (prevent_fd_ >= 0) ::close(prevent_fd_);
    prevent_fd_ = -1;
    return;
  }
  if (prevent_fd_ >= 0) return;
  const int fd = ::open(backing_path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  if (SetByteLock(fd, F_RDLCK, kPreventByte)) {
    prevent_fd_ = fd;
  } else {
    ::close(fd);
  }
}

std::shared_ptr<VirtualDevice> VirtualDevice::Acquire(const std::string& backing_path,
                                                      const std::string& media_kind, Env* env,
                                                      std::string* error,
                                                      const VirtualDriveModel* model) {
  if (backing_path.empty()) {
    *error = "no backing file given";
    return nullptr;
  }
  std::error_code ec;
  std::string key = std::filesystem::absolute(backing_path, ec).lexically_normal().string();
  if (ec) key = backing_path;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& registry = Registry();
  auto it = registry.find(key);
  if (it != registry.end()) {
    if (auto device = it->second.lock()) return device;
  }
  std::shared_ptr<VirtualDevice> device(new VirtualDevice(key, env));
  if (model != nullptr) device->model_ = *model;
  if (!device->Load(media_kind, error)) return nullptr;
  registry[key] = device;
  return device;
}

bool VirtualDevice::Load(const std::string& media_kind, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::string state_path = StateFilePath(backing_path_);
  FileInfo info;
  if (env_->Stat(state_path, true, &info).ok()) {
    if (!LoadStateFile(env_, state_path, &state_, error)) return false;
    state_stamp_size_ = info.size;
    state_stamp_time_ = info.last_write_time;
    return OpenFiles(error);
  }
  FileInfo data_info;
  if (env_->Stat(backing_path_, true, &data_info).ok() && data_info.size != 0) {
    *error = backing_path_ + " already holds data but has no virtual disc state; load it as an "
             "image (quillden virtual load) or remove it";
    return false;
  }
  if (!MakeBlankMedium(media_kind, 0, &state_, error)) return false;
  if (!OpenFiles(error)) return false;
  return SaveLocked(error);
}

bool VirtualDevice::OpenFiles(std::string* error) {
  data_reader_.reset();
  data_writer_.reset();
  raw_reader_.reset();
  raw_writer_.reset();
  image_reader_.reset();
  FileInfo info;
  WriteMode mode = env_->Stat(backing_path_, true, &info).ok() ? WriteMode::kOpenExisting
                                                                : WriteMode::kCreateNew;
  Status st = env_->OpenWritable(backing_path_, mode, &data_writer_);
  if (st.ok()) st = env_->OpenReadable(backing_path_, &data_reader_);
  if (!st.ok()) {
    *error = "cannot open backing file: " + st.ToString();
    return false;
  }
  if (!state_.image_path.empty() && state_.has_medium) {
    st = env_->OpenReadable(state_.image_path, &image_reader_);
    if (!st.ok()) {
      *error = "cannot open the image of the pressed medium: " + st.ToString();
      return false;
    }
  }
  return true;
}

void VirtualDevice::TruncateData() {
  if (data_writer_) data_writer_->Truncate(0);
  state_.cd_text.clear();
  const std::string raw = RawFilePath(backing_path_);
  raw_reader_.reset();
  raw_writer_.reset();
  FileInfo info;
  if (env_->Stat(raw, true, &info).ok()) env_->RemoveFile(raw);
}

bool VirtualDevice::SaveLocked(std::string* error) {
  const std::string path = StateFilePath(backing_path_);
  if (!SaveStateFile(env_, path, state_, error)) return false;
  dirty_ = false;
  FileInfo info;
  if (env_->Stat(path, true, &info).ok()) {
    state_stamp_size_ = info.size;
    state_stamp_time_ = info.last_write_time;
  }
  return true;
}

void VirtualDevice::ReloadIfChanged() {
  const std::string path = StateFilePath(backing_path_);
  FileInfo info;
  if (!env_->Stat(path, true, &info).ok()) return;
  if (info.size == state_stamp_size_ && info.last_write_time == state_stamp_time_) return;
  MediaState fresh;
  std::string error;
  state_stamp_size_ = info.size;
  state_stamp_time_ = info.last_write_time;
  if (!LoadStateFile(env_, path, &fresh, &error)) return;  // keep what we have
  const bool medium_changed = fresh.has_medium != state_.has_medium ||
                              fresh.tray_open != state_.tray_open || fresh.kind != state_.kind;
  state_ = fresh;
  dirty_ = false;
  sao_active_ = false;
  std::string ignored;
  OpenFiles(&ignored);
  if (medium_changed) QueueMediaEvent(state_.medium_present() ? kMediaEventNewMedia : kMediaEventRemoval);
}

uint64_t VirtualDevice::Now() { return env_->TickCountMs(); }

bool VirtualDevice::BusyNow(uint16_t* progress) {
  if (state_.background_format == 2 && state_.background_format_started_ms != 0 &&
      Now() - state_.background_format_started_ms >= state_.timing.background_format_ms) {
    state_.background_format = 3;
    dirty_ = true;
  }
  if (busy_ == Busy::kNone) return false;
  const uint64_t elapsed = Now() - busy_start_ms_;
  if (elapsed >= busy_duration_ms_) {
    busy_ = Busy::kNone;
    return false;
  }
  *progress = static_cast<uint16_t>(std::min<uint64_t>(65535, elapsed * 65536 / busy_duration_ms_));
  return true;
}

void VirtualDevice::StartBusy(Busy kind, uint32_t duration_ms) {
  if (duration_ms == 0) return;
  busy_ = kind;
  busy_start_ms_ = Now();
  busy_duration_ms_ = duration_ms;
}

void VirtualDevice::QueueMediaEvent(uint8_t code) {
  if (media_events_.size() < 16) media_events_.push_back(code);
}

bool VirtualDevice::Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                            uint32_t* bytes_returned) {
  std::lock_guard<std::mutex> lock(mu_);
  uint32_t ignored = 0;
  if (bytes_returned == nullptr) bytes_returned = &ignored;
  *bytes_returned = 0;
  uint8_t* b = static_cast<uint8_t*>(buffer);
  if (b == nullptr && (in_size != 0 || out_size != 0)) return false;
  switch (code) {
    case kRequestPassThrough:
      return PassThrough(b, in_size, out_size, bytes_returned);
    case kRequestSetDriveLetter:
      if (in_size < 1) return false;
      drive_letter_ = static_cast<char>(b[0]);
      return true;
    case kRequestGetDriveLetter:
      if (out_size < 1) return false;
      b[0] = static_cast<uint8_t>(drive_letter_);
      *bytes_returned = 1;
      return true;
    case kRequestCatchEject:
      if (in_size < 4) return false;
      catch_eject_ = GetLe32(b) != 0;
      if (!catch_eject_) eject_flag_ = false;
      if (out_size >= 1) {
        b[0] = 0;
        *bytes_returned = 1;
      }
      return true;
    case kRequestEjectFlag:
      if (out_size < 1) return false;
      b[0] = eject_flag_ ? 1 : 0;
      eject_flag_ = false;
      *bytes_returned = 1;
      return true;
    case kRequestEjectDetectionMode:
      if (out_size < 4) return false;
      PutLe32(b, 1);  // eject requests are reported as media events
      *bytes_returned = 4;
      return true;
    default:
      return false;
  }
}

bool VirtualDevice::PassThrough(uint8_t* record, uint32_t in_size, uint32_t out_size,
                                uint32_t* returned) {
  // The record must be what the engine builds: a 44-byte header, sense at 48, data at 80, and
  // a data length that fits the buffer in the direction it travels. Anything else fails the
  // request itself, as the driver would refuse a malformed buffer.
  if (in_size < kPassThroughDataOffset || out_size < kPassThroughDataOffset) return false;
  if (GetLe16(record) != kPassThroughHeaderSize) return false;
  const uint8_t cdb_length = record[6];
  const bool data_in = record[8] != 0;
  const uint32_t length = GetLe32(record + 12);
  if (cdb_length == 0 || cdb_length > 16) return false;
  if (GetLe32(record + 20) != kPassThroughDataOffset || GetLe32(record + 24) != kPassThroughSenseOffset) {
    return false;
  }
  const uint32_t room = (data_in ? out_size : in_size) - kPassThroughDataOffset;
  if (length > room) return false;

  Cdb cdb;
  std::memcpy(cdb.b, record + 28, 16);
  cdb.length = cdb_length;
  uint8_t* data = record + kPassThroughDataOffset;
  const uint8_t opcode = cdb.b[0];
  ++command_counts_[opcode];

  ReloadIfChanged();
  RemovalPrevented();
  Answer answer;
  bool decided = false;
  for (auto it = sense_faults_.begin(); it != sense_faults_.end(); ++it) {
    if (it->opcode != opcode) continue;
    if (it->countdown > 1) {
      --it->countdown;
      continue;
    }
    answer = Answer::Sense(it->key, it->asc, it->ascq);
    decided = true;
    if (--it->repeat == 0) sense_faults_.erase(it);
    break;
  }
  if (!decided && !AnsweredWhileNotReady(opcode)) {
    if (not_ready_commands_ > 0 || Now() < not_ready_until_ms_) {
      if (not_ready_commands_ > 0) --not_ready_commands_;
      answer = Answer::Sense(2, 0x04, 0x01);
      decided = true;
    }
  }
  uint16_t progress = 0;
  if (!decided && !AnsweredWhileNotReady(opcode) && BusyNow(&progress)) {
    answer = Answer::Sense(2, 0x04, 0x07);
    answer.has_progress = true;
    answer.progress = progress;
    decided = true;
  }
  if (!decided && NeedsMedium(opcode) && !state_.medium_present()) {
    answer = Answer::Sense(2, 0x3A, 0x00);
    decided = true;
  }
  if (!decided) decided = RefusedByDrive(opcode, &answer);
  if (data_in && length != 0 && opcode != kOpRead10 && opcode != kOpReadCd) {
    std::memset(data, 0, length);
  }
  if (!decided) answer = Execute(cdb, data, length);

  // Data corruption applies to what a successful data-in command delivered.
  if (answer.ok() && data_in) {
    for (auto it = data_faults_.begin(); it != data_faults_.end(); ++it) {
      if (it->opcode != opcode) continue;
      if (it->countdown > 1) {
        --it->countdown;
        continue;
      }
      const DataCorruption& c = it->corruption;
      uint32_t delivered = std::min(answer.data_bytes, length);
      switch (c.kind) {
        case DataCorruption::Kind::kTruncate:
          if (c.keep_bytes < delivered) {
            std::memset(data + c.keep_bytes, 0, delivered - c.keep_bytes);
            delivered = c.keep_bytes;
          }
          break;
        case DataCorruption::Kind::kGarbage: {
          uint32_t x = c.seed ? c.seed : 1;
          for (uint32_t i = 0; i < delivered; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            data[i] = static_cast<uint8_t>(x);
          }
          break;
        }
        case DataCorruption::Kind::kPatch:
          for (size_t i = 0; i < c.bytes.size() && c.offset + i < length; ++i) {
            data[c.offset + i] = c.bytes[i];
          }
          delivered = std::max<uint32_t>(delivered, std::min<uint32_t>(length, c.offset + static_cast<uint32_t>(c.bytes.size())));
          break;
      }
      answer.data_bytes = delivered;
      data_faults_.erase(it);
      break;
    }
  }

  std::memset(record + kPassThroughSenseOffset, 0, kPassThroughSenseSize);
  if (answer.ok()) {
    record[2] = 0;
    record[7] = 0;
    const uint32_t delivered = data_in ? std::min(answer.data_bytes, length) : length;
    PutLe32(record + 12, delivered);
    *returned = kPassThroughDataOffset + (data_in ? delivered : 0);
  } else {
    // CHECK CONDITION with fixed-format sense data.
    uint8_t* s = record + kPassThroughSenseOffset;
    s[0] = 0x70;
    s[2] = answer.key;
    s[7] = 10;
    s[12] = answer.asc;
    s[13] = answer.ascq;
    if (answer.has_progress) {
      s[15] = 0x80;  // SKSV: bytes 16 and 17 hold the progress indication
      PutBe16(s + 16, answer.progress);
    }
    record[2] = 0x02;
    const uint8_t wanted = record[7];
    record[7] = static_cast<uint8_t>(std::min<uint32_t>(wanted ? wanted : kPassThroughSenseSize, 18));
    PutLe32(record + 12, 0);
    *returned = kPassThroughDataOffset;
  }
  if (dirty_ && opcode != kOpWrite10) {
    std::string ignored;
    SaveLocked(&ignored);
  }
  return true;
}

VirtualDevice::Answer VirtualDevice::Execute(const Cdb& c, uint8_t* d, uint32_t n) {
  switch (c.b[0]) {
    case kOpTestUnitReady: return TestUnitReady();
    case kOpRequestSense: return Answer::Ok(0);
    case kOpFormatUnit: return FormatUnit(c, d, n);
    case kOpInquiry: return Inquiry(c, d, n);
    case kOpStartStopUnit: return StartStopUnit(c);
    case kOpPreventAllow: return PreventAllow(c);
    case kOpReadFormatCapacities: return ReadFormatCapacities(c, d, n);
    case kOpReadCapacity: return ReadCapacity(d, n);
    case kOpRead10: return Read10(c, d, n);
    case kOpWrite10: return Write10(c, d, n);
    case kOpSeek10: return Answer::Ok(0);
    case kOpSynchronizeCache: return SynchronizeCache(c);
    case kOpReadToc: return ReadToc(c, d, n);
    case kOpGetConfiguration: return GetConfiguration(c, d, n);
    case kOpGetEventStatus: return GetEventStatus(c, d, n);
    case kOpReadDiscInformation: return ReadDiscInformation(c, d, n);
    case kOpReadTrackInformation: return ReadTrackInformation(c, d, n);
    case kOpReserveTrack: return ReserveTrack(c);
    case kOpModeSelect10: return ModeSelect(c, d, n);
    case kOpModeSense10: return ModeSense(c, d, n);
    case kOpCloseTrackSession: return CloseTrackSession(c);
    case kOpSendCueSheet: return SendCueSheet(c, d, n);
    case kOpBlank: return Blank(c);
    case kOpGetPerformance: return GetPerformance(c, d, n);
    case kOpReadDiscStructure: return ReadDiscStructure(c, d, n);
    case kOpSetStreaming:
      if (GetBe16(c.b + 9) < 28 || n < 28) return Answer::Sense(5, 0x24, 0x00);
      return Answer::Ok(0);
    case kOpSetCdSpeed: return Answer::Ok(0);
    case kOpReadCd: return ReadCd(c, d, n);
    case kOpSendDiscStructure: return SendDiscStructure(c, d, n);
    default: return Answer::Sense(5, 0x20, 0x00);  // invalid command operation code
  }
}

// --- Faults and administration ---------------------------------------------------------------

void VirtualDevice::InjectSense(uint8_t opcode, uint32_t nth, uint8_t key, uint8_t asc,
                                uint8_t ascq, uint32_t repeat) {
  std::lock_guard<std::mutex> lock(mu_);
  sense_faults_.push_back({opcode, std::max<uint32_t>(nth, 1), key, asc, ascq, std::max<uint32_t>(repeat, 1)});
}

void VirtualDevice::SetNotReadyForMs(uint32_t milliseconds) {
  std::lock_guard<std::mutex> lock(mu_);
  not_ready_until_ms_ = Now() + milliseconds;
}

void VirtualDevice::SetNotReadyForCommands(uint32_t commands) {
  std::lock_guard<std::mutex> lock(mu_);
  not_ready_commands_ = commands;
}

void VirtualDevice::PressEjectButton() {
  std::lock_guard<std::mutex> lock(mu_);
  QueueMediaEvent(kMediaEventEjectRequest);
  if (RemovalPrevented()) {
    if (catch_eject_) eject_flag_ = true;
    return;
  }
  if (!state_.tray_open) {
    state_.tray_open = true;
    dirty_ = true;
    sao_active_ = false;
    if (state_.has_medium) QueueMediaEvent(kMediaEventRemoval);
  }
  std::string ignored;
  SaveLocked(&ignored);
}

void VirtualDevice::RemoveMedium() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!state_.has_medium) return;
  state_.has_medium = false;
  sao_active_ = false;
  QueueMediaEvent(kMediaEventRemoval);
  std::string ignored;
  SaveLocked(&ignored);
}

void VirtualDevice::CorruptNextData(uint8_t opcode, uint32_t nth, const DataCorruption& corruption) {
  std::lock_guard<std::mutex> lock(mu_);
  data_faults_.push_back({opcode, std::max<uint32_t>(nth, 1), corruption});
}

void VirtualDevice::ClearFaults() {
  std::lock_guard<std::mutex> lock(mu_);
  sense_faults_.clear();
  data_faults_.clear();
  not_ready_until_ms_ = 0;
  not_ready_commands_ = 0;
}

uint32_t VirtualDevice::CommandCount(uint8_t opcode) const {
  std::lock_guard<std::mutex> lock(mu_);
  return command_counts_[opcode];
}

bool VirtualDevice::ReplaceMedium(const MediaState& medium, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (claim_holder_ == nullptr && ByteLockedElsewhere(backing_path_, kClaimByte)) {
    *error = "a job is recording on this drive";
    return false;
  }
  MediaState next = medium;
  next.locked = false;
  HoldRemovalLock(false);
  next.timing = state_.timing;
  next.drive_writes_dvd_plus_rw = state_.drive_writes_dvd_plus_rw;
  MediaState previous = state_;
  state_ = next;
  TruncateData();
  busy_ = Busy::kNone;
  sao_active_ = false;
  if (!OpenFiles(error) || !SaveLocked(error)) {
    state_ = previous;
    std::string ignored;
    OpenFiles(&ignored);
    return false;
  }
  QueueMediaEvent(state_.medium_present() ? kMediaEventNewMedia : kMediaEventRemoval);
  return true;
}

bool VirtualDevice::SetTray(bool open, bool force, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  ReloadIfChanged();
  if (open && RemovalPrevented() && !force) {
    *error = "the medium is locked in the drive";
    return false;
  }
  if (open) {
    state_.locked = false;
    HoldRemovalLock(false);
  }
  if (state_.tray_open != open) {
    state_.tray_open = open;
    sao_active_ = false;
    if (state_.has_medium) QueueMediaEvent(open ? kMediaEventRemoval : kMediaEventNewMedia);
  }
  return SaveLocked(error);
}

bool VirtualDevice::ReplaceTiming(const Timing& timing, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.timing = timing;
  return SaveLocked(error);
}

MediaState VirtualDevice::Snapshot() {
  std::lock_guard<std::mutex> lock(mu_);
  ReloadIfChanged();
  RemovalPrevented();
  uint16_t ignored;
  BusyNow(&ignored);
  return state_;
}

}  // namespace quillden::drive::virt
