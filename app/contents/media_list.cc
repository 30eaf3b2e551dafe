#include "app/contents/media_list.h"

#include <algorithm>
#include <cmath>

#include "app/contents/drive_param.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {

namespace {

const std::vector<uint32_t> kNoEntries;

// The set the item's selector has chosen, or null (no entry, or an index the model lacks).
CDiscSet* CurrentSetOf(CContentsItem* item) {
  if (item == nullptr) return nullptr;
  return item->set(item->current_set());
}

bool Offered(const CDiscSet& set, uint32_t writable_media) {
  for (int d = 0; d < set.disc_count(); ++d) {
    const CDiscItem* disc = set.disc(d);
    if (disc->media_kind() == kMediaUsb) continue;
    if ((MediaKindToFlags(disc->media_kind()) & writable_media) == 0) return false;
  }
  return true;
}

}  // namespace

MediaList::MediaList(CContentsList* contents) : contents_(contents) {
  states_.resize(contents_ ? static_cast<size_t>(contents_->item_count()) : 0);
}

CContentsItem* MediaList::Item(int item) const {
  if (contents_ == nullptr || item < 0 || item >= contents_->item_count()) return nullptr;
  return contents_->item(item);
}

const MediaList::ItemState* MediaList::State(int item) const {
  if (item < 0 || static_cast<size_t>(item) >= states_.size()) return nullptr;
  return &states_[static_cast<size_t>(item)];
}

void MediaList::FillSelectors(uint32_t writable_media) {
  for (size_t i = 0; i < states_.size(); ++i) {
    ItemState& state = states_[i];
    state.selector_map.clear();
    state.entry = -1;
    CContentsItem* item = contents_->item(static_cast<int>(i));
    for (int s = 0; s < item->set_count(); ++s) {
      if (Offered(*item->set(s), writable_media)) state.selector_map.push_back(static_cast<uint32_t>(s));
    }
    if (!state.selector_map.empty()) {
      state.entry = 0;
      item->set_current_set(static_cast<int>(state.selector_map[0]));
    }
  }
  Fill();
}

std::vector<std::u16string> MediaList::SelectorTitles(int item) const {
  std::vector<std::u16string> titles;
  const ItemState* state = State(item);
  if (state == nullptr) return titles;
  for (uint32_t set : state->selector_map) titles.push_back(Item(item)->set(static_cast<int>(set))->title());
  return titles;
}

const std::vector<uint32_t>& MediaList::SelectorMap(int item) const {
  const ItemState* state = State(item);
  return state ? state->selector_map : kNoEntries;
}

int MediaList::SelectorCount(int item) const {
  return static_cast<int>(SelectorMap(item).size());
}

int MediaList::SelectorEntry(int item) const {
  const ItemState* state = State(item);
  return state ? state->entry : -1;
}

bool MediaList::SelectEntry(int item, int entry) {
  if (running_ || State(item) == nullptr) return false;
  ItemState& state = states_[static_cast<size_t>(item)];
  if (entry < 0 || static_cast<size_t>(entry) >= state.selector_map.size()) return false;
  state.entry = entry;
  Item(item)->set_current_set(static_cast<int>(state.selector_map[static_cast<size_t>(entry)]));
  Fill();
  return true;
}

int MediaList::RowImageFor(int image) const {
  return running_ ? image + kRunImageOffset : image;
}

int MediaList::ContentsImage(int item) const {
  const CDiscSet* set = CurrentSetOf(Item(item));
  if (set == nullptr) return kImageUnchecked;
  int checked = 0;
  for (int d = 0; d < set->disc_count(); ++d) checked += set->disc(d)->checked() ? 1 : 0;
  if (checked == 0) return kImageUnchecked;
  return checked == set->disc_count() ? kImageChecked : kImagePartly;
}

std::u16string MediaList::StatusText(uint32_t status) const {
  switch (status) {
    case kDiscRecording:
      return std::u16string(LoadString(ids::kStatusRecording));
    case kDiscVerifying:
      return std::u16string(LoadString(ids::kStatusVerifying));
    case kDiscError:
      return std::u16string(LoadString(ids::kStatusError));
    default:
      return {};
  }
}

int MediaList::Fill() {
  rows_.clear();
  for (size_t i = 0; i < states_.size(); ++i) {
    const int item_index = static_cast<int>(i);
    MediaListRow spacer;
    spacer.kind = RowKind::kSpacer;
    spacer.item = item_index;
    rows_.push_back(spacer);
    const ItemState& state = states_[i];
    CDiscSet* set = CurrentSetOf(Item(item_index));
    if (state.selector_map.empty() || set == nullptr) continue;
    MediaListRow contents_row;
    contents_row.kind = RowKind::kContents;
    contents_row.item = item_index;
    contents_row.state_image = state.expanded ? kStateExpanded : kStateCollapsed;
    contents_row.image = RowImageFor(ContentsImage(item_index));
    contents_row.title = Item(item_index)->title();
    contents_row.status = StatusText(state.last_status);
    rows_.push_back(contents_row);
    if (!state.expanded) continue;
    for (int d = 0; d < set->disc_count(); ++d) {
      const CDiscItem* disc = set->disc(d);
      MediaListRow disc_row;
      disc_row.kind = RowKind::kDisc;
      disc_row.item = item_index;
      disc_row.disc = d;
      disc_row.image = RowImageFor(disc->checked() ? kImageChecked : kImageUnchecked);
      disc_row.title = disc->title();
      disc_row.status = u"   " + StatusText(disc->status());
      rows_.push_back(disc_row);
    }
  }
  return 1;
}

int MediaList::ContentsRow(int item) const {
  for (size_t r = 0; r < rows_.size(); ++r) {
    if (rows_[r].kind == RowKind::kContents && rows_[r].item == item) return static_cast<int>(r);
  }
  return -1;
}

bool MediaList::expanded(int item) const {
  const ItemState* state = State(item);
  return state != nullptr && state->expanded;
}

bool MediaList::ToggleExpansion(int row) {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return false;
  if (rows_[static_cast<size_t>(row)].kind != RowKind::kContents) return false;
  ItemState& state = states_[static_cast<size_t>(rows_[static_cast<size_t>(row)].item)];
  state.expanded = !state.expanded;
  Fill();
  return true;
}

bool MediaList::ToggleItem(int row) {
  if (running_ || row < 0 || static_cast<size_t>(row) >= rows_.size()) return false;
  const MediaListRow& target = rows_[static_cast<size_t>(row)];
  if (target.kind != RowKind::kContents) return false;
  CContentsItem* item = Item(target.item);
  CDiscSet* set = CurrentSetOf(item);
  if (set == nullptr) return false;
  const bool any_checked = ContentsImage(target.item) != kImageUnchecked;
  for (int d = 0; d < set->disc_count(); ++d) set->disc(d)->set_checked(any_checked ? 0 : 1);
  set->set_display_flag(any_checked || set->disc_count() == 0 ? 0 : 1);
  Fill();
  return true;
}

bool MediaList::ToggleDisc(int row) {
  if (running_ || row < 0 || static_cast<size_t>(row) >= rows_.size()) return false;
  const MediaListRow& target = rows_[static_cast<size_t>(row)];
  if (target.kind != RowKind::kDisc) return false;
  // The disc index follows from the distance to the contents row above; a spacer in between
  // means the row is not a disc row of any item.
  int above = row - 1;
  while (above >= 0 && rows_[static_cast<size_t>(above)].kind == RowKind::kDisc) --above;
  if (above < 0 || rows_[static_cast<size_t>(above)].kind != RowKind::kContents) return false;
  const int disc_index = row - above - 1;
  CDiscSet* set = CurrentSetOf(Item(rows_[static_cast<size_t>(above)].item));
  if (set == nullptr || disc_index >= set->disc_count()) return false;
  CDiscItem* disc = set->disc(disc_index);
  disc->set_checked(disc->checked() ? 0 : 1);
  set->set_display_flag(ContentsImage(rows_[static_cast<size_t>(above)].item) != kImageUnchecked ? 1 : 0);
  Fill();
  return true;
}

HotZone MediaList::HitZone(double x, double y, double row_height) {
  if (!(y > 2.0 && y < row_height - 5.0)) return HotZone::kNone;
  if (x > 7.0 && x < 17.0) return HotZone::kExpand;
  if (x > 26.0 && x < 36.0) return HotZone::kContentsCheck;
  if (x > 42.0 && x < 52.0) return HotZone::kDiscCheck;
  return HotZone::kNone;
}

ClickEffect MediaList::Click(int row, double x, double y, double row_height, bool on_state_image,
                             bool on_row_image) {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return ClickEffect::kNone;
  const HotZone zone = HitZone(x, y, row_height);
  if (on_state_image) {
    if (zone == HotZone::kExpand && ToggleExpansion(row)) return ClickEffect::kExpansionChanged;
    return ClickEffect::kNone;
  }
  if (on_row_image) {
    if (running_) return ClickEffect::kFocusOnly;
    const RowKind kind = rows_[static_cast<size_t>(row)].kind;
    if (zone == HotZone::kContentsCheck && kind == RowKind::kContents) ToggleItem(row);
    if (zone == HotZone::kDiscCheck && kind == RowKind::kDisc) ToggleDisc(row);
    return ClickEffect::kSelectionChanged;
  }
  return ClickEffect::kNone;
}

void MediaList::set_running(bool running) {
  running_ = running;
  Fill();
}

int MediaList::SetDiscStatus(int item, int disc, uint32_t status) {
  CContentsItem* target = Item(item);
  if (target == nullptr) return 0;
  const int result = target->SetStatus(disc, status);
  if (result) states_[static_cast<size_t>(item)].last_status = status;
  return result;
}

uint32_t MediaList::last_status(int item) const {
  const ItemState* state = State(item);
  return state ? state->last_status : kDiscNone;
}

int MediaList::CheckedCount(int media_kind) const {
  int count = 0;
  for (size_t i = 0; i < states_.size(); ++i) {
    if (states_[i].selector_map.empty()) continue;
    const CDiscSet* set = CurrentSetOf(Item(static_cast<int>(i)));
    if (set == nullptr) continue;
    for (int d = 0; d < set->disc_count(); ++d) {
      const CDiscItem* disc = set->disc(d);
      if (disc->checked() && disc->media_kind() == media_kind) ++count;
    }
  }
  return count;
}

int MediaList::CheckedCount() const {
  int count = 0;
  for (int kind = kMediaCd; kind <= kMediaUsb; ++kind) count += CheckedCount(kind);
  return count;
}

uint32_t MediaList::UsbMask() const {
  uint32_t mask = 0;
  for (size_t i = 0; i < states_.size() && i < 32; ++i) {
    if (states_[i].selector_map.empty()) continue;
    const CDiscSet* set = CurrentSetOf(Item(static_cast<int>(i)));
    if (set == nullptr) continue;
    for (int d = 0; d < set->disc_count(); ++d) {
      const CDiscItem* disc = set->disc(d);
      if (disc->checked() && disc->media_kind() == kMediaUsb) mask |= 1u << i;
    }
  }
  return mask;
}

double MediaList::UsbGigabytes(int item) const {
  const CDiscSet* set = CurrentSetOf(Item(item));
  if (set == nullptr) return 0.1;
  // The size of the set's USB medium; a set that holds discs besides it would otherwise show the
  // size of whatever disc comes first.
  for (int d = 0; d < set->disc_count(); ++d) {
    const CDiscItem* disc = set->disc(d);
    if (disc->media_kind() == kMediaUsb) return static_cast<double>(disc->required_size()) / 1024.0 + 0.1;
  }
  return 0.1;
}

std::u16string MediaList::SelectionSummary() const {
  static constexpr uint32_t kCountLines[] = {ids::kCountCd, ids::kCountDvd, ids::kCountDvdDl, ids::kCountHdDvd,
                                             ids::kCountHdDvdDl};
  if (CheckedCount() == 0) return std::u16string(LoadString(ids::kSelectMedia));
  std::u16string text(LoadString(ids::kInsertBlankMedia));
  for (int kind = kMediaCd; kind <= kMediaHdDvdDl; ++kind) {
    const int count = CheckedCount(kind);
    if (count != 0) text += u"   " + FormatString(kCountLines[kind - 1], {count});
  }
  if (CheckedCount(kMediaUsb) != 0) {
    const uint32_t mask = UsbMask();
    for (int i = 0; i < 32; ++i) {
      if (mask & (1u << i)) text += u"   " + FormatString(ids::kUsbMediaLine, {UsbGigabytes(i)});
    }
  }
  return text;
}

void MediaList::InitColumns(int client_width, double scale) {
  ColumnWidths widths;
  widths.title = static_cast<int>(std::lround(kTitleColumn96 * scale));
  widths.status = static_cast<int>(std::lround(kStatusColumn96 * scale));
  widths.media_set = std::max(0, client_width - widths.title - widths.status);
  SetColumnWidths(widths, client_width);
}

void MediaList::SetColumnWidths(const ColumnWidths& widths, int client_width) {
  if (client_width <= 0) return;
  const double width = client_width;
  fraction_title_ = widths.title / width;
  fraction_media_set_ = widths.media_set / width;
  fraction_status_ = widths.status / width;
}

ColumnWidths MediaList::ColumnWidthsFor(int client_width, bool rows_fit, int scroll_bar_width) const {
  ColumnWidths widths;
  const double width = std::max(0, client_width);
  widths.title = static_cast<int>(std::lround(fraction_title_ * width));
  widths.media_set = static_cast<int>(std::lround(fraction_media_set_ * width));
  widths.status = static_cast<int>(std::lround(fraction_status_ * width));
  if (!rows_fit) widths.status = std::max(0, widths.status - scroll_bar_width);
  return widths;
}

}  // namespace quenvar::app
