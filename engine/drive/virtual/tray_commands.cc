// The virtual device's tray, lock and events: START STOP UNIT, PREVENT ALLOW MEDIUM REMOVAL and
// GET EVENT STATUS NOTIFICATION.
#include <algorithm>
#include <cstring>

#include "drive/virtual/device_internal.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;

Answer VirtualDevice::StartStopUnit(const Cdb& c, uint8_t* /*d*/, uint32_t /*n*/) {
  const bool load_eject = (c.b[4] & 0x02) != 0;
  const bool start = (c.b[4] & 0x01) != 0;
  if (!load_eject) return Answer::Ok(0);
  if (!start) {
    if (state_.locked) {
      return Answer::Sense(mmc::kSenseIllegalRequest, mmc::kAscMediumRemoval,
                           mmc::kAscqMediumRemovalPrevented);
    }
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

Answer VirtualDevice::PreventAllow(const Cdb& c, uint8_t* /*d*/, uint32_t /*n*/) {
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
    e[1] =
        static_cast<uint8_t>((state_.medium_present() ? 0x02 : 0) | (state_.tray_open ? 0x01 : 0));
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

}  // namespace quillden::drive::virt
