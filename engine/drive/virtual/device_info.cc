// The virtual device's view of its medium, and the commands that describe and read it.
#include <algorithm>
#include <cstring>

#include "drive/virtual/cd_sector.h"
#include "drive/virtual/device_internal.h"
#include "util/byte_order.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;

namespace {

Answer InvalidField() { return Answer::Sense(5, 0x24, 0x00); }
Answer OutOfRange() { return Answer::Sense(5, 0x21, 0x00); }
Answer IncompatibleMedium() { return Answer::Sense(5, 0x30, 0x02); }

void PutMsfAddress(uint8_t* p, int64_t lba) {
  Msf m = LbaToMsf(lba);
  p[0] = 0;
  p[1] = m.minute;
  p[2] = m.second;
  p[3] = m.frame;
}

void PutAddress(uint8_t* p, int64_t lba, bool msf) {
  if (msf) {
    PutMsfAddress(p, lba);
  } else {
    PutBe32(p, static_cast<uint32_t>(static_cast<int32_t>(lba)));
  }
}

uint8_t Control(TrackMode mode) { return mode == TrackMode::kAudio ? 0x00 : 0x04; }

// One feature descriptor: code, version, persistent/current bits, then its data.
void AddFeature(std::vector<uint8_t>* out, uint16_t code, uint8_t version, bool persistent,
                bool current, const std::vector<uint8_t>& body) {
  const size_t at = out->size();
  out->resize(at + 4 + body.size());
  PutBe16(out->data() + at, code);
  (*out)[at + 2] = static_cast<uint8_t>((version << 2) | (persistent ? 2 : 0) | (current ? 1 : 0));
  (*out)[at + 3] = static_cast<uint8_t>(body.size());
  std::copy(body.begin(), body.end(), out->begin() + static_cast<long>(at + 4));
}

// Write speeds in kB/s: 1x is 176.4 kB/s on CD and 1385 kB/s on DVD.
std::vector<uint32_t> WriteSpeeds(const MediaState& s) {
  if (!s.medium_present() || s.is_pressed()) return {};
  if (s.is_cd()) return s.profile == kProfileCdRw ? std::vector<uint32_t>{4234, 1764}
                                                  : std::vector<uint32_t>{8467, 7056, 5645, 4234};
  if (s.is_dual_layer()) return {11080, 8310, 5540, 3324};
  if (s.is_rewritable()) return {11080, 8310, 5540};
  return {22160, 16620, 11080, 5540};
}

}  // namespace

// --- The medium as MMC describes it -----------------------------------------------------------

uint32_t VirtualDevice::OpenSession() const { return state_.closed_sessions + 1; }

TrackState* VirtualDevice::OpenEndedTrack() {
  if (state_.tracks.empty()) return nullptr;
  TrackState& t = state_.tracks.back();
  return (!t.closed && !t.reserved) ? &t : nullptr;
}

uint32_t VirtualDevice::TrackExtent(const TrackState& t) const {
  return (t.closed || t.reserved) ? t.size : t.written;
}

int64_t VirtualDevice::TrackBlockLba(const TrackState& t, uint32_t k) const {
  if (t.layer0_blocks == 0 || k < t.layer0_blocks) return t.start + k;
  return Opposite(t.start + t.layer0_blocks - 1) + (k - t.layer0_blocks);
}

bool VirtualDevice::TrackBlockIndex(const TrackState& t, int64_t lba, int64_t* k) const {
  const int64_t extent = TrackExtent(t);
  if (t.layer0_blocks == 0) {
    *k = lba - t.start;
    return lba >= t.start && lba < t.start + extent;
  }
  if (lba >= t.start && lba < t.start + t.layer0_blocks) {
    *k = lba - t.start;
    return true;
  }
  const int64_t layer1_first = Opposite(t.start + t.layer0_blocks - 1);
  *k = t.layer0_blocks + (lba - layer1_first);
  return lba >= layer1_first && *k < extent;
}

bool VirtualDevice::HasLayerJumpTracks() const {
  for (const TrackState& t : state_.tracks) {
    if (t.layer0_blocks != 0) return true;
  }
  return false;
}

bool VirtualDevice::LayerJumpWriting() const {
  return state_.profile == kProfileDvdMinusRDlJump && (write_page_[2] & 0x0F) == 4;
}

int64_t VirtualDevice::FreeEnd() const {
  // Once tracks take both layers at the same radii, what is left is the band around the layer
  // change below the lowest layer 1 half; a border closing a session takes as much of layer 1.
  int64_t end = state_.capacity;
  bool layer_jump = false;
  for (const TrackState& t : state_.tracks) {
    if (t.layer0_blocks == 0) continue;
    layer_jump = true;
    end = std::min(end, Opposite(t.start + t.layer0_blocks - 1));
  }
  const bool open_session_empty = state_.tracks.empty() || state_.tracks.back().session < OpenSession();
  if (layer_jump && open_session_empty) end = std::min(end, Opposite(state_.next_session_start - 1));
  return std::max<int64_t>(end, 0);
}

int64_t VirtualDevice::NextTrackStart() const {
  if (state_.tracks.empty() || state_.tracks.back().session < OpenSession()) {
    return state_.next_session_start;
  }
  const TrackState& t = state_.tracks.back();
  int64_t end = t.start + (t.layer0_blocks != 0 ? t.layer0_blocks : TrackExtent(t));
  if (state_.is_cd()) end += kCdTaoPregap;  // the drive records the next track's pregap itself
  return end;
}

bool VirtualDevice::HasInvisibleTrack() const {
  if (!state_.is_sequential() || state_.finalized || state_.tracks.size() >= 99) return false;
  if (!state_.tracks.empty()) {
    const TrackState& t = state_.tracks.back();
    if (!t.closed && !t.reserved) return false;  // the incomplete track is the invisible one
  }
  return NextTrackStart() < FreeEnd();
}

TrackState VirtualDevice::InvisibleTrack() const {
  TrackState t;
  t.number = static_cast<uint32_t>(state_.tracks.size() + 1);
  t.session = OpenSession();
  t.start = NextTrackStart();
  return t;
}

uint32_t VirtualDevice::SessionCount() const {
  if (!state_.is_sequential()) return 1;
  return state_.finalized ? std::max<uint32_t>(state_.closed_sessions, 1) : state_.closed_sessions + 1;
}

uint8_t VirtualDevice::DiscStatus() const {
  if (state_.is_pressed() || state_.profile == kProfileDvdMinusRwOverwrite) return 2;
  if (state_.profile == kProfileDvdPlusRw) return state_.background_format == 0 ? 0 : 2;
  if (state_.finalized) return 2;
  if (state_.tracks.empty() && state_.closed_sessions == 0) return 0;
  return 1;
}

int64_t VirtualDevice::SessionLeadInStart() const {
  if (state_.closed_sessions == 0) return kCdAtipLeadInStart;
  return state_.next_session_start - kCdLeadInFirstSession;
}

bool VirtualDevice::TrackForLba(int64_t lba, TrackState* out, bool* invisible) const {
  const int64_t gap = state_.is_cd() ? kCdTaoPregap : 0;
  for (const TrackState& t : state_.tracks) {
    int64_t k = 0;
    if (t.layer0_blocks != 0) {
      if (!TrackBlockIndex(t, lba, &k)) continue;
      *out = t;
      *invisible = false;
      return true;
    }
    const int64_t extent = (t.closed || t.reserved) ? t.size : FreeEnd() - t.start;
    if (lba >= t.start - gap && lba < t.start + extent) {
      *out = t;
      *invisible = false;
      return true;
    }
  }
  if (HasInvisibleTrack()) {
    TrackState t = InvisibleTrack();
    if (lba >= t.start - gap && lba < FreeEnd()) {
      *out = t;
      *invisible = true;
      return true;
    }
  }
  return false;
}

void VirtualDevice::FillTrackInfo(const TrackState& t, bool invisible, uint8_t* r) const {
  std::memset(r, 0, 48);
  PutBe16(r, 46);
  r[2] = static_cast<uint8_t>(t.number);
  r[3] = static_cast<uint8_t>(t.session);
  r[32] = static_cast<uint8_t>(t.number >> 8);
  r[33] = static_cast<uint8_t>(t.session >> 8);
  const bool dvd = !state_.is_cd();
  const bool random = state_.is_random_writable();
  uint32_t size = 0;
  uint32_t free_blocks = 0;
  bool nwa_valid = false;
  int64_t nwa = 0;
  bool blank = false;
  if (random) {
    // One track spanning the formatted medium; writes go anywhere inside it.
    const bool plus = state_.profile == kProfileDvdPlusRw;
    size = plus ? state_.capacity : state_.formatted_blocks;
    blank = plus ? state_.background_format == 0 : state_.formatted_blocks == 0;
    r[6] |= 0x30;  // packet, fixed packet
    PutBe32(r + 20, 16);
    if (!plus) {
      nwa_valid = true;
      nwa = state_.formatted_blocks;
      free_blocks = state_.capacity - state_.formatted_blocks;
    }
  } else if (state_.is_pressed() || t.closed) {
    size = t.size;
  } else if (t.reserved) {
    size = t.size;
    free_blocks = t.size - t.written;
    nwa = TrackBlockLba(t, t.written);
    nwa_valid = !state_.finalized && free_blocks > 0;
    blank = t.written == 0;
  } else {  // the incomplete or invisible track
    nwa = t.start + t.written;
    free_blocks = static_cast<uint32_t>(std::max<int64_t>(0, FreeEnd() - nwa));
    size = t.written + free_blocks;
    nwa_valid = free_blocks > 0;
    blank = t.written == 0;
  }
  if (invisible) blank = true;
  r[5] = static_cast<uint8_t>(state_.is_cd() ? Control(t.mode) : 0x04);
  if (dvd && state_.profile == kProfileDvdMinusRDlJump && !blank) r[5] |= 0x40;  // LJRS: unspecified
  // A reserved CD track keeps its reserved bit once recorded and closed (reserved, not blank, not
  // packet: a complete track written at once); a DVD track that was reserved is an ordinary
  // complete track once closed, and only a track that still takes data says it is reserved.
  if (t.reserved && (state_.is_cd() || !t.closed)) r[6] |= 0x80;
  if (blank) r[6] |= 0x40;
  if (state_.is_dvd_minus_sequential() && !t.closed) r[6] |= 0x20;  // incremental
  r[6] |= blank ? 0x0F : (t.mode == TrackMode::kMode2 ? 0x02 : 0x01);
  const bool lra_valid = dvd && t.written > 0 && !random;
  r[7] = static_cast<uint8_t>((lra_valid ? 0x02 : 0) | (nwa_valid ? 0x01 : 0));
  PutBe32(r + 8, static_cast<uint32_t>(static_cast<int32_t>(random ? 0 : t.start)));
  PutBe32(r + 12, nwa_valid ? static_cast<uint32_t>(nwa) : 0);
  PutBe32(r + 16, free_blocks);
  if (dvd && !random) PutBe32(r + 20, 16);
  PutBe32(r + 24, size);
  if (lra_valid) PutBe32(r + 28, static_cast<uint32_t>(TrackBlockLba(t, t.written - 1)));
  if (state_.profile == kProfileDvdMinusRDlSequential || state_.profile == kProfileDvdMinusRDlJump) {
    // Next layer jump address: the last block of layer 0 before the track goes on on layer 1 (the
    // end of layer 0 for a track recorded in one piece); last layer jump address once it has.
    const int64_t jump = t.layer0_blocks != 0 ? t.start + t.layer0_blocks - 1 : state_.layer0_capacity - 1;
    PutBe32(r + 40, static_cast<uint32_t>(jump));
    if (t.layer0_blocks != 0 && t.written > t.layer0_blocks) PutBe32(r + 44, static_cast<uint32_t>(jump));
  }
}

// --- Identification and configuration ---------------------------------------------------------

Answer VirtualDevice::Inquiry(const Cdb& c, uint8_t* d, uint32_t n) {
  if ((c.b[1] & 0x01) || c.b[2] != 0) return InvalidField();  // no vital product data pages
  std::vector<uint8_t> r(36, 0);
  r[0] = 0x05;  // CD/DVD device
  r[1] = 0x80;  // removable
  r[2] = 0x05;
  r[3] = 0x02;
  r[4] = 31;
  std::memcpy(&r[8], "QUILLDEN", 8);
  std::memcpy(&r[16], "VIRTUAL RECORDER", 16);
  std::memcpy(&r[32], "1.00", 4);
  return Deliver(r, GetBe16(c.b + 3), d, n);
}

Answer VirtualDevice::TestUnitReady() { return Answer::Ok(0); }

Answer VirtualDevice::GetConfiguration(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t rt = c.b[1] & 0x03;
  const uint16_t start = GetBe16(c.b + 2);
  const uint16_t allocation = GetBe16(c.b + 7);
  if (rt == 3) return InvalidField();
  const uint16_t p = ReportedProfile();
  const bool present = p != 0;
  const bool cd = p >= kProfileCdRom && p <= kProfileCdRw;
  const bool dvd = p >= kProfileDvdRom;
  const bool minus_seq = p == kProfileDvdMinusR || p == kProfileDvdMinusRwSequential ||
                         p == kProfileDvdMinusRDlSequential || p == kProfileDvdMinusRDlJump;

  std::vector<uint8_t> features;
  auto add = [&](uint16_t code, uint8_t version, bool persistent, bool current,
                 const std::vector<uint8_t>& body) {
    if (code < start) return;
    if (rt == 1 && !current) return;
    if (rt == 2 && code != start) return;
    AddFeature(&features, code, version, persistent, current, body);
  };
  // Profile list: every medium this drive knows, the current one marked.
  static const uint16_t kProfiles[] = {kProfileDvdPlusRDl, kProfileDvdPlusR, kProfileDvdPlusRw,
                                       kProfileDvdMinusRDlJump, kProfileDvdMinusRDlSequential,
                                       kProfileDvdMinusRwSequential, kProfileDvdMinusRwOverwrite,
                                       kProfileDvdMinusR, kProfileDvdRom, kProfileCdRw,
                                       kProfileCdR, kProfileCdRom};
  std::vector<uint8_t> list;
  for (uint16_t profile : kProfiles) {
    const bool rom = profile == kProfileCdRom || profile == kProfileDvdRom;
    if (!model_.every_medium && !(rom ? model_.ReadsFamilyOf(profile) : model_.Writes(profile))) {
      continue;
    }
    uint8_t e[4] = {static_cast<uint8_t>(profile >> 8), static_cast<uint8_t>(profile),
                    static_cast<uint8_t>(profile == p ? 1 : 0), 0};
    list.insert(list.end(), e, e + 4);
  }
  add(0x0000, 0, true, true, list);
  add(0x0001, 2, true, true, {0, 0, 0, 2, 1, 0, 0, 0});           // core: ATAPI, DBE
  add(0x0002, 1, true, true, {0x02, 0, 0, 0});                    // morphing: OCEvent
  add(0x0003, 0, true, true, {0x29, 0, 0, 0});                    // tray, eject, lock
  {
    std::vector<uint8_t> b(8, 0);
    PutBe32(b.data(), 2048);
    PutBe16(b.data() + 4, dvd ? 16 : 1);
    add(0x0010, 0, false, present, b);                           // random readable
  }
  add(0x001D, 0, false, cd, {});                                 // multi-read
  add(0x001E, 1, false, cd, {0x02, 0, 0, 0});                    // CD read, C2 pointers
  add(0x001F, 1, false, dvd, {0, 0, 1, 0});                      // DVD read, dual layer
  if (p == kProfileDvdPlusRw || p == kProfileDvdMinusRwOverwrite) {
    std::vector<uint8_t> b(12, 0);
    PutBe32(b.data(), (p == kProfileDvdPlusRw ? state_.capacity : state_.formatted_blocks) - 1);
    PutBe32(b.data() + 4, 2048);
    PutBe16(b.data() + 8, 16);
    add(0x0020, 0, false, true, b);                              // random writable
  } else {
    add(0x0020, 0, false, false, std::vector<uint8_t>(12, 0));
  }
  add(0x0021, 1, false, cd || minus_seq, {0x00, 0x01, 0x01, 0x01, 16, 0, 0, 0});  // incremental
  add(0x0023, 0, false, p == kProfileDvdPlusRw || p == kProfileDvdMinusRwOverwrite ||
                            p == kProfileDvdMinusRwSequential, {0, 0, 0, 0});      // formattable
  add(0x0026, 0, false, p == kProfileDvdMinusRwOverwrite, {});   // restricted overwrite
  add(0x002A, 1, false, p == kProfileDvdPlusRw,
      {static_cast<uint8_t>(state_.drive_writes_dvd_plus_rw ? 1 : 0), 0x01, 0, 0});
  add(0x002B, 0, false, p == kProfileDvdPlusR, {1, 0, 0, 0});
  add(0x002C, 0, false, p == kProfileDvdMinusRwOverwrite, {0x0F, 0, 0, 0});
  add(0x002D, 2, false, p == kProfileCdR || p == kProfileCdRw, {0x46, 0, 0xFF, 0xFF});
  add(0x002E, 1, false, p == kProfileCdR || p == kProfileCdRw, {0x66, 0x00, 0xFF, 0xFF});
  add(0x002F, 1, false, minus_seq || p == kProfileDvdMinusRwOverwrite, {0x4E, 0, 0, 0});
  add(0x0033, 0, false, p == kProfileDvdMinusRDlSequential || p == kProfileDvdMinusRDlJump,
      {0, 0, 0, 1, 16, 0, 0, 0});                                // layer jump: one link size
  add(0x003B, 0, false, p == kProfileDvdPlusRDl, {1, 0, 0, 0});
  add(0x0100, 0, true, true, {});                                // power management
  add(0x0107, 3, true, true, {0x1F, 0, 0, 0});                   // real-time streaming
  // A reading drive of the older kind knows its profile list and nothing more.
  if (!model_.every_medium && model_.writes.empty())
    features.resize(start == 0 ? 4 + list.size() : 0);

  std::vector<uint8_t> r(8, 0);
  PutBe32(r.data(), static_cast<uint32_t>(4 + features.size()));
  PutBe16(r.data() + 6, p);
  r.insert(r.end(), features.begin(), features.end());
  return Deliver(r, allocation, d, n);
}

Answer VirtualDevice::ModeSense(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t page = c.b[2] & 0x3F;
  const uint8_t control = c.b[2] >> 6;
  if (control == 3) return Answer::Sense(5, 0x39, 0x00);  // saving parameters not supported
  std::vector<uint8_t> pages;
  auto add_write_page = [&] {
    std::vector<uint8_t> p(write_page_.begin(), write_page_.end());
    if (control == 1) {  // changeable: every field of the page
      std::fill(p.begin() + 2, p.end(), 0xFF);
    } else if (control == 2) {
      p.assign(52, 0);
      p[0] = 0x05;
      p[1] = 0x32;
      p[2] = 0x01;
      p[3] = 0x04;
      p[4] = 0x08;
      PutBe16(&p[14], 150);
    }
    pages.insert(pages.end(), p.begin(), p.end());
  };
  auto add_capabilities_page = [&] {
    const std::vector<uint32_t> speeds = {8467, 7056, 5645, 4234};
    std::vector<uint8_t> p(32 + 4 * speeds.size(), 0);
    p[0] = 0x2A;
    p[1] = static_cast<uint8_t>(p.size() - 2);
    if (control != 1) {
      p[2] = 0x3B & ~0x20;  // reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R
      p[3] = 0x17;          // writes CD-R, CD-RW, test write, DVD-R
      if (!model_.every_medium) {
        const bool cd = model_.ReadsFamilyOf(kProfileCdRom),
                   dvd = model_.ReadsFamilyOf(kProfileDvdRom);
        p[2] = static_cast<uint8_t>((cd ? 0x07 : 0) | (dvd ? 0x18 : 0));
        p[3] = static_cast<uint8_t>((model_.Writes(kProfileCdR) ? 0x01 : 0) |
                                    (model_.Writes(kProfileCdRw) ? 0x02 : 0) |
                                    (model_.Writes(kProfileDvdMinusR) ? 0x10 : 0));
      }
      p[4] = 0x71;          // audio play, mode 2 form 1 and 2, multi-session
      p[5] = 0x03;          // CD-DA commands, accurate
      p[6] = static_cast<uint8_t>(0x29 | (state_.locked ? 0x02 : 0));  // tray, eject, lock
      PutBe16(&p[8], 7056);
      PutBe16(&p[10], 256);
      PutBe16(&p[12], 2048);
      PutBe16(&p[14], 7056);
      PutBe16(&p[18], 8467);
      PutBe16(&p[20], 8467);
      PutBe16(&p[28], 8467);
      PutBe16(&p[30], static_cast<uint16_t>(speeds.size()));
      for (size_t i = 0; i < speeds.size(); ++i) PutBe16(&p[32 + 4 * i + 2], static_cast<uint16_t>(speeds[i]));
    }
    pages.insert(pages.end(), p.begin(), p.end());
  };
  if (page == 0x05) {
    add_write_page();
  } else if (page == 0x2A) {
    add_capabilities_page();
  } else if (page == 0x3F) {
    add_write_page();
    add_capabilities_page();
  } else {
    return InvalidField();
  }
  std::vector<uint8_t> r(8, 0);
  PutBe16(r.data(), static_cast<uint16_t>(6 + pages.size()));
  r.insert(r.end(), pages.begin(), pages.end());
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::ModeSelect(const Cdb& c, const uint8_t* d, uint32_t n) {
  const uint32_t length = std::min<uint32_t>(GetBe16(c.b + 7), n);
  if (length < 8) return Answer::Sense(5, 0x1A, 0x00);  // parameter list length error
  uint32_t at = 8 + GetBe16(d + 6);
  while (at + 2 <= length) {
    const uint8_t page = d[at] & 0x3F;
    const uint32_t page_length = d[at + 1] + 2u;
    if (at + page_length > length) return Answer::Sense(5, 0x1A, 0x00);
    if (page == 0x05) {
      if (page_length < 52) return Answer::Sense(5, 0x26, 0x00);
      const uint8_t write_type = d[at + 2] & 0x0F;
      const uint8_t block_type = d[at + 4] & 0x0F;
      if (write_type > 4) return Answer::Sense(5, 0x26, 0x00);
      switch (block_type) {
        case 0: case 8: case 9: case 10: case 11: case 12: case 13: break;
        default: return Answer::Sense(5, 0x26, 0x00);
      }
      std::memcpy(write_page_.data() + 2, d + at + 2, 50);
      // A DVD-R DL records in layer jump mode while the write type asks for it (MMC profile 16h).
      if (state_.medium_present() && state_.tracks.empty() && !state_.finalized) {
        if (state_.profile == kProfileDvdMinusRDlSequential && write_type == 4) {
          state_.profile = kProfileDvdMinusRDlJump;
          dirty_ = true;
        } else if (state_.profile == kProfileDvdMinusRDlJump && write_type != 4) {
          state_.profile = kProfileDvdMinusRDlSequential;
          dirty_ = true;
        }
      }
    } else if (page != 0x2A) {
      return Answer::Sense(5, 0x26, 0x00);
    }
    at += page_length;
  }
  return Answer::Ok(0);
}

// --- Disc, track and TOC information ----------------------------------------------------------

Answer VirtualDevice::ReadDiscInformation(const Cdb& c, uint8_t* d, uint32_t n) {
  if ((c.b[1] & 0x07) != 0) return InvalidField();
  std::vector<uint8_t> r(34, 0);
  PutBe16(r.data(), 32);
  const uint8_t status = DiscStatus();
  uint8_t last_session_state = 3;
  if (state_.is_sequential() && !state_.finalized) {
    bool open_has_tracks = !state_.tracks.empty() && state_.tracks.back().session == OpenSession();
    last_session_state = open_has_tracks ? 1 : 0;
  } else if (state_.profile == kProfileDvdPlusRw && state_.background_format == 0) {
    last_session_state = 0;
  }
  r[2] = static_cast<uint8_t>((state_.is_rewritable() ? 0x10 : 0) | (last_session_state << 2) | status);
  r[3] = 1;
  const uint32_t sessions = SessionCount();
  uint32_t first_in_last = 1;
  uint32_t last_in_last = 1;
  if (state_.is_sequential()) {
    bool found = false;
    for (const TrackState& t : state_.tracks) {
      if (t.session == sessions) {
        if (!found) first_in_last = t.number;
        found = true;
        last_in_last = t.number;
      }
    }
    if (HasInvisibleTrack()) {
      const uint32_t invisible = static_cast<uint32_t>(state_.tracks.size() + 1);
      if (!found) first_in_last = invisible;
      last_in_last = invisible;
    }
  } else if (!state_.tracks.empty()) {
    last_in_last = state_.tracks.back().number;
  }
  r[4] = static_cast<uint8_t>(sessions);
  r[5] = static_cast<uint8_t>(first_in_last);
  r[6] = static_cast<uint8_t>(last_in_last);
  r[9] = static_cast<uint8_t>(sessions >> 8);
  r[10] = static_cast<uint8_t>(first_in_last >> 8);
  r[11] = static_cast<uint8_t>(last_in_last >> 8);
  r[7] = 0x20;  // unrestricted use
  if (state_.profile == kProfileDvdPlusRw) r[7] |= state_.background_format & 0x03;
  if (state_.is_cd()) {
    bool xa = false;
    for (const TrackState& t : state_.tracks) xa = xa || t.mode == TrackMode::kMode2;
    r[8] = xa ? 0x20 : 0x00;
    if (state_.finalized || state_.is_pressed()) {
      std::memset(&r[16], 0xFF, 8);
    } else {
      PutMsfAddress(&r[16], SessionLeadInStart());
      PutMsfAddress(&r[20], state_.capacity);
    }
  } else if (state_.is_sequential() && !state_.finalized) {
    PutBe32(&r[16], static_cast<uint32_t>(state_.next_session_start));
    PutBe32(&r[20], state_.capacity);
  }
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::ReadTrackInformation(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t type = c.b[1] & 0x03;
  const uint32_t value = GetBe32(c.b + 2);
  TrackState track;
  bool invisible = false;
  bool found = false;
  if (type == 0) {
    found = TrackForLba(static_cast<int32_t>(value), &track, &invisible);
    if (!found && static_cast<int64_t>(static_cast<int32_t>(value)) >= state_.capacity) return OutOfRange();
  } else if (type == 1) {
    if (value == 0xFF) {
      if (!state_.tracks.empty() && !state_.tracks.back().closed && !state_.tracks.back().reserved) {
        track = state_.tracks.back();
        found = true;
      } else if (HasInvisibleTrack()) {
        track = InvisibleTrack();
        invisible = found = true;
      }
    } else if (value >= 1 && value <= state_.tracks.size()) {
      track = state_.tracks[value - 1];
      found = true;
    } else if (value == state_.tracks.size() + 1 && HasInvisibleTrack()) {
      track = InvisibleTrack();
      invisible = found = true;
    }
  } else if (type == 2) {
    for (const TrackState& t : state_.tracks) {
      if (t.session == value) {
        track = t;
        found = true;
        break;
      }
    }
    if (!found && HasInvisibleTrack() && value == OpenSession()) {
      track = InvisibleTrack();
      invisible = found = true;
    }
  }
  // Overwritable media hold one track over the whole medium, whether or not a write put one in the
  // track list.
  if (!found && state_.is_random_writable() && (type == 0 || value == 1)) {
    track = TrackState{};
    found = true;
  }
  if (!found) return InvalidField();
  if (state_.is_random_writable() && !invisible) {
    track.number = 1;
    track.session = 1;
  }
  std::vector<uint8_t> r(48, 0);
  FillTrackInfo(track, invisible, r.data());
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::ReadToc(const Cdb& c, uint8_t* d, uint32_t n) {
  const bool msf = (c.b[1] & 0x02) != 0;
  uint8_t format = c.b[2] & 0x0F;
  if (format == 0 && (c.b[9] & 0xC0)) format = c.b[9] >> 6;  // older drives put it here
  const uint8_t number = c.b[6];
  const uint16_t allocation = GetBe16(c.b + 7);

  // What the table of contents holds: CD tracks of complete sessions, DVD closed tracks.
  std::vector<TrackState> toc;
  for (const TrackState& t : state_.tracks) {
    const bool listed = state_.is_pressed() || state_.is_random_writable() ||
                        (state_.is_cd() ? t.session <= state_.closed_sessions : t.closed);
    if (listed) toc.push_back(t);
  }
  if (state_.is_random_writable() && toc.empty() &&
      (state_.profile != kProfileDvdPlusRw || state_.background_format != 0)) {
    TrackState t;
    t.number = 1;
    t.session = 1;
    t.size = state_.profile == kProfileDvdPlusRw ? state_.capacity : state_.formatted_blocks;
    t.closed = true;
    toc.push_back(t);
  }
  if (format == 4) {
    // ATIP: recordable CDs only.
    if (state_.profile != kProfileCdR && state_.profile != kProfileCdRw) return InvalidField();
    std::vector<uint8_t> r(28, 0);
    PutBe16(r.data(), 26);
    r[4] = 0x80 | 0x50 | 0x04;  // writing power, reference speed
    r[5] = 0x00;
    r[6] = static_cast<uint8_t>(0x80 | (state_.profile == kProfileCdRw ? 0x40 : 0x00));
    Msf in = LbaToMsf(kCdAtipLeadInStart);
    r[8] = in.minute;
    r[9] = in.second;
    r[10] = in.frame;
    Msf out = LbaToMsf(state_.capacity);
    r[12] = out.minute;
    r[13] = out.second;
    r[14] = out.frame;
    return Deliver(r, allocation, d, n);
  }
  if (format == 5 && !toc.empty() && !state_.cd_text.empty()) {
    // CD-Text: the packs of the first lead-in after a 4-byte header.
    std::vector<uint8_t> r(4, 0);
    r.insert(r.end(), state_.cd_text.begin(), state_.cd_text.end());
    PutBe16(r.data(), static_cast<uint16_t>(r.size() - 2));
    return Deliver(r, allocation, d, n);
  }
  if (toc.empty() || format == 3 || format == 5 || format > 5) return InvalidField();
  const TrackState& last = toc.back();
  const int64_t leadout = last.start + last.size;
  if (format == 0) {
    std::vector<uint8_t> r(4, 0);
    r[2] = static_cast<uint8_t>(toc.front().number);
    r[3] = static_cast<uint8_t>(last.number);
    if (number != 0xAA && number > last.number) return InvalidField();
    for (const TrackState& t : toc) {
      if (number == 0xAA || t.number < number) continue;
      uint8_t e[8] = {0, static_cast<uint8_t>(0x10 | Control(t.mode)), static_cast<uint8_t>(t.number), 0};
      PutAddress(e + 4, t.start, msf);
      r.insert(r.end(), e, e + 8);
    }
    uint8_t e[8] = {0, static_cast<uint8_t>(0x10 | Control(last.mode)), 0xAA, 0};
    PutAddress(e + 4, leadout, msf);
    r.insert(r.end(), e, e + 8);
    PutBe16(r.data(), static_cast<uint16_t>(r.size() - 2));
    return Deliver(r, allocation, d, n);
  }
  if (format == 1) {
    const uint32_t last_session = toc.back().session;
    const TrackState* first = &toc.back();
    for (const TrackState& t : toc) {
      if (t.session == last_session) {
        first = &t;
        break;
      }
    }
    std::vector<uint8_t> r(12, 0);
    PutBe16(r.data(), 10);
    r[2] = 1;
    r[3] = static_cast<uint8_t>(last_session);
    r[5] = static_cast<uint8_t>(0x10 | Control(first->mode));
    r[6] = static_cast<uint8_t>(first->number);
    PutAddress(&r[8], first->start, msf);
    return Deliver(r, allocation, d, n);
  }
  // Format 2: the raw TOC of a CD, session by session (binary values).
  if (!state_.is_cd()) return InvalidField();
  std::vector<uint8_t> r(4, 0);
  const uint32_t sessions = toc.back().session;
  r[2] = 1;
  r[3] = static_cast<uint8_t>(sessions);
  auto entry = [&](uint32_t session, uint8_t adr_control, uint8_t point, int64_t address,
                   uint8_t pmin, uint8_t psec, uint8_t pframe, bool use_address, uint8_t zero) {
    uint8_t e[11] = {static_cast<uint8_t>(session), adr_control, 0, point, 0, 0, 0, zero, pmin, psec, pframe};
    if (use_address) {
      Msf m = LbaToMsf(address);
      e[8] = m.minute;
      e[9] = m.second;
      e[10] = m.frame;
    }
    r.insert(r.end(), e, e + 11);
  };
  for (uint32_t s = 1; s <= sessions; ++s) {
    const TrackState* first = nullptr;
    const TrackState* final_track = nullptr;
    bool xa = false;
    for (const TrackState& t : toc) {
      if (t.session != s) continue;
      if (!first) first = &t;
      final_track = &t;
      xa = xa || t.mode == TrackMode::kMode2;
    }
    if (!first) continue;
    const uint8_t ctl = static_cast<uint8_t>(0x10 | Control(first->mode));
    entry(s, ctl, 0xA0, 0, static_cast<uint8_t>(first->number), xa ? 0x20 : 0x00, 0, false, 0);
    entry(s, static_cast<uint8_t>(0x10 | Control(final_track->mode)), 0xA1, 0,
          static_cast<uint8_t>(final_track->number), 0, 0, false, 0);
    entry(s, ctl, 0xA2, final_track->start + final_track->size, 0, 0, 0, true, 0);
    for (const TrackState& t : toc) {
      if (t.session == s) entry(s, static_cast<uint8_t>(0x10 | Control(t.mode)),
                                static_cast<uint8_t>(t.number), t.start, 0, 0, 0, true, 0);
    }
    const bool more = s < sessions || !state_.finalized;
    if (more && s == sessions && !state_.finalized && state_.is_cd()) {
      // B0: where the next session's program area starts, and the last possible lead-out.
      Msf next = LbaToMsf(state_.next_session_start);
      uint8_t e[11] = {static_cast<uint8_t>(s), 0x50, 0, 0xB0, next.minute, next.second, next.frame, 1, 0, 0, 0};
      Msf end = LbaToMsf(state_.capacity);
      e[8] = end.minute;
      e[9] = end.second;
      e[10] = end.frame;
      r.insert(r.end(), e, e + 11);
    }
    if (s == 1 && state_.profile != kProfileCdRom) {
      Msf in = LbaToMsf(kCdAtipLeadInStart);
      uint8_t e[11] = {1, 0x50, 0, 0xC0, 0x50, 0, 0, 0, in.minute, in.second, in.frame};
      r.insert(r.end(), e, e + 11);
    }
  }
  PutBe16(r.data(), static_cast<uint16_t>(r.size() - 2));
  return Deliver(r, allocation, d, n);
}

Answer VirtualDevice::ReadCapacity(uint8_t* d, uint32_t n) {
  uint32_t blocks = 0;
  if (state_.is_pressed()) {
    blocks = state_.capacity;
  } else if (state_.profile == kProfileDvdPlusRw) {
    blocks = state_.background_format == 0 ? 0 : state_.capacity;
  } else if (state_.profile == kProfileDvdMinusRwOverwrite) {
    blocks = state_.formatted_blocks;
  } else {
    // The highest block of any track: on a layer jump disc the layer 1 end of its first track.
    for (const TrackState& t : state_.tracks) {
      const int64_t extent = TrackExtent(t);
      const int64_t end = extent == 0 ? t.start : TrackBlockLba(t, static_cast<uint32_t>(extent - 1)) + 1;
      blocks = std::max<uint32_t>(blocks, static_cast<uint32_t>(std::max<int64_t>(0, end)));
    }
  }
  std::vector<uint8_t> r(8, 0);
  PutBe32(r.data(), blocks ? blocks - 1 : 0);
  PutBe32(r.data() + 4, 2048);
  return Deliver(r, 8, d, n);
}

Answer VirtualDevice::ReadFormatCapacities(const Cdb& c, uint8_t* d, uint32_t n) {
  std::vector<uint8_t> r(4, 0);
  auto descriptor = [&](uint32_t blocks, uint8_t byte4, uint32_t parameter) {
    uint8_t e[8] = {};
    PutBe32(e, blocks);
    e[4] = byte4;
    PutBe24(e + 5, parameter);
    r.insert(r.end(), e, e + 8);
  };
  const uint32_t cap = state_.capacity;
  if (!state_.medium_present()) {
    descriptor(0xFFFFFFFF, 0x03, 2048);  // no medium
  } else if (state_.profile == kProfileDvdPlusRw) {
    descriptor(cap, state_.background_format == 0 ? 0x01 : 0x02, 2048);
    descriptor(cap, 0x26 << 2, 0);
  } else if (state_.profile == kProfileDvdMinusRwOverwrite) {
    descriptor(state_.formatted_blocks, 0x02, 2048);
    descriptor(cap, 0x10 << 2, 16);
    descriptor(cap - state_.formatted_blocks, 0x13 << 2, 16);
    descriptor(cap, 0x15 << 2, 16);
  } else if (state_.profile == kProfileDvdMinusRwSequential) {
    descriptor(cap, DiscStatus() == 0 ? 0x01 : 0x02, 2048);
    descriptor(cap, 0x10 << 2, 16);
    descriptor(cap, 0x15 << 2, 16);
  } else {
    descriptor(cap, DiscStatus() == 0 ? 0x01 : 0x02, 2048);
  }
  r[3] = static_cast<uint8_t>(r.size() - 4);
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::ReadDiscStructure(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t media_type = c.b[1] & 0x0F;
  const uint8_t format = c.b[7];
  const uint16_t allocation = GetBe16(c.b + 8);
  if (media_type != 0) return InvalidField();
  if (state_.is_cd()) return IncompatibleMedium();
  const uint16_t p = state_.profile;
  const bool dual = state_.is_dual_layer();
  const bool plus = p == kProfileDvdPlusR || p == kProfileDvdPlusRw || p == kProfileDvdPlusRDl;
  const uint32_t layer0 = dual ? state_.layer0_capacity : state_.capacity;
  // Physical sector numbers of the data zone (ECMA-267 / ADIP): layer 1 of an opposite-track-path
  // disc counts down with inverted numbers.
  const uint32_t start_psn = kDvdFirstPsn;
  const uint32_t layer0_end_psn = start_psn + layer0 - 1;
  const uint32_t end_psn = dual ? (~start_psn & 0xFFFFFF) : start_psn + state_.capacity - 1;
  auto physical_info = [&](uint8_t* info, uint8_t book) {
    info[0] = static_cast<uint8_t>(book << 4);
    info[1] = 0x02;
    uint8_t layer_type = state_.is_pressed() ? 0x01 : (state_.is_rewritable() ? 0x04 : 0x02);
    info[2] = static_cast<uint8_t>((dual ? 0x20 | 0x10 : 0x00) | layer_type);
    info[3] = 0x10;
    PutBe32(info + 4, start_psn);
    PutBe32(info + 8, end_psn);
    PutBe32(info + 12, dual ? layer0_end_psn : 0);
  };
  uint8_t book = 0;
  switch (p) {
    case kProfileDvdMinusR: case kProfileDvdMinusRDlSequential: case kProfileDvdMinusRDlJump: book = 2; break;
    case kProfileDvdMinusRwOverwrite: case kProfileDvdMinusRwSequential: book = 3; break;
    case kProfileDvdPlusRw: book = 9; break;
    case kProfileDvdPlusR: book = 10; break;
    case kProfileDvdPlusRDl: book = 14; break;
    default: book = 0; break;
  }
  std::vector<uint8_t> r;
  switch (format) {
    case 0x00: {
      r.assign(4 + 2048, 0);
      physical_info(&r[4], book);
      break;
    }
    case 0x01:
      r.assign(8, 0);  // no copy protection, all regions
      break;
    case 0x0E: {
      if (!state_.is_dvd_minus_sequential() && p != kProfileDvdMinusRwOverwrite) return InvalidField();
      // Pre-recorded information, field 1: the last address of the data recordable area as an
      // inverted ECC block number.
      r.assign(4 + 64, 0);
      r[4] = 1;
      const uint32_t blocks = (state_.capacity + 197200 + 15) / 16;
      PutBe24(&r[7], ~blocks & 0xFFFFFF);
      r[10] = p == kProfileDvdMinusRwOverwrite || p == kProfileDvdMinusRwSequential ? 0x32 : 0x22;
      break;
    }
    case 0x11: {
      if (!plus) return InvalidField();
      r.assign(4 + 256, 0);
      physical_info(&r[4], book);
      break;
    }
    case 0x20: {
      if (!dual) return InvalidField();
      r.assign(12, 0);
      r[4] = state_.layer_boundary_fixed || state_.is_pressed() ? 0x00 : 0x80;
      PutBe32(&r[8], layer0);
      break;
    }
    case 0x21: case 0x22: case 0x23: {
      // DVD-R DL: shifted middle area start, jump interval size (0: jumps are placed by the host
      // reserving tracks), and the next layer jump address of the track being written.
      if (p != kProfileDvdMinusRDlSequential && p != kProfileDvdMinusRDlJump) return InvalidField();
      r.assign(12, 0);
      if (format == 0x21) PutBe32(&r[8], layer0);
      if (format == 0x23) {
        uint32_t jump = layer0 - 1;
        for (const TrackState& t : state_.tracks) {
          if (!t.closed && t.layer0_blocks != 0 && t.written < t.layer0_blocks) {
            jump = static_cast<uint32_t>(t.start + t.layer0_blocks - 1);
          }
        }
        PutBe32(&r[8], jump);
      }
      break;
    }
    default:
      return InvalidField();
  }
  PutBe16(r.data(), static_cast<uint16_t>(r.size() - 2));
  return Deliver(r, allocation, d, n);
}

// --- Reading ----------------------------------------------------------------------------------

bool VirtualDevice::ReadUserBlocks(int64_t lba, uint32_t count, uint8_t* out, Answer* failure) {
  // First where each block comes from, then the data: consecutive blocks of the file in one read.
  std::vector<uint8_t> zeros(count, 0);
  for (uint32_t i = 0; i < count; ++i) {
    const int64_t block = lba + i;
    bool readable = false;
    bool zero = false;
    if (state_.is_pressed()) {
      readable = block >= 0 && block < static_cast<int64_t>(state_.capacity);
    } else if (state_.profile == kProfileDvdPlusRw) {
      readable = state_.background_format != 0 && block >= 0 && block < static_cast<int64_t>(state_.capacity);
    } else if (state_.profile == kProfileDvdMinusRwOverwrite) {
      readable = block >= 0 && block < static_cast<int64_t>(state_.formatted_blocks);
    } else {
      for (const TrackState& t : state_.tracks) {
        int64_t k = 0;
        if (!TrackBlockIndex(t, block, &k)) continue;
        if (t.mode == TrackMode::kAudio) {
          *failure = Answer::Sense(5, 0x64, 0x00);  // illegal mode for this track
          return false;
        }
        if (k >= t.written) {
          if (state_.is_cd()) {
            *failure = Answer::Sense(3, 0x11, 0x00);  // run-out blocks hold no user data
            return false;
          }
          zero = true;  // padding of a closed DVD track
        }
        readable = true;
        break;
      }
    }
    if (!readable) {
      *failure = OutOfRange();
      return false;
    }
    zeros[i] = zero ? 1 : 0;
  }
  std::memset(out, 0, static_cast<size_t>(count) * 2048);
  quenvar::platform::ReadableFile* file = state_.is_pressed() ? image_reader_.get() : data_reader_.get();
  for (uint32_t i = 0; i < count;) {
    if (zeros[i]) {
      ++i;
      continue;
    }
    uint32_t run = 1;
    while (i + run < count && !zeros[i + run]) ++run;
    if (file == nullptr) {
      *failure = Answer::Sense(3, 0x11, 0x00);
      return false;
    }
    const size_t bytes = static_cast<size_t>(run) * 2048;
    size_t got = 0;
    // A sparse backing file may end before a written block of zeros: the rest stays zero.
    if (!file->ReadAt(static_cast<uint64_t>(lba + i) * 2048, bytes, out + static_cast<size_t>(i) * 2048, &got).ok() ||
        (state_.is_pressed() && got != bytes)) {
      *failure = Answer::Sense(3, 0x11, 0x00);  // unrecovered read error
      return false;
    }
    i += run;
  }
  return true;
}

Answer VirtualDevice::Read10(const Cdb& c, uint8_t* d, uint32_t n) {
  const int64_t lba = GetBe32(c.b + 2);
  const uint32_t count = GetBe16(c.b + 7);
  if (static_cast<uint64_t>(count) * 2048 > n) return InvalidField();
  if (count == 0) return Answer::Ok(0);
  if (lba + count > static_cast<int64_t>(std::max<uint32_t>(state_.capacity, 1))) return OutOfRange();
  Answer failure;
  if (!ReadUserBlocks(lba, count, d, &failure)) return failure;
  return Answer::Ok(count * 2048);
}

bool VirtualDevice::ReadRawSector(int64_t lba, uint8_t* sector, TrackMode* mode, Answer* failure) {
  TrackState t;
  bool invisible = false;
  bool in_track = false;
  for (const TrackState& track : state_.tracks) {
    if (lba >= track.start && lba < track.start + TrackExtent(track)) {
      t = track;
      in_track = true;
      break;
    }
  }
  if (state_.is_pressed()) {
    in_track = lba >= 0 && lba < static_cast<int64_t>(state_.capacity);
    t.mode = TrackMode::kData;
    t.written = state_.capacity;
    t.start = 0;
  }
  if (!in_track) {
    if (TrackForLba(lba, &t, &invisible) && !invisible) {
      // A pregap between tracks: silence before an audio track, mode 0 blocks before data.
      if (t.mode == TrackMode::kAudio) {
        std::memset(sector, 0, kRawSectorSize);
        *mode = TrackMode::kAudio;
        return true;
      }
      BuildMode0Sector(lba, sector);
      *mode = TrackMode::kData;
      return true;
    }
    *failure = OutOfRange();
    return false;
  }
  *mode = t.mode;
  if (lba >= t.start + t.written) {
    BuildMode0Sector(lba, sector);  // run-out
    return true;
  }
  if (t.mode == TrackMode::kData) {
    uint8_t user[2048];
    if (!ReadUserBlocks(lba, 1, user, failure)) return false;
    BuildMode1Sector(lba, user, sector);
    return true;
  }
  if (!raw_reader_) {
    if (!env_->OpenReadable(RawFilePath(backing_path_), &raw_reader_).ok()) raw_reader_.reset();
  }
  std::memset(sector, 0, kRawSectorSize);
  size_t got = 0;
  if (!raw_reader_ || !raw_reader_->ReadAt(static_cast<uint64_t>(lba) * kRawSectorSize,
                                           kRawSectorSize, sector, &got).ok()) {
    *failure = Answer::Sense(3, 0x11, 0x00);
    return false;
  }
  return true;
}

Answer VirtualDevice::ReadCd(const Cdb& c, uint8_t* d, uint32_t n) {
  if (!state_.is_cd()) return IncompatibleMedium();
  const uint8_t expected = (c.b[1] >> 2) & 0x07;
  const int64_t lba = static_cast<int32_t>(GetBe32(c.b + 2));
  const uint32_t count = GetBe24(c.b + 6);
  const uint8_t fields = c.b[9];
  const uint8_t subchannel = c.b[10] & 0x07;
  if (subchannel == 3 || subchannel > 4 || expected > 5) return InvalidField();
  uint32_t delivered = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t sector[kRawSectorSize];
    TrackMode mode;
    Answer failure;
    if (!ReadRawSector(lba + i, sector, &mode, &failure)) return failure;
    const bool audio = mode == TrackMode::kAudio;
    const bool form2 = mode == TrackMode::kMode2 && (sector[18] & 0x20);
    const uint8_t sector_mode = sector[15];
    if ((expected == 1 && !audio) || (expected > 1 && audio) ||
        (expected == 2 && sector_mode != 1) || (expected >= 3 && mode != TrackMode::kMode2 && sector_mode != 0) ||
        (expected == 4 && form2) || (expected == 5 && !form2)) {
      return Answer::Sense(5, 0x64, 0x00);  // illegal mode for this track
    }
    uint8_t out[kRawSectorSize + 296 + 96];
    uint32_t size = 0;
    auto take = [&](uint32_t from, uint32_t bytes) {
      std::memcpy(out + size, sector + from, bytes);
      size += bytes;
    };
    if (audio) {
      if (fields & 0x10) take(0, kRawSectorSize);
    } else {
      const bool m2 = sector_mode == 2;
      if (fields & 0x80) take(0, 12);
      if (fields & 0x20) take(12, 4);
      if ((fields & 0x40) && m2) take(16, 8);
      const uint32_t user_at = m2 ? 24 : 16;
      const uint32_t user_size = sector_mode == 0 ? 2336 : (m2 ? (form2 ? 2324 : 2048) : 2048);
      if (fields & 0x10) take(user_at, user_size);
      if ((fields & 0x08) && sector_mode != 0) take(user_at + user_size, kRawSectorSize - user_at - user_size);
    }
    const uint8_t c2 = (fields >> 1) & 0x03;
    if (c2 == 1 || c2 == 2) {
      const uint32_t c2_size = c2 == 1 ? 294 : 296;
      std::memset(out + size, 0, c2_size);
      size += c2_size;
    }
    if (subchannel == 2) {
      // Formatted Q: position of this block within its track.
      uint8_t* q = out + size;
      std::memset(q, 0, 16);
      TrackState t;
      bool invisible = false;
      TrackForLba(lba + i, &t, &invisible);
      const bool pregap = lba + i < t.start;
      q[0] = static_cast<uint8_t>((Control(t.mode) << 4) | 1);
      q[1] = ToBcd(static_cast<uint8_t>(t.number));
      q[2] = pregap ? 0 : 1;
      Msf rel = LbaToMsf((pregap ? t.start - (lba + i) : lba + i - t.start) - 150);
      q[3] = ToBcd(rel.minute);
      q[4] = ToBcd(rel.second);
      q[5] = ToBcd(rel.frame);
      Msf abs = LbaToMsf(lba + i);
      q[7] = ToBcd(abs.minute);
      q[8] = ToBcd(abs.second);
      q[9] = ToBcd(abs.frame);
      size += 16;
    } else if (subchannel == 1 || subchannel == 4) {
      std::memset(out + size, 0, 96);
      size += 96;
    }
    if (delivered + size > n) return InvalidField();
    std::memcpy(d + delivered, out, size);
    delivered += size;
  }
  return Answer::Ok(delivered);
}

// --- Tray, events, performance ----------------------------------------------------------------

Answer VirtualDevice::StartStopUnit(const Cdb& c) {
  const bool load_eject = (c.b[4] & 0x02) != 0;
  const bool start = (c.b[4] & 0x01) != 0;
  if (!load_eject) return Answer::Ok(0);
  if (!start) {
    if (state_.locked) return Answer::Sense(5, 0x53, 0x02);  // medium removal prevented
    if (!state_.tray_open) {
      state_.tray_open = true;
      sao_active_ = false;
      dirty_ = true;
      if (state_.has_medium) QueueMediaEvent(kMediaEventRemoval);
    }
  } else if (state_.tray_open) {
    state_.tray_open = false;
    dirty_ = true;
    if (state_.has_medium) QueueMediaEvent(kMediaEventNewMedia);
  }
  return Answer::Ok(0);
}

Answer VirtualDevice::PreventAllow(const Cdb& c) {
  const bool prevent = (c.b[4] & 0x01) != 0;
  if (state_.locked != prevent) {
    state_.locked = prevent;
    dirty_ = true;
  }
  HoldRemovalLock(prevent);
  return Answer::Ok(0);
}

Answer VirtualDevice::GetEventStatus(const Cdb& c, uint8_t* d, uint32_t n) {
  if ((c.b[1] & 0x01) == 0) return InvalidField();  // only polled operation
  const uint8_t requested = c.b[4];
  constexpr uint8_t kSupported = 0x52;  // operational change, media, device busy
  std::vector<uint8_t> r(4, 0);
  r[3] = kSupported;
  uint16_t progress = 0;
  const bool busy = BusyNow(&progress);
  uint8_t klass = 0;
  if ((requested & 0x10) && !media_events_.empty()) {
    klass = 4;
  } else if ((requested & 0x40) && busy) {
    klass = 6;
  } else if (requested & 0x02) {
    klass = 1;
  } else if (requested & 0x10) {
    klass = 4;
  } else if (requested & 0x40) {
    klass = 6;
  }
  if (klass == 0) {
    r[2] = 0x80;  // no event available
    PutBe16(r.data(), 2);
    return Deliver(r, GetBe16(c.b + 7), d, n);
  }
  r[2] = klass;
  uint8_t e[4] = {};
  if (klass == 4) {
    if (!media_events_.empty()) {
      e[0] = media_events_.front();
      media_events_.pop_front();
    }
    e[1] = static_cast<uint8_t>((state_.medium_present() ? 0x02 : 0) | (state_.tray_open ? 0x01 : 0));
  } else if (klass == 6 && busy) {
    e[0] = 1;
    e[1] = 1;
    const uint64_t remaining = busy_duration_ms_ - (Now() - busy_start_ms_);
    PutBe16(e + 2, static_cast<uint16_t>(std::min<uint64_t>(0xFFFF, remaining / 100)));
  }
  r.insert(r.end(), e, e + 4);
  PutBe16(r.data(), 6);
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::GetPerformance(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t type = c.b[10];
  const uint16_t max_descriptors = GetBe16(c.b + 8);
  std::vector<uint8_t> r(8, 0);
  if (type == 0x00) {
    if (state_.medium_present() && max_descriptors > 0) {
      uint8_t e[16] = {};
      const uint32_t speed = state_.is_cd() ? 7056 : 22160;
      PutBe32(e + 4, speed);
      PutBe32(e + 8, state_.capacity ? state_.capacity - 1 : 0);
      PutBe32(e + 12, speed);
      r.insert(r.end(), e, e + 16);
    }
  } else if (type == 0x03) {
    const uint32_t read_speed = state_.is_cd() ? 7056 : 22160;
    uint16_t count = 0;
    for (uint32_t speed : WriteSpeeds(state_)) {
      if (count++ >= max_descriptors) break;
      uint8_t e[16] = {};
      e[0] = 0x08;  // CAV-style rotation control field left at the default; exact bit set
      PutBe32(e + 4, state_.capacity ? state_.capacity - 1 : 0);
      PutBe32(e + 8, read_speed);
      PutBe32(e + 12, speed);
      r.insert(r.end(), e, e + 16);
    }
  } else {
    return InvalidField();
  }
  PutBe32(r.data(), static_cast<uint32_t>(r.size() - 4));
  return Deliver(r, static_cast<uint32_t>(r.size()), d, n);
}

}  // namespace quillden::drive::virt
