// Orvex main window: the About box (template 100) with the program's version.
#ifndef QUENVAR_APP_MAINWINDOW_ABOUT_DLG_H_
#define QUENVAR_APP_MAINWINDOW_ABOUT_DLG_H_

#include <QDialog>
#include <QLabel>
#include <string>
#include <string_view>

namespace quenvar::app {

// Where the installer records the installed version (machine hive, value "DisplayVersion").
inline constexpr std::u16string_view kUninstallKey =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{6D1E2C7A-3B94-4F05-9E8A-51C0D7A2B3F4}";

// The installed version from the registry; empty when it is not recorded.
std::u16string InstalledVersion();

// The version line: format ("Quenvar Version %s") with version filled in. An empty version is
// replaced by build_version, so the line never shows the bare placeholder; an empty format gives
// an empty line.
std::u16string VersionText(std::u16string_view format, std::u16string_view version,
                           std::u16string_view build_version);

// The version of this build of the program.
std::u16string BuildVersion();

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  QString version_text() const { return version_->text(); }

 private:
  QLabel* version_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_MAINWINDOW_ABOUT_DLG_H_
