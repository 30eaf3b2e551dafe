// Orvex Qt shell: the small dialogs of the creation flow.
//
// CMsgDlg is the translucent modeless wait window (template 101, text in control 1000).
// CSelNextProcDlg asks what to do after a medium failed: Retry (1021), Next (1022) or Abort (2;
// closing the window counts as Abort). CCancelDlg asks whether to cancel: OK (1) or Cancel (2;
// closing counts as Cancel). Texts come from the string tables in the user-interface language.
// These are widgets: only the Qt prompter creates them, on the GUI thread.
#ifndef QUENVAR_APP_QTSHELL_SMALL_DIALOGS_H_
#define QUENVAR_APP_QTSHELL_SMALL_DIALOGS_H_

#include <QDialog>
#include <QLabel>
#include <string>
#include <string_view>

namespace quenvar::app {

// Opacity of the wait window, of 255.
inline constexpr int kWaitWindowOpacity = 190;

// Makes window translucent with opacity (0..255) and repaints it at once.
void MakeTranslucent(QWidget* window, int opacity);
// The text with every "[...]" bound into one unbreakable piece (word joiners between its
// characters), so a wrapped label never splits a button name.
QString KeepBracketsTogether(const QString& text);

class CMsgDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CMsgDlg(QWidget* parent = nullptr);

  // Shows the window, makes it translucent and puts text into control 1000.
  void ShowText(std::u16string_view text);
  QString text() const;

 private:
  QLabel* text_;
};

class CSelNextProcDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CSelNextProcDlg(QWidget* parent = nullptr);

  // Shows the dialog modally for disc_title; 1021 Retry, 1022 Next, 2 Abort.
  int Run(std::u16string_view disc_title);
  // Prepares the texts without running (Run does this itself).
  void Prepare(std::u16string_view disc_title);

  QString first_line() const { return first_line_->text(); }

 public slots:
  void reject() override;  // close box and Escape: Abort

 private:
  std::u16string disc_title_;
  QLabel* first_line_;
};

class CCancelDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CCancelDlg(QWidget* parent = nullptr);

  void SetTitle(std::u16string_view title);
  void SetText(std::u16string_view text);
  // Shows the dialog modally; 1 OK or 2 Cancel.
  int Run();

  int last_command() const { return last_command_; }
  QString text() const { return text_label_->text(); }

 public slots:
  void reject() override;  // close box and Escape: Cancel

 private:
  void Command(int id);

  std::u16string title_;
  std::u16string text_;
  int last_command_ = 0;
  QLabel* text_label_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_QTSHELL_SMALL_DIALOGS_H_
