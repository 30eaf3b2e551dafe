// Orvex start-up: whether the recovery area offers a USB flash medium.
#ifndef QUENVAR_APP_STARTUP_USB_MEDIA_SET_H_
#define QUENVAR_APP_STARTUP_USB_MEDIA_SET_H_

#include <string>

#include "app/contents/contents_model.h"

namespace quenvar::app {

// 1 when, in the contents file named by IniPath of CONTENTS01 of the top-level file, the first disc
// of some disc set n (section Disc<nn>01) is a USB disc (DiscType exactly "USB"); the scan stops
// with 0 at the first set whose first disc has no DiscType. 0 as well when the top-level file names
// no contents file.
int HasUsbMediaSet(const std::u16string& top_level_path, const IniLoader& loader = DiskIniLoader());

}  // namespace quenvar::app

#endif  // QUENVAR_APP_STARTUP_USB_MEDIA_SET_H_
