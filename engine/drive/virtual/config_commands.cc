// The virtual device's identification and configuration: INQUIRY, GET CONFIGURATION, the mode
// pages, GET PERFORMANCE and the commands a drive accepts without doing anything.
#include <algorithm>
#include <cstring>

#include "drive/virtual/device_internal.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;

namespace {

// One feature descriptor: code, version, persistent/current bits, then its data.
void AddFeature(std::vector<uint8_t>* out, uint16_t code, uint8_t version, bool persistent,
                bool current, const std::vector<uint8_t>& body) {
  const size_t at = out->size();
  out->resize(at + mmc::kFeatureData + body.size());
  uint8_t* descriptor = out->data() + at;
  PutBe16(descriptor + mmc::kFeatureCode, code);
  descriptor[mmc::kFeatureFlags] = static_cast<uint8_t>((version << 2) | (persistent ? 2 : 0) |
                                                        (current ? mmc::kFeatureCurrent : 0));
  descriptor[mmc::kFeatureAdditionalLength] = static_cast<uint8_t>(body.size());
  std::copy(body.begin(), body.end(), descriptor + mmc::kFeatureData);
}

// Write speeds in kB/s: 1x is 176.4 kB/s on CD and 1385 kB/s on DVD.
std::vector<uint32_t> WriteSpeeds(const MediaState& s) {
  if (!s.medium_present() || s.is_pressed()) return {};
  if (s.is_cd())
    return s.profile == mmc::kProfileCdRw ? std::vector<uint32_t>{4234, 1764}
                                          : std::vector<uint32_t>{8467, 7056, 5645, 4234};
  if (s.is_dual_layer()) return {11080, 8310, 5540, 3324};
  if (s.is_rewritable()) return {11080, 8310, 5540};
  return {22160, 16620, 11080, 5540};
}

}  // namespace

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

Answer VirtualDevice::TestUnitReady(const Cdb& /*c*/, uint8_t* /*d*/, uint32_t /*n*/) {
  return Answer::Ok(0);
}

// REQUEST SENSE (the sense travels with every answer), SEEK and SET CD SPEED change nothing here.
Answer VirtualDevice::Accept(const Cdb& /*c*/, uint8_t* /*d*/, uint32_t /*n*/) {
  return Answer::Ok(0);
}

Answer VirtualDevice::SetStreaming(const Cdb& c, uint8_t* /*d*/, uint32_t n) {
  if (GetBe16(c.b + 9) < 28 || n < 28) return InvalidField();  // one performance descriptor
  return Answer::Ok(0);
}

Answer VirtualDevice::GetConfiguration(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t rt = c.b[1] & 0x03;
  const uint16_t start = GetBe16(c.b + 2);
  const uint16_t allocation = GetBe16(c.b + 7);
  if (rt == 3) return InvalidField();
  const uint16_t p = ReportedProfile();
  const bool present = p != 0;
  const bool cd = p >= mmc::kProfileCdRom && p <= mmc::kProfileCdRw;
  const bool dvd = p >= mmc::kProfileDvdRom;
  const bool minus_seq = p == mmc::kProfileDvdMinusR || p == mmc::kProfileDvdMinusRwSequential ||
                         p == mmc::kProfileDvdMinusRDlSequential ||
                         p == mmc::kProfileDvdMinusRDlJump;

  std::vector<uint8_t> features;
  auto add = [&](uint16_t code, uint8_t version, bool persistent, bool current,
                 const std::vector<uint8_t>& body) {
    if (code < start) return;
    if (rt == 1 && !current) return;
    if (rt == 2 && code != start) return;
    AddFeature(&features, code, version, persistent, current, body);
  };
  // Profile list: every medium this drive knows, the current one marked.
  static const uint16_t kProfiles[] = {mmc::kProfileDvdPlusRDl,
                                       mmc::kProfileDvdPlusR,
                                       mmc::kProfileDvdPlusRw,
                                       mmc::kProfileDvdMinusRDlJump,
                                       mmc::kProfileDvdMinusRDlSequential,
                                       mmc::kProfileDvdMinusRwSequential,
                                       mmc::kProfileDvdMinusRwOverwrite,
                                       mmc::kProfileDvdMinusR,
                                       mmc::kProfileDvdRom,
                                       mmc::kProfileCdRw,
                                       mmc::kProfileCdR,
                                       mmc::kProfileCdRom};
  std::vector<uint8_t> list;
  for (uint16_t profile : kProfiles) {
    const bool rom = profile == mmc::kProfileCdRom || profile == mmc::kProfileDvdRom;
    if (!model_.every_medium && !(rom ? model_.ReadsFamilyOf(profile) : model_.Writes(profile))) {
      continue;
    }
    uint8_t e[4] = {static_cast<uint8_t>(profile >> 8), static_cast<uint8_t>(profile),
                    static_cast<uint8_t>(profile == p ? mmc::kFeatureCurrent : 0), 0};
    list.insert(list.end(), e, e + mmc::kProfileDescriptorSize);
  }
  add(mmc::kFeatureProfileList, 0, true, true, list);
  add(mmc::kFeatureCore, 2, true, true, {0, 0, 0, 2, 1, 0, 0, 0});    // ATAPI, DBE
  add(mmc::kFeatureMorphing, 1, true, true, {0x02, 0, 0, 0});         // OCEvent
  add(mmc::kFeatureRemovableMedium, 0, true, true, {0x29, 0, 0, 0});  // tray, eject, lock
  {
    std::vector<uint8_t> b(8, 0);
    PutBe32(b.data(), 2048);
    PutBe16(b.data() + 4, dvd ? 16 : 1);
    add(mmc::kFeatureRandomReadable, 0, false, present, b);
  }
  add(mmc::kFeatureMultiRead, 0, false, cd, {});
  add(mmc::kFeatureCdRead, 1, false, cd, {0x02, 0, 0, 0});  // C2 pointers
  add(mmc::kFeatureDvdRead, 1, false, dvd, {0, 0, 1, 0});   // dual layer
  if (p == mmc::kProfileDvdPlusRw || p == mmc::kProfileDvdMinusRwOverwrite) {
    std::vector<uint8_t> b(12, 0);
    PutBe32(b.data(),
            (p == mmc::kProfileDvdPlusRw ? state_.capacity : state_.formatted_blocks) - 1);
    PutBe32(b.data() + 4, 2048);
    PutBe16(b.data() + 8, 16);
    add(mmc::kFeatureRandomWritable, 0, false, true, b);
  } else {
    add(mmc::kFeatureRandomWritable, 0, false, false, std::vector<uint8_t>(12, 0));
  }
  add(mmc::kFeatureIncrementalStreamingWritable, 1, false, cd || minus_seq,
      {0x00, 0x01, 0x01, 0x01, 16, 0, 0, 0});
  add(mmc::kFeatureFormattable, 0, false,
      p == mmc::kProfileDvdPlusRw || p == mmc::kProfileDvdMinusRwOverwrite ||
          p == mmc::kProfileDvdMinusRwSequential,
      {0, 0, 0, 0});
  add(mmc::kFeatureRestrictedOverwrite, 0, false, p == mmc::kProfileDvdMinusRwOverwrite, {});
  add(mmc::kFeatureDvdPlusRw, 1, false, p == mmc::kProfileDvdPlusRw,
      {static_cast<uint8_t>(state_.drive_writes_dvd_plus_rw ? mmc::kDvdPlusRwWrite : 0), 0x01, 0,
       0});
  add(mmc::kFeatureDvdPlusR, 0, false, p == mmc::kProfileDvdPlusR, {1, 0, 0, 0});
  add(mmc::kFeatureRigidRestrictedOverwrite, 0, false, p == mmc::kProfileDvdMinusRwOverwrite,
      {0x0F, 0, 0, 0});
  add(mmc::kFeatureCdTrackAtOnce, 2, false, p == mmc::kProfileCdR || p == mmc::kProfileCdRw,
      {0x46, 0, 0xFF, 0xFF});
  add(mmc::kFeatureCdMastering, 1, false, p == mmc::kProfileCdR || p == mmc::kProfileCdRw,
      {0x66, 0x00, 0xFF, 0xFF});
  add(mmc::kFeatureDvdMinusRWrite, 1, false, minus_seq || p == mmc::kProfileDvdMinusRwOverwrite,
      {0x4E, 0, 0, 0});
  add(mmc::kFeatureLayerJumpRecording, 0, false,
      p == mmc::kProfileDvdMinusRDlSequential || p == mmc::kProfileDvdMinusRDlJump,
      {0, 0, 0, 1, 16, 0, 0, 0});  // one link size
  add(mmc::kFeatureDvdPlusRDl, 0, false, p == mmc::kProfileDvdPlusRDl, {1, 0, 0, 0});
  add(mmc::kFeaturePowerManagement, 0, true, true, {});
  add(mmc::kFeatureRealTimeStreaming, 3, true, true, {0x1F, 0, 0, 0});
  // A reading drive of the older kind knows its profile list and nothing more.
  if (!model_.every_medium && model_.writes.empty())
    features.resize(start == 0 ? mmc::kFeatureData + list.size() : 0);

  std::vector<uint8_t> r(mmc::kConfigFirstFeature, 0);
  r.insert(r.end(), features.begin(), features.end());
  PutBe32(r.data() + mmc::kConfigDataLength, static_cast<uint32_t>(r.size() - 4));
  PutBe16(r.data() + mmc::kConfigCurrentProfile, p);
  return Deliver(r, allocation, d, n);
}

Answer VirtualDevice::ModeSense(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint8_t page = c.b[2] & 0x3F;
  const uint8_t control = c.b[2] >> 6;
  if (control == 3)
    return Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscSavingParametersNotSupported, 0);
  std::vector<uint8_t> pages;
  auto add_write_page = [&] {
    mu_.AssertHeld();  // run by ModeSense, under the device mutex
    std::vector<uint8_t> p(write_page_.begin(), write_page_.end());
    if (control == 1) {  // changeable: every field of the page
      std::fill(p.begin() + 2, p.end(), 0xFF);
    } else if (control == 2) {
      p.assign(mmc::kWritePageLength + 2, 0);
      FillDefaultWritePage(p.data());
    }
    pages.insert(pages.end(), p.begin(), p.end());
  };
  auto add_capabilities_page = [&] {
    mu_.AssertHeld();
    const std::vector<uint32_t> speeds = {8467, 7056, 5645, 4234};
    std::vector<uint8_t> p(32 + 4 * speeds.size(), 0);
    p[mmc::kModePageCode] = mmc::kModePageCapabilities;
    p[mmc::kModePageLength] = static_cast<uint8_t>(p.size() - 2);
    if (control != 1) {
      uint8_t& reads = p[mmc::kCapabilitiesRead];
      uint8_t& writes = p[mmc::kCapabilitiesWrite];
      reads = 0x3B & ~0x20;  // CD-R, CD-RW, method 2, DVD-ROM, DVD-R
      writes = 0x17;         // CD-R, CD-RW, test write, DVD-R
      if (!model_.every_medium) {
        const bool cd = model_.ReadsFamilyOf(mmc::kProfileCdRom),
                   dvd = model_.ReadsFamilyOf(mmc::kProfileDvdRom);
        reads = static_cast<uint8_t>((cd ? 0x07 : 0) | (dvd ? 0x18 : 0));
        writes = static_cast<uint8_t>((model_.Writes(mmc::kProfileCdR) ? 0x01 : 0) |
                                      (model_.Writes(mmc::kProfileCdRw) ? 0x02 : 0) |
                                      (model_.Writes(mmc::kProfileDvdMinusR) ? 0x10 : 0));
      }
      p[4] = 0x71;  // audio play, mode 2 form 1 and 2, multi-session
      p[5] = 0x03;  // CD-DA commands, accurate
      p[6] = static_cast<uint8_t>(0x29 | (state_.locked ? 0x02 : 0));  // tray, eject, lock
      PutBe16(&p[8], 7056);
      PutBe16(&p[10], 256);
      PutBe16(&p[12], 2048);
      PutBe16(&p[14], 7056);
      PutBe16(&p[18], 8467);
      PutBe16(&p[20], 8467);
      PutBe16(&p[28], 8467);
      PutBe16(&p[30], static_cast<uint16_t>(speeds.size()));
      for (size_t i = 0; i < speeds.size(); ++i)
        PutBe16(&p[32 + 4 * i + 2], static_cast<uint16_t>(speeds[i]));
    }
    pages.insert(pages.end(), p.begin(), p.end());
  };
  if (page == mmc::kModePageWriteParameters) {
    add_write_page();
  } else if (page == mmc::kModePageCapabilities) {
    add_capabilities_page();
  } else if (page == mmc::kModePageAll) {
    add_write_page();
    add_capabilities_page();
  } else {
    return InvalidField();
  }
  std::vector<uint8_t> r(mmc::kModeHeaderSize, 0);
  r.insert(r.end(), pages.begin(), pages.end());
  PutBe16(r.data(), static_cast<uint16_t>(r.size() - 2));
  return Deliver(r, GetBe16(c.b + 7), d, n);
}

Answer VirtualDevice::ModeSelect(const Cdb& c, uint8_t* d, uint32_t n) {
  const uint32_t length = std::min<uint32_t>(GetBe16(c.b + 7), n);
  if (length < mmc::kModeHeaderSize) return ParameterLengthError();
  uint32_t at = mmc::kModeHeaderSize + GetBe16(d + mmc::kModeBlockDescriptorLength);
  while (at + 2 <= length) {
    const uint8_t page = d[at + mmc::kModePageCode] & mmc::kModePageCodeMask;
    const uint32_t page_length = d[at + mmc::kModePageLength] + 2u;
    if (at + page_length > length) return ParameterLengthError();
    if (page == mmc::kModePageWriteParameters) {
      if (page_length < mmc::kWritePageLength + 2u) return InvalidParameter();
      const uint8_t write_type = d[at + mmc::kWritePageWriteType] & mmc::kWriteTypeMask;
      const uint8_t block_type = d[at + mmc::kWritePageDataBlockType] & 0x0F;
      if (write_type > 4) return InvalidParameter();
      switch (block_type) {
        case 0:
        case 8:
        case 9:
        case 10:
        case 11:
        case 12:
        case 13:
          break;
        default:
          return InvalidParameter();
      }
      std::memcpy(write_page_.data() + 2, d + at + 2, 50);
      // A DVD-R DL records in layer jump mode while the write type asks for it (MMC profile 16h).
      if (state_.medium_present() && state_.tracks.empty() && !state_.finalized) {
        if (state_.profile == mmc::kProfileDvdMinusRDlSequential &&
            write_type == mmc::kWriteTypeLayerJump) {
          state_.profile = mmc::kProfileDvdMinusRDlJump;
          dirty_ = true;
        } else if (state_.profile == mmc::kProfileDvdMinusRDlJump &&
                   write_type != mmc::kWriteTypeLayerJump) {
          state_.profile = mmc::kProfileDvdMinusRDlSequential;
          dirty_ = true;
        }
      }
    } else if (page != mmc::kModePageCapabilities) {
      return InvalidParameter();
    }
    at += page_length;
  }
  return Answer::Ok(0);
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
