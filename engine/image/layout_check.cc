#include "image/layout_check.h"

#include <cstdio>

#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "drive/recording/recorder.h"
#include "quillden/result.h"

namespace quillden::image {

namespace mmc = drive::mmc;
namespace {

uint32_t Differs(std::string* why, const char* format, uint32_t a = 0, uint32_t b = 0,
                 uint32_t c = 0) {
  if (why != nullptr) {
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b, c);
    *why = text;
  }
  return QD_E_COMPARE_DIFFERS;
}

bool HoldsOneTrackOverTheMedium(uint16_t profile) {
  return drive::IsOverwritableProfile(profile) || drive::IsOverwritableHdDvdProfile(profile) ||
         profile == mmc::kProfileDvdRam;
}

}  // namespace

IntendedLayout CopyLayout(const ImageDescription& description, uint32_t write_mode) {
  IntendedLayout layout;
  layout.only_these = true;
  layout.last_session_open = (description.flags & kFlagIncompleteSession) != 0;
  uint16_t previous_source_session = 0;
  uint16_t session = 0;
  for (const TrackEntry& t : description.tracks) {
    if (session == 0 || t.session_number != previous_source_session) ++session;
    previous_source_session = t.session_number;
    IntendedTrack track;
    track.session = session;
    track.sectors = t.sector_count;
    track.open = (t.flags & 1) != 0;
    layout.tracks.push_back(track);
  }
  // A track left open keeps its session (and so the disc) open.
  if (!layout.tracks.empty() && layout.tracks.back().open) layout.last_session_open = true;
  layout.disc_closed = write_mode != recording::kWriteLeaveOpen && !layout.last_session_open;
  return layout;
}

uint32_t CheckRecordedLayout(HANDLE drive, const IntendedLayout& intended, std::string* why) {
  if (HoldsOneTrackOverTheMedium(drive::CurrentProfile(drive))) return QD_OK;
  drive::DiscInformation disc;
  uint32_t result = drive::ReadDiscInformation(drive, &disc);
  if (result != QD_OK) return result;

  std::vector<drive::TrackInformation> recorded;
  for (uint32_t number = 1; number <= disc.last_track_last_session; ++number) {
    drive::TrackInformation track;
    result = drive::ReadTrackInformation(drive, mmc::kTrackAddressTrack, number, &track);
    if (result != QD_OK) return result;
    if (drive::ClassifyTrack(track, disc) == drive::TrackState::kBlank) continue;
    recorded.push_back(track);
  }
  const size_t wanted = intended.tracks.size();
  if (recorded.size() < wanted || (intended.only_these && recorded.size() != wanted)) {
    return Differs(why, "the disc holds %u tracks where %u were recorded",
                   static_cast<uint32_t>(recorded.size()), static_cast<uint32_t>(wanted));
  }
  if (wanted == 0) return QD_OK;
  const size_t first = recorded.size() - wanted;
  const uint16_t first_session = recorded[first].session;
  for (size_t i = 0; i < wanted; ++i) {
    const drive::TrackInformation& track = recorded[first + i];
    const IntendedTrack& want = intended.tracks[i];
    const uint32_t number = track.track;
    if (track.session < first_session || track.session - first_session + 1u != want.session) {
      return Differs(why, "track %u is in session %u, not in session %u", number,
                     track.session - first_session + 1u, want.session);
    }
    if (want.check_start && track.start != want.start) {
      return Differs(why, "track %u starts at block %u, not at %u", number, track.start,
                     want.start);
    }
    const drive::TrackState state = drive::ClassifyTrack(track, disc);
    if (drive::TrackIsOpen(state) != want.open) {
      return Differs(
          why,
          want.open ? "track %u was closed, not left open" : "track %u was left open, not closed",
          number);
    }
    if (track.size < want.sectors) {
      return Differs(why, "track %u holds %u blocks, not %u", number, track.size, want.sectors);
    }
  }
  const drive::TrackInformation& last = recorded.back();
  const bool last_session_complete =
      disc.disc_status == 2 || last.session < disc.sessions || disc.last_session_state == 3;
  if (intended.last_session_open == last_session_complete) {
    return Differs(why,
                   intended.last_session_open ? "session %u was closed, not left open"
                                              : "session %u was left open, not closed",
                   last.session);
  }
  if (intended.disc_closed && disc.disc_status != 2)
    return Differs(why, "the disc was left appendable, not closed");
  return QD_OK;
}

}  // namespace quillden::image
