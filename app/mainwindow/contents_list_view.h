// Orvex main window: the media list as a Qt widget.
//
// CContentsListView shows the rows of a MediaList (app/contents/media_list.h) in three columns
// (Title, Media Set, Status): spacer rows, contents rows with the expand button, the check image
// and the item's disc set selector (a QComboBox kept over the row's Media Set cell), and the
// indented disc rows. Left clicks go to the MediaList by hot zone; what they change is redrawn and
// announced through selectionChanged, after which the panel rebuilds the selection summary. Column
// widths are kept as fractions of the client width. All sizes are 96-dpi pixels times the display
// scale. Main thread only.
#ifndef QUENVAR_APP_MAINWINDOW_CONTENTS_LIST_VIEW_H_
#define QUENVAR_APP_MAINWINDOW_CONTENTS_LIST_VIEW_H_

#include <QComboBox>
#include <QFont>
#include <QPixmap>
#include <QRect>
#include <QTableWidget>
#include <vector>

#include "app/contents/media_list.h"

namespace quenvar::app {

// Geometry of the first column in 96-dpi pixels: where the state image, the row image (plus one
// indentation level for disc rows) and the text begin, and the row height.
inline constexpr int kStateImageX96 = 4;
inline constexpr int kRowImageX96 = 23;
inline constexpr int kIndent96 = 16;
inline constexpr int kImageSize96 = 16;
inline constexpr int kRowHeight96 = 22;

// Where and how the title of a row is drawn inside its cell: the text (elided with "…" when the
// whole title does not fit), the font (bold for contents rows) and the rectangle, which never
// reaches past the cell.
struct RowTitleLayout {
  QRect rect;
  QFont font;
  QString text;
};
RowTitleLayout LayoutRowTitle(const MediaListRow& row, const QRect& cell, const QFont& cell_font,
                              double scale);

class CContentsListView : public QTableWidget {
  Q_OBJECT

 public:
  CContentsListView(MediaList* list, double scale, QWidget* parent = nullptr);

  MediaList* list() const { return list_; }
  double scale() const { return scale_; }

  // Rebuilds the selectors from the list (after MediaList::FillSelectors).
  void RebuildSelectors();
  // Shows the list's rows; 0 when a row could not be inserted, else 1.
  int Fill();
  void SetSelectorsEnabled(bool enabled);
  // The selector of contents item, or null.
  QComboBox* selector(int item) const;
  // The centre of a hot zone of row in viewport coordinates (tests and accessibility).
  QPoint HotZoneCenter(int row, HotZone zone) const;
  // The pixmap shown for a row image index (0..6) or state image (1, 2).
  const QPixmap& RowImage(int image) const;
  const QPixmap& StateImage(int state) const;

 signals:
  // Check marks or a disc set changed: the selection summary must be rebuilt.
  void selectionChanged();
  // A click on a row's text: the panel takes the focus.
  void labelClicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void updateGeometries() override;
  void showEvent(QShowEvent* event) override;

 private:
  void PlaceSelectors();
  void ApplyColumnWidths();
  void OnSectionResized(int column, int old_size, int new_size);
  void OnSelectorActivated(int item, int entry);
  int Scaled(double pixels96) const { return static_cast<int>(pixels96 * scale_ + 0.5); }

  MediaList* list_;
  double scale_;
  std::vector<QComboBox*> selectors_;
  std::vector<QPixmap> row_images_;
  std::vector<QPixmap> state_images_;
  bool columns_initialised_ = false;
  bool setting_widths_ = false;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_MAINWINDOW_CONTENTS_LIST_VIEW_H_
