// Orvex contents: the media list without its widgets.
//
// MediaList is the model side of the owner-drawn media list: for every contents item the disc set
// selector (the sets the selected drive can write), the expansion, and the rows the view shows
// (a spacer row before each item, the item's contents row, and one indented row per disc of the
// current set while the item is expanded) with their images and status texts. Clicks reach it as
// positions in 96-dpi pixels relative to a row and toggle expansions and check marks; the
// selection summary, the USB mask and the checked count of the creation workflow come from here.
// During a creation run the list only shows: the run images replace the normal ones, and clicks
// on check images change nothing.
//
// The Qt view and the headless front end use the same object, so both show and create the same
// selection. Checked flags, statuses and current sets live in the contents model (not owned; it
// must outlive the list), so they survive every refill. Main thread only.
#ifndef QUENVAR_APP_CONTENTS_MEDIA_LIST_H_
#define QUENVAR_APP_CONTENTS_MEDIA_LIST_H_

#include <cstdint>
#include <string>
#include <vector>

#include "app/contents/contents_model.h"

namespace quenvar::app {

// Item data of a spacer row.
inline constexpr int kSpacerMarker = -1;

// Row images (indexes into the list's image list, bitmaps 5008, 5005 ... 5011).
enum RowImage : int {
  kImageNone = 0,
  kImageUnchecked = 1,
  kImageChecked = 2,
  kImagePartly = 3,
  kRunImageOffset = 3,  // 4, 5, 6: the same three during a run
};

// State images of contents rows (the expand button).
enum StateImage : int { kStateNone = 0, kStateCollapsed = 1, kStateExpanded = 2 };

enum class RowKind { kSpacer, kContents, kDisc };

struct MediaListRow {
  RowKind kind = RowKind::kSpacer;
  int item = -1;   // contents item index (for a spacer: the item it precedes)
  int disc = -1;   // disc index in the item's current set (disc rows only)
  int state_image = kStateNone;
  int image = kImageNone;
  std::u16string title;   // column 0 ("Title")
  std::u16string status;  // column 2 ("Status"); disc rows begin with three blanks
};

// The hot zones of a row, in 96-dpi client pixels.
enum class HotZone { kNone, kExpand, kContentsCheck, kDiscCheck };

// What a click did, so the view knows what to redraw and whether to send the summary.
enum class ClickEffect {
  kNone,              // default handling of the control
  kFocusOnly,         // a check image during a run: take the focus, nothing changes
  kExpansionChanged,  // rows were inserted or removed
  kSelectionChanged,  // check marks changed: rebuild and show the selection summary
};

// Column widths in pixels for a client width.
struct ColumnWidths {
  int title = 0;
  int media_set = 0;
  int status = 0;
};

// Initial widths at 96 dpi, scaled by dpi / 96.
inline constexpr int kTitleColumn96 = 225;
inline constexpr int kStatusColumn96 = 95;

class MediaList {
 public:
  // contents is not owned. The selectors start empty: call FillSelectors once the drive is known.
  explicit MediaList(CContentsList* contents);

  CContentsList* contents() const { return contents_; }

  // Empties and refills every selector for a drive whose writable media flags are
  // writable_media (quillden/drive.h). A set is offered when each of its discs that is not a USB
  // disc has a media kind the drive can write; USB discs never exclude a set. The first entry is
  // selected and becomes the item's current set.
  void FillSelectors(uint32_t writable_media);
  // The titles the selector of item offers, in set order, and the set index behind each entry.
  std::vector<std::u16string> SelectorTitles(int item) const;
  const std::vector<uint32_t>& SelectorMap(int item) const;
  int SelectorCount(int item) const;
  // The selected entry of item, -1 when its selector is empty.
  int SelectorEntry(int item) const;
  // The user chose entry of item's selector: the current set changes and the rows are rebuilt.
  // False (nothing changes) for an unknown item or entry, or during a run.
  bool SelectEntry(int item, int entry);

  // Rebuilds the rows from the model. Returns 1 (the view returns 0 when it could not insert).
  int Fill();
  const std::vector<MediaListRow>& rows() const { return rows_; }
  // The row of item's contents row, -1 when it has none.
  int ContentsRow(int item) const;

  bool expanded(int item) const;
  // Row-level operations; each rebuilds the rows. False when row does not allow the operation.
  bool ToggleExpansion(int row);
  bool ToggleItem(int row);
  bool ToggleDisc(int row);

  // Which zone (x, y) lies in, for a row whose height is row_height, all in 96-dpi pixels with y
  // relative to the row's top: vertically between 2 pixels below the top and 5 above the bottom;
  // expand 7 < x < 17, contents check 26 < x < 36, disc check 42 < x < 52.
  static HotZone HitZone(double x, double y, double row_height);
  // A left click on row at (x, y) (as for HitZone). on_state_image / on_row_image tell what the
  // control's own hit test found there. Applies the toggle and says what changed.
  ClickEffect Click(int row, double x, double y, double row_height, bool on_state_image,
                    bool on_row_image);

  // The run display: during a run the rows carry the run images and clicks only move the focus.
  bool running() const { return running_; }
  void set_running(bool running);

  // Sets the status of a disc of item's current set (and remembers it as the item's last status,
  // which its contents row shows). Returns the model's result.
  int SetDiscStatus(int item, int disc, uint32_t status);
  uint32_t last_status(int item) const;

  // Checked discs of the current sets of items with a non-empty selector: by media kind (1..6),
  // and all together.
  int CheckedCount(int media_kind) const;
  int CheckedCount() const;
  // Bit i set when contents item i (i < 32) is to be created on a USB flash memory: its selector
  // is not empty and its current set has a checked USB disc.
  uint32_t UsbMask() const;
  // The Information box text for the current selection ("Please insert blank media." with the
  // counts, or "Please select the media that you want to create.").
  std::u16string SelectionSummary() const;
  // Size in gigabytes shown for item's USB medium: required megabytes / 1024 + 0.1.
  double UsbGigabytes(int item) const;

  // Column widths: the initial widths for a client width and display scale; after that the
  // fractions of the client width decide (SetColumnWidths after the user dragged a border).
  void InitColumns(int client_width, double scale);
  void SetColumnWidths(const ColumnWidths& widths, int client_width);
  // Widths for client_width; when the rows do not fit, the status column gives up the scroll bar.
  ColumnWidths ColumnWidthsFor(int client_width, bool rows_fit, int scroll_bar_width) const;

 private:
  struct ItemState {
    std::vector<uint32_t> selector_map;
    int entry = -1;
    bool expanded = false;
    uint32_t last_status = kDiscNone;
  };

  const ItemState* State(int item) const;
  int RowImageFor(int image) const;
  int ContentsImage(int item) const;
  std::u16string StatusText(uint32_t status) const;
  CContentsItem* Item(int item) const;

  CContentsList* contents_;
  std::vector<ItemState> states_;
  std::vector<MediaListRow> rows_;
  bool running_ = false;
  double fraction_title_ = 0.0;
  double fraction_media_set_ = 0.0;
  double fraction_status_ = 0.0;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTENTS_MEDIA_LIST_H_
