// orvex: the recovery media program. Its only argument is the path of the recovery area's
// top-level configuration file, taken as the whole rest of the command line.
// For smoke tests, a leading "--quit-after MS" closes the main dialog by itself after MS ms; the
// program then ends with 1 when start-up ended before the main dialog.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/controllers/qt_controller_ui.h"
#include "app/mainwindow/orvex_dlg.h"
#include "app/startup/orvex_app.h"
#include "app/startup/system_startup.h"
#include "app/workflow/qt_prompter.h"
#include "platform/message_window.h"

namespace {

constexpr char kUsage[] =
    "Usage: orvex CONFIGURATION\n"
    "Creates the recovery media of this computer: bootable data DVDs and CDs mastered from the\n"
    "files of the recovery area, discs recorded from stored disc images, and USB flash media.\n\n"
    "CONFIGURATION is the top-level configuration file of the recovery area (for example\n"
    "Quenvar.ini); everything after the program's name is taken as that one path. The program\n"
    "needs administrator rights to write to the drives; from the desktop's menu it starts\n"
    "through pkexec.\n\n"
    "Environment:\n"
    "  QUENVAR_DRIVES         drive map (D=/dev/sr0, V=virtual:dvd+r:FILE, U=usb:/dev/sdb)\n"
    "  QUENVAR_REGISTRY_ROOT  folder of the registry hives (default ~/.config/quenvar and\n"
    "                         /etc/quenvar)\n\n"
    "  --help                 show this text and exit\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace quenvar::app;
  // Alone, --help is this text; a configuration file of that name would be given as ./--help.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  int first = 1;
  int quit_after_ms = -1;
  if (argc >= 3 && std::strcmp(argv[1], "--quit-after") == 0) {
    quit_after_ms = std::atoi(argv[2]);
    first = 3;
  }
  // Taken before Qt sees the arguments, so that nothing of the path is interpreted.
  const std::u16string command_line = COrvexApp::JoinCommandLine(argc, argv, first);
  // Nothing at all happens without a configuration path: no lock, no engine, no window.
  if (command_line.empty()) return 0;

  int qt_argc = 1;
  QApplication application(qt_argc, argv);
  QtPrompter prompter;
  ScopedPrompter install_prompter(&prompter);
  QtControllerUi controller_ui;
  ScopedControllerUi install_ui(&controller_ui);

  const auto pump = [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    quenvar::platform::PumpMessages();
  };
  SystemStartupServices services(pump, [&](COrvexApp& app) {
    OrvexDlgOptions options;
    options.configuration = app.command_line();
    options.activation_socket = ActivationSocketPath();
    COrvexDlg dialog(&app.drive_list(), std::move(options));
    prompter.SetMainWindow(&dialog);
    if (quit_after_ms >= 0) QTimer::singleShot(quit_after_ms, &dialog, &QDialog::accept);
    dialog.exec();
    prompter.SetMainWindow(nullptr);
  });
  COrvexApp app(command_line, &services);
  app.InitInstance();
  app.ExitInstance();
  // In the smoke-test mode the exit code tells whether the main dialog was reached.
  if (quit_after_ms >= 0 && app.end() != StartupEnd::kMainDialogClosed) return 1;
  return 0;
}
