// Orvex main window: the panel with the media list, the Information box and the progress bars.
//
// COrvexFrameDlg lays out the header texts (1012, 1013), "Media Selection" (1011) with the media
// list (1000), "Information" (1010) with the read-only Information box (1014), and "Current Media"
// (1008) and "Total Progress" (1009) with their bars (1005, 1006, range 0..1000). The section
// titles use a 12-point bold font scaled by the display scale, the header title a bold font 2
// points smaller than the dialog's. Main thread only.
#ifndef QUENVAR_APP_MAINWINDOW_ORVEX_FRAME_DLG_H_
#define QUENVAR_APP_MAINWINDOW_ORVEX_FRAME_DLG_H_

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QWidget>
#include <string_view>

#include "app/mainwindow/contents_list_view.h"

namespace quenvar::app {

class COrvexFrameDlg : public QWidget {
  Q_OBJECT

 public:
  COrvexFrameDlg(MediaList* list, double scale, QWidget* parent = nullptr);

  CContentsListView* list_view() const { return list_view_; }
  QProgressBar* current_bar() const { return current_bar_; }
  QProgressBar* total_bar() const { return total_bar_; }
  QPlainTextEdit* information() const { return information_; }

  // The Information box: replaces its text and repaints at once.
  void SetInformationText(std::u16string_view text);
  QString InformationText() const;

 private:
  QLabel* SectionTitle(uint16_t item, double scale);

  CContentsListView* list_view_;
  QPlainTextEdit* information_;
  QProgressBar* current_bar_;
  QProgressBar* total_bar_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_MAINWINDOW_ORVEX_FRAME_DLG_H_
