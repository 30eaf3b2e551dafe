// Orvex contents: the per-user record of which discs have been created.
//
// Under HKEY_CURRENT_USER\Software\VARNOLD\OpticalDiscAPL\Orvex\ContentsList one key per loaded
// contents item ("Contents01" for the first item of the list, whatever its section number) holds:
// "ContentsNN" (1 when a set of the item is complete), "DiscSetTitleSS" (the set's title when
// written), "DiscSetSS" (1 when every disc of set SS is created) and "DiscSSDD" (1 when disc DD of
// set SS is created). A value of 1 is never cleared; a set whose stored title differs from its
// current title is read as not created at all, so renaming a set in the configuration starts it
// afresh. Main thread only.
#ifndef QUENVAR_APP_CONTENTS_CREATED_MEDIA_RECORD_H_
#define QUENVAR_APP_CONTENTS_CREATED_MEDIA_RECORD_H_

#include <string>

#include "app/contents/contents_model.h"

namespace quenvar::app {

inline constexpr std::u16string_view kContentsListKey = u"Software\\VARNOLD\\OpticalDiscAPL\\Orvex\\ContentsList\\";

// Reads the record into the list's marks, statuses and check boxes. 1, or 0 when a key cannot be
// opened: then "Cannot open registry.\n" is shown once and the remaining items keep their defaults.
int ReadCreatedMediaRecord(CContentsList& list);

// Writes the list's marks. 1, or 0 (silently) when a key cannot be opened.
int WriteCreatedMediaRecord(const CContentsList& list);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTENTS_CREATED_MEDIA_RECORD_H_
