#include "app/mainwindow/contents_list_view.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>

#include "app/mainwindow/bitmaps.h"
#include "app/qtshell/qt_text.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

// Draws the first column: expand button, check image and title at the list's fixed offsets.
class TitleDelegate : public QStyledItemDelegate {
 public:
  explicit TitleDelegate(CContentsListView* view) : QStyledItemDelegate(view), view_(view) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const auto& rows = view_->list()->rows();
    if (index.row() < 0 || static_cast<size_t>(index.row()) >= rows.size()) return;
    const MediaListRow& row = rows[static_cast<size_t>(index.row())];
    if (option.state & QStyle::State_Selected)
      painter->fillRect(option.rect, option.palette.highlight());
    if (row.kind == RowKind::kSpacer) return;
    const double s = view_->scale();
    const int size = static_cast<int>(kImageSize96 * s + 0.5);
    const int top = option.rect.top() + (option.rect.height() - size) / 2;
    const int left = option.rect.left();
    if (row.state_image != kStateNone) {
      painter->drawPixmap(QRect(left + static_cast<int>(kStateImageX96 * s), top, size, size),
                          view_->StateImage(row.state_image));
    }
    const int indent = row.kind == RowKind::kDisc ? kIndent96 : 0;
    const int image_x = left + static_cast<int>((kRowImageX96 + indent) * s);
    painter->drawPixmap(QRect(image_x, top, size, size), view_->RowImage(row.image));
    painter->setPen(option.state & QStyle::State_Selected ? option.palette.highlightedText().color()
                                                          : option.palette.text().color());
    const RowTitleLayout title = LayoutRowTitle(row, option.rect, option.font, s);
    painter->setFont(title.font);
    painter->drawText(title.rect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                      title.text);
  }

 private:
  CContentsListView* view_;
};

}  // namespace

RowTitleLayout LayoutRowTitle(const MediaListRow& row, const QRect& cell, const QFont& cell_font,
                              double scale) {
  const int size = static_cast<int>(kImageSize96 * scale + 0.5);
  const int indent = row.kind == RowKind::kDisc ? kIndent96 : 0;
  const int image_x = cell.left() + static_cast<int>((kRowImageX96 + indent) * scale);
  const int text_left = image_x + size + static_cast<int>(3 * scale);
  RowTitleLayout layout;
  layout.rect = QRect(text_left, cell.top(), std::max(0, cell.left() + cell.width() - text_left),
                      cell.height());
  layout.font = cell_font;
  layout.font.setBold(row.kind == RowKind::kContents);
  // Measured in the font it is drawn in: a bold title measured in the plain font is cut off
  // without its ellipsis.
  layout.text = QFontMetrics(layout.font)
                    .elidedText(ToQString(row.title), Qt::ElideRight, layout.rect.width());
  return layout;
}

namespace {

constexpr int kRowBitmaps[] = {bitmap::kBlank,    bitmap::kUnchecked,    bitmap::kChecked,
                               bitmap::kPartly,   bitmap::kRunUnchecked, bitmap::kRunChecked,
                               bitmap::kRunPartly};

}  // namespace

CContentsListView::CContentsListView(MediaList* list, double scale, QWidget* parent)
    : QTableWidget(parent), list_(list), scale_(scale) {
  setObjectName("list1000");
  setColumnCount(3);
  setHorizontalHeaderLabels({ToQString(LoadString(ids::kColumnTitle)),
                             ToQString(LoadString(ids::kColumnMediaSet)),
                             ToQString(LoadString(ids::kColumnStatus))});
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(Scaled(kRowHeight96));
  horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  horizontalHeader()->setStretchLastSection(false);
  horizontalHeader()->setHighlightSections(false);
  setShowGrid(false);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  setItemDelegateForColumn(0, new TitleDelegate(this));
  for (int id : kRowBitmaps) row_images_.push_back(LoadMaskedBitmap(id));
  state_images_ = {QPixmap(), LoadMaskedBitmap(bitmap::kCollapsed),
                   LoadMaskedBitmap(bitmap::kExpanded)};
  connect(horizontalHeader(), &QHeaderView::sectionResized, this,
          &CContentsListView::OnSectionResized);
}

const QPixmap& CContentsListView::RowImage(int image) const {
  return row_images_[static_cast<size_t>(
      std::clamp(image, 0, static_cast<int>(row_images_.size()) - 1))];
}

const QPixmap& CContentsListView::StateImage(int state) const {
  return state_images_[static_cast<size_t>(std::clamp(state, 0, 2))];
}

void CContentsListView::RebuildSelectors() {
  for (QComboBox* selector : selectors_) delete selector;
  selectors_.clear();
  const int items = list_->contents()->item_count();
  for (int item = 0; item < items; ++item) {
    auto* selector = new QComboBox(viewport());
    selector->setObjectName(QString("selector1015_%1").arg(item));
    int widest = 0;
    for (const std::u16string& title : list_->SelectorTitles(item)) {
      selector->addItem(ToQString(title));
      widest = std::max(widest, selector->fontMetrics().horizontalAdvance(ToQString(title)));
    }
    selector->view()->setMinimumWidth(widest + Scaled(32));
    if (list_->SelectorEntry(item) >= 0) selector->setCurrentIndex(list_->SelectorEntry(item));
    connect(selector, &QComboBox::activated, this,
            [this, item](int entry) { OnSelectorActivated(item, entry); });
    selector->hide();
    selectors_.push_back(selector);
  }
  PlaceSelectors();
}

QComboBox* CContentsListView::selector(int item) const {
  if (item < 0 || static_cast<size_t>(item) >= selectors_.size()) return nullptr;
  return selectors_[static_cast<size_t>(item)];
}

int CContentsListView::Fill() {
  const auto& rows = list_->rows();
  clearContents();
  setRowCount(static_cast<int>(rows.size()));
  if (rowCount() != static_cast<int>(rows.size())) return 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    const int row = static_cast<int>(r);
    setItem(row, 0, new QTableWidgetItem(ToQString(rows[r].title)));
    setItem(row, 2, new QTableWidgetItem(ToQString(rows[r].status)));
  }
  ApplyColumnWidths();
  PlaceSelectors();
  viewport()->update();
  return 1;
}

void CContentsListView::SetSelectorsEnabled(bool enabled) {
  for (QComboBox* selector : selectors_) selector->setEnabled(enabled);
}

void CContentsListView::PlaceSelectors() {
  for (size_t item = 0; item < selectors_.size(); ++item) {
    QComboBox* selector = selectors_[item];
    const int row = list_->ContentsRow(static_cast<int>(item));
    if (row < 0 || row >= rowCount()) {
      selector->hide();
      continue;
    }
    const QRect cell = visualRect(model()->index(row, 1));
    if (cell.bottom() < 0 || cell.top() >= viewport()->height() || cell.width() <= 0) {
      selector->hide();
      continue;
    }
    selector->setGeometry(cell.adjusted(1, 1, -1, -1));
    if (selector->isHidden()) selector->show();
  }
}

QPoint CContentsListView::HotZoneCenter(int row, HotZone zone) const {
  const QRect cell = visualRect(model()->index(row, 0));
  const double x96 = zone == HotZone::kExpand ? 12 : zone == HotZone::kContentsCheck ? 31 : 47;
  return QPoint(Scaled(x96), cell.top() + cell.height() / 2);
}

void CContentsListView::mousePressEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  const int row = rowAt(pos.y());
  if (event->button() != Qt::LeftButton || row < 0 ||
      static_cast<size_t>(row) >= list_->rows().size()) {
    QTableWidget::mousePressEvent(event);
    return;
  }
  const MediaListRow& info = list_->rows()[static_cast<size_t>(row)];
  const QRect cell = visualRect(model()->index(row, 0));
  const double x = pos.x() / scale_;
  const double y = (pos.y() - cell.top()) / scale_;
  const double height = cell.height() / scale_;
  const int image_x = kRowImageX96 + (info.kind == RowKind::kDisc ? kIndent96 : 0);
  const bool on_state =
      info.kind == RowKind::kContents && x >= kStateImageX96 && x < kStateImageX96 + kImageSize96;
  const bool on_image = info.kind != RowKind::kSpacer && x >= image_x && x < image_x + kImageSize96;
  const bool on_label =
      info.kind != RowKind::kSpacer && x >= image_x + kImageSize96 && pos.x() < columnWidth(0);
  switch (list_->Click(row, x, y, height, on_state, on_image)) {
    case ClickEffect::kExpansionChanged:
      Fill();
      return;
    case ClickEffect::kSelectionChanged:
      Fill();
      emit selectionChanged();
      return;
    case ClickEffect::kFocusOnly:
      setFocus();
      return;
    case ClickEffect::kNone:
      break;
  }
  if (on_label) {
    emit labelClicked();
    return;
  }
  QTableWidget::mousePressEvent(event);
}

void CContentsListView::OnSelectorActivated(int item, int entry) {
  if (!list_->SelectEntry(item, entry)) {
    // Refused (a run is on): show the entry that is still in force.
    if (QComboBox* box = selector(item)) box->setCurrentIndex(list_->SelectorEntry(item));
    return;
  }
  Fill();
  emit selectionChanged();
}

void CContentsListView::showEvent(QShowEvent* event) {
  QTableWidget::showEvent(event);
  ApplyColumnWidths();
  PlaceSelectors();
}

void CContentsListView::resizeEvent(QResizeEvent* event) {
  QTableWidget::resizeEvent(event);
  ApplyColumnWidths();
  PlaceSelectors();
}

void CContentsListView::scrollContentsBy(int dx, int dy) {
  QTableWidget::scrollContentsBy(dx, dy);
  PlaceSelectors();
}

void CContentsListView::updateGeometries() {
  QTableWidget::updateGeometries();
  PlaceSelectors();
}

void CContentsListView::ApplyColumnWidths() {
  const int client =
      viewport()->width() + (verticalScrollBar()->isVisible() ? verticalScrollBar()->width() : 0);
  // The first widths are taken from the laid-out list, never from the size it has before showing.
  if (client <= 0 || !isVisible()) return;
  if (!columns_initialised_) {
    list_->InitColumns(client, scale_);
    columns_initialised_ = true;
  }
  const bool fits = rowCount() * Scaled(kRowHeight96) <= viewport()->height();
  const ColumnWidths widths =
      list_->ColumnWidthsFor(client, fits, style()->pixelMetric(QStyle::PM_ScrollBarExtent));
  setting_widths_ = true;
  setColumnWidth(0, widths.title);
  setColumnWidth(1, widths.media_set);
  setColumnWidth(2, widths.status);
  setting_widths_ = false;
}

void CContentsListView::OnSectionResized(int, int, int) {
  if (setting_widths_ || !columns_initialised_) return;
  const int client =
      viewport()->width() + (verticalScrollBar()->isVisible() ? verticalScrollBar()->width() : 0);
  list_->SetColumnWidths({columnWidth(0), columnWidth(1), columnWidth(2)}, client);
  PlaceSelectors();
}

}  // namespace quenvar::app
