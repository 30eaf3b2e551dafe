// The virtual device's READ TOC/PMA/ATIP: the table of contents in its formats, the ATIP and
// the CD-Text of the lead-in.
#include <algorithm>
#include <cstring>

#include "drive/virtual/device_internal.h"

namespace quillden::drive::virt {

using Answer = VirtualDevice::Answer;

namespace {

// What the table of contents holds: CD tracks of complete sessions, DVD closed tracks, and the
// one track of formatted overwritable media.
std::vector<TrackState> TocTracks(const MediaState& s) {
  std::vector<TrackState> toc;
  for (const TrackState& t : s.tracks) {
    const bool listed = s.is_pressed() || s.is_random_writable() ||
                        (s.is_cd() ? t.session <= s.closed_sessions : t.closed);
    if (listed) toc.push_back(t);
  }
  if (s.is_random_writable() && toc.empty() &&
      (s.profile != mmc::kProfileDvdPlusRw || s.background_format != 0)) {
    TrackState t;
    t.number = 1;
    t.session = 1;
    t.size = s.profile == mmc::kProfileDvdPlusRw ? s.capacity : s.formatted_blocks;
    t.closed = true;
    toc.push_back(t);
  }
  return toc;
}

// Format 4: the ATIP of a recordable CD.
std::vector<uint8_t> Atip(const MediaState& s) {
  std::vector<uint8_t> r(28, 0);
  PutBe16(r.data(), 26);
  r[4] = 0x80 | 0x50 | 0x04;  // writing power, reference speed
  r[5] = 0x00;
  r[6] = static_cast<uint8_t>(0x80 | (s.profile == mmc::kProfileCdRw ? 0x40 : 0x00));
  Msf in = LbaToMsf(kCdAtipLeadInStart);
  r[8] = in.minute;
  r[9] = in.second;
  r[10] = in.frame;
  Msf out = LbaToMsf(s.capacity);
  r[12] = out.minute;
  r[13] = out.second;
  r[14] = out.frame;
  return r;
}

// Format 5: the CD-Text packs of the first lead-in after a 4-byte header.
std::vector<uint8_t> CdText(const MediaState& s) {
  std::vector<uint8_t> r(4, 0);
  r.insert(r.end(), s.cd_text.begin(), s.cd_text.end());
  PutBe16(r.data(), static_cast<uint16_t>(r.size() - 2));
  return r;
}

void AppendTocEntry(std::vector<uint8_t>* r, uint8_t control, uint8_t number, int64_t lba,
                    bool msf) {
  uint8_t e[mmc::kTocDescriptorSize] = {};
  e[mmc::kTocControl] = static_cast<uint8_t>(mmc::kAdrPosition | control);
  e[mmc::kTocTrack] = number;
  PutAddress(e + mmc::kTocAddress, lba, msf);
  r->insert(r->end(), e, e + mmc::kTocDescriptorSize);
}

// Format 0: the tracks from number on (0xAA: only the lead-out), then the lead-out.
std::vector<uint8_t> TrackToc(const std::vector<TrackState>& toc, uint8_t number, bool msf) {
  const TrackState& last = toc.back();
  std::vector<uint8_t> r(mmc::kTocHeaderSize, 0);
  r[mmc::kTocFirst] = static_cast<uint8_t>(toc.front().number);
  r[mmc::kTocLast] = static_cast<uint8_t>(last.number);
  for (const TrackState& t : toc) {
    if (number == mmc::kTocLeadOut || t.number < number) continue;
    AppendTocEntry(&r, Control(t.mode), static_cast<uint8_t>(t.number), t.start, msf);
  }
  AppendTocEntry(&r, Control(last.mode), mmc::kTocLeadOut, last.start + last.size, msf);
  PutBe16(r.data() + mmc::kTocLength, static_cast<uint16_t>(r.size() - 2));
  return r;
}

// Format 1: the sessions, and the first track of the last one.
std::vector<uint8_t> SessionToc(const std::vector<TrackState>& toc, bool msf) {
  const uint32_t last_session = toc.back().session;
  const TrackState* first = &toc.back();
  for (const TrackState& t : toc) {
    if (t.session == last_session) {
      first = &t;
      break;
    }
  }
  std::vector<uint8_t> r(mmc::kTocHeaderSize + mmc::kTocDescriptorSize, 0);
  PutBe16(r.data() + mmc::kTocLength, static_cast<uint16_t>(r.size() - 2));
  r[mmc::kTocFirst] = 1;
  r[mmc::kTocLast] = static_cast<uint8_t>(last_session);
  uint8_t* descriptor = &r[mmc::kTocHeaderSize];
  descriptor[mmc::kTocControl] = static_cast<uint8_t>(mmc::kAdrPosition | Control(first->mode));
  descriptor[mmc::kTocTrack] = static_cast<uint8_t>(first->number);
  PutAddress(descriptor + mmc::kTocAddress, first->start, msf);
  return r;
}

// One 11-byte descriptor of the raw TOC: session, ADR/control, point, then either the MSF of
// address or pmin/psec/pframe as given.
void AppendRawEntry(std::vector<uint8_t>* r, uint32_t session, uint8_t adr_control, uint8_t point,
                    const uint8_t middle[4], const uint8_t p[3]) {
  uint8_t e[11] = {static_cast<uint8_t>(session),
                   adr_control,
                   0,
                   point,
                   middle[0],
                   middle[1],
                   middle[2],
                   middle[3],
                   p[0],
                   p[1],
                   p[2]};
  r->insert(r->end(), e, e + 11);
}

void AppendRawPoint(std::vector<uint8_t>* r, uint32_t session, uint8_t control, uint8_t point,
                    int64_t address) {
  const Msf m = LbaToMsf(address);
  const uint8_t zero[4] = {}, p[3] = {m.minute, m.second, m.frame};
  AppendRawEntry(r, session, static_cast<uint8_t>(0x10 | control), point, zero, p);
}

// The raw TOC entries of one session: A0 (first track, disc type), A1 (last track), A2 (lead-out),
// the tracks, then B0 (where the next session may start) and C0 (the lead-in start) where they
// belong.
void AppendRawSession(const MediaState& s, const std::vector<TrackState>& toc, uint32_t session,
                      uint32_t sessions, std::vector<uint8_t>* r) {
  const TrackState* first = nullptr;
  const TrackState* last = nullptr;
  bool xa = false;
  for (const TrackState& t : toc) {
    if (t.session != session) continue;
    if (!first) first = &t;
    last = &t;
    xa = xa || t.mode == TrackMode::kMode2;
  }
  if (!first) return;
  const uint8_t zero[4] = {};
  const uint8_t a0[3] = {static_cast<uint8_t>(first->number),
                         static_cast<uint8_t>(xa ? 0x20 : 0x00), 0};
  const uint8_t a1[3] = {static_cast<uint8_t>(last->number), 0, 0};
  AppendRawEntry(r, session, static_cast<uint8_t>(0x10 | Control(first->mode)), 0xA0, zero, a0);
  AppendRawEntry(r, session, static_cast<uint8_t>(0x10 | Control(last->mode)), 0xA1, zero, a1);
  AppendRawPoint(r, session, Control(first->mode), 0xA2, last->start + last->size);
  for (const TrackState& t : toc) {
    if (t.session == session)
      AppendRawPoint(r, session, Control(t.mode), static_cast<uint8_t>(t.number), t.start);
  }
  if (session == sessions && !s.finalized && s.is_cd()) {
    // B0: where the next session's program area starts, and the last possible lead-out.
    const Msf next = LbaToMsf(s.next_session_start), end = LbaToMsf(s.capacity);
    const uint8_t middle[4] = {next.minute, next.second, next.frame, 1};
    const uint8_t p[3] = {end.minute, end.second, end.frame};
    AppendRawEntry(r, session, 0x50, 0xB0, middle, p);
  }
  if (session == 1 && s.profile != mmc::kProfileCdRom) {
    const Msf in = LbaToMsf(kCdAtipLeadInStart);
    const uint8_t middle[4] = {0x50, 0, 0, 0};
    const uint8_t p[3] = {in.minute, in.second, in.frame};
    AppendRawEntry(r, 1, 0x50, 0xC0, middle, p);
  }
}

// Format 2: the raw TOC of a CD, session by session (binary values).
std::vector<uint8_t> RawToc(const MediaState& s, const std::vector<TrackState>& toc) {
  std::vector<uint8_t> r(mmc::kTocHeaderSize, 0);
  const uint32_t sessions = toc.back().session;
  r[mmc::kTocFirst] = 1;
  r[mmc::kTocLast] = static_cast<uint8_t>(sessions);
  for (uint32_t session = 1; session <= sessions; ++session)
    AppendRawSession(s, toc, session, sessions, &r);
  PutBe16(r.data() + mmc::kTocLength, static_cast<uint16_t>(r.size() - 2));
  return r;
}

}  // namespace

Answer VirtualDevice::ReadToc(const Cdb& c, uint8_t* d, uint32_t n) {
  const bool msf = (c.b[1] & 0x02) != 0;
  uint8_t format = c.b[2] & 0x0F;
  if (format == 0 && (c.b[9] & 0xC0)) format = c.b[9] >> 6;  // older drives put it here
  const uint8_t number = c.b[6];
  const uint16_t allocation = GetBe16(c.b + 7);
  const std::vector<TrackState> toc = TocTracks(state_);
  if (format == mmc::kTocFormatAtip) {
    if (state_.profile != mmc::kProfileCdR && state_.profile != mmc::kProfileCdRw)
      return InvalidField();
    return Deliver(Atip(state_), allocation, d, n);
  }
  if (format == mmc::kTocFormatCdText && !toc.empty() && !state_.cd_text.empty()) {
    return Deliver(CdText(state_), allocation, d, n);
  }
  if (toc.empty() || format == mmc::kTocFormatPma || format >= mmc::kTocFormatCdText)
    return InvalidField();
  switch (format) {
    case mmc::kTocFormatToc:
      if (number != mmc::kTocLeadOut && number > toc.back().number) return InvalidField();
      return Deliver(TrackToc(toc, number, msf), allocation, d, n);
    case mmc::kTocFormatSessionInfo:
      return Deliver(SessionToc(toc, msf), allocation, d, n);
    default:  // mmc::kTocFormatRawToc
      if (!state_.is_cd()) return InvalidField();
      return Deliver(RawToc(state_, toc), allocation, d, n);
  }
}

}  // namespace quillden::drive::virt
