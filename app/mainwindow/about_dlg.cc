#include "app/mainwindow/about_dlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/qtshell/qt_text.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/registry.h"
#include "platform/unicode.h"

#ifndef QUENVAR_VERSION
#define QUENVAR_VERSION "0"
#endif

namespace quenvar::app {

// Up to 2048 bytes of the value are read, as the installer's record allows.
constexpr size_t kVersionCapacity = 1024;

std::u16string InstalledVersion() {
  platform::RegistryKey key;
  if (!platform::RegistryKey::Open(platform::RegistryHive::kLocalMachine, kUninstallKey, false, &key).ok()) return {};
  std::u16string version;
  if (!key.GetString(u"DisplayVersion", &version).ok()) return {};
  if (version.size() >= kVersionCapacity) version.resize(kVersionCapacity - 1);
  return version;
}

std::u16string BuildVersion() { return platform::Utf8ToUtf16(QUENVAR_VERSION); }

std::u16string VersionText(std::u16string_view format, std::u16string_view version,
                           std::u16string_view build_version) {
  if (format.empty()) return {};
  return FormatText(format, {version.empty() ? build_version : version});
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName("dialog100");
  setWindowTitle(ToQString(DialogText(ids::kDlgAbout, ids::kItemTitle)));
  auto* title = new QLabel(ToQString(LoadString(ids::kAppTitle)), this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  version_ = new QLabel(this);
  version_->setObjectName("static1031");
  version_->setText(ToQString(
      VersionText(DialogText(ids::kDlgAbout, ids::kItemVersion), InstalledVersion(), BuildVersion())));
  auto* ok = new QPushButton(ToQString(DialogText(ids::kDlgAbout, ids::kItemOk)), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(title);
  layout->addWidget(version_);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  buttons->addWidget(ok);
  layout->addLayout(buttons);
}

}  // namespace quenvar::app
