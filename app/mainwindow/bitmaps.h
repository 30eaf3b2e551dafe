// Orvex main window: the program's bitmaps.
//
// The images of the media list (expand buttons, check marks) and of the footer (button faces and
// the band) are PNG files drawn at build time by make_bitmaps and compiled into the program. Row
// and state images are 16 x 16 with white as their transparent colour; button faces are 67 x 21,
// drawn in three slices (first column, stretched middle, last column). Main thread only (Qt pixmaps).
#ifndef QUENVAR_APP_MAINWINDOW_BITMAPS_H_
#define QUENVAR_APP_MAINWINDOW_BITMAPS_H_

#include <QPixmap>
#include <QRect>
#include <cstddef>
#include <cstdint>

class QPainter;

namespace quenvar::app {

namespace bitmap {
inline constexpr int kExpanded = 5003;
inline constexpr int kCollapsed = 5004;
inline constexpr int kUnchecked = 5005;
inline constexpr int kChecked = 5006;
inline constexpr int kPartly = 5007;
inline constexpr int kBlank = 5008;
inline constexpr int kRunUnchecked = 5009;
inline constexpr int kRunChecked = 5010;
inline constexpr int kRunPartly = 5011;
inline constexpr int kButtonPressed = 5012;
inline constexpr int kButtonNormal = 5013;
inline constexpr int kButtonHot = 5014;
inline constexpr int kBandStrip = 5015;
inline constexpr int kBand = 5016;
}  // namespace bitmap

struct BitmapResource {
  int id;
  const unsigned char* png;
  size_t size;
};

// The compiled-in PNG files (generated source).
extern const BitmapResource kBitmapResources[];
extern const size_t kBitmapResourceCount;

// The bitmap of id as stored; a null pixmap for an unknown id.
QPixmap LoadBitmap(int id);
// The same with its white pixels made transparent (list images).
QPixmap LoadMaskedBitmap(int id);

// Draws face over target in three slices: its first and last pixel columns at the two ends and the
// columns between stretched over the rest.
void DrawThreeSlices(QPainter& painter, const QRect& target, const QPixmap& face);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_MAINWINDOW_BITMAPS_H_
