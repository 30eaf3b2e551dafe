#include "drive/virtual/media_model.h"

#include <algorithm>

namespace quillden::drive::virt {

uint32_t OpenSession(const MediaState& s) {
  return s.closed_sessions + 1;
}

TrackState* OpenEndedTrack(MediaState* s) {
  if (s->tracks.empty()) return nullptr;
  TrackState& t = s->tracks.back();
  return (!t.closed && !t.reserved) ? &t : nullptr;
}

uint32_t TrackExtent(const TrackState& t) {
  return (t.closed || t.reserved) ? t.size : t.written;
}

int64_t TrackBlockLba(const MediaState& s, const TrackState& t, uint32_t k) {
  if (t.layer0_blocks == 0 || k < t.layer0_blocks) return t.start + k;
  return Opposite(s, t.start + t.layer0_blocks - 1) + (k - t.layer0_blocks);
}

bool TrackBlockIndex(const MediaState& s, const TrackState& t, int64_t lba, int64_t* k) {
  const int64_t extent = TrackExtent(t);
  if (t.layer0_blocks == 0) {
    *k = lba - t.start;
    return lba >= t.start && lba < t.start + extent;
  }
  if (lba >= t.start && lba < t.start + t.layer0_blocks) {
    *k = lba - t.start;
    return true;
  }
  const int64_t layer1_first = Opposite(s, t.start + t.layer0_blocks - 1);
  *k = t.layer0_blocks + (lba - layer1_first);
  return lba >= layer1_first && *k < extent;
}

bool HasLayerJumpTracks(const MediaState& s) {
  for (const TrackState& t : s.tracks) {
    if (t.layer0_blocks != 0) return true;
  }
  return false;
}

int64_t FreeEnd(const MediaState& s) {
  // Once tracks take both layers at the same radii, what is left is the band around the layer
  // change below the lowest layer 1 half; a border closing a session takes as much of layer 1.
  int64_t end = s.capacity;
  bool layer_jump = false;
  for (const TrackState& t : s.tracks) {
    if (t.layer0_blocks == 0) continue;
    layer_jump = true;
    end = std::min(end, Opposite(s, t.start + t.layer0_blocks - 1));
  }
  const bool open_session_empty = s.tracks.empty() || s.tracks.back().session < OpenSession(s);
  if (layer_jump && open_session_empty) end = std::min(end, Opposite(s, s.next_session_start - 1));
  return std::max<int64_t>(end, 0);
}

int64_t NextTrackStart(const MediaState& s) {
  if (s.tracks.empty() || s.tracks.back().session < OpenSession(s)) {
    return s.next_session_start;
  }
  const TrackState& t = s.tracks.back();
  int64_t end = t.start + (t.layer0_blocks != 0 ? t.layer0_blocks : TrackExtent(t));
  if (s.is_cd()) end += kCdTaoPregap;  // the drive records the next track's pregap itself
  return end;
}

bool HasInvisibleTrack(const MediaState& s) {
  if (!s.is_sequential() || s.finalized || s.tracks.size() >= 99) return false;
  if (!s.tracks.empty()) {
    const TrackState& t = s.tracks.back();
    if (!t.closed && !t.reserved) return false;  // the incomplete track is the invisible one
  }
  return NextTrackStart(s) < FreeEnd(s);
}

TrackState InvisibleTrack(const MediaState& s) {
  TrackState t;
  t.number = static_cast<uint32_t>(s.tracks.size() + 1);
  t.session = OpenSession(s);
  t.start = NextTrackStart(s);
  return t;
}

uint32_t SessionCount(const MediaState& s) {
  if (!s.is_sequential()) return 1;
  return s.finalized ? std::max<uint32_t>(s.closed_sessions, 1) : s.closed_sessions + 1;
}

uint8_t DiscStatus(const MediaState& s) {
  if (s.is_pressed() || s.profile == mmc::kProfileDvdMinusRwOverwrite) return 2;
  if (s.profile == mmc::kProfileDvdPlusRw) return s.background_format == 0 ? 0 : 2;
  if (s.finalized) return 2;
  if (s.tracks.empty() && s.closed_sessions == 0) return 0;
  return 1;
}

int64_t SessionLeadInStart(const MediaState& s) {
  if (s.closed_sessions == 0) return kCdAtipLeadInStart;
  return s.next_session_start - kCdLeadInFirstSession;
}

bool TrackForLba(const MediaState& s, int64_t lba, TrackState* out, bool* invisible) {
  const int64_t gap = s.is_cd() ? kCdTaoPregap : 0;
  for (const TrackState& t : s.tracks) {
    int64_t k = 0;
    if (t.layer0_blocks != 0) {
      if (!TrackBlockIndex(s, t, lba, &k)) continue;
      *out = t;
      *invisible = false;
      return true;
    }
    const int64_t extent = (t.closed || t.reserved) ? t.size : FreeEnd(s) - t.start;
    if (lba >= t.start - gap && lba < t.start + extent) {
      *out = t;
      *invisible = false;
      return true;
    }
  }
  if (HasInvisibleTrack(s)) {
    TrackState t = InvisibleTrack(s);
    if (lba >= t.start - gap && lba < FreeEnd(s)) {
      *out = t;
      *invisible = true;
      return true;
    }
  }
  return false;
}

void CloseTrack(const MediaState& s, TrackState* t) {
  if (t->closed) return;
  if (!t->reserved) {
    if (s.is_cd()) {
      t->size = t->written + (t->mode == TrackMode::kAudio ? 0 : kCdRunOutBlocks);
    } else {
      t->size =
          std::min<uint32_t>(RoundUp16(t->written), s.capacity - static_cast<uint32_t>(t->start));
    }
  }
  t->closed = true;
}

}  // namespace quillden::drive::virt
