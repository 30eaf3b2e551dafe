// orvex: the recovery media program. Its only argument is the path of the recovery area's
// top-level configuration file, taken as the whole rest of the command line.
// For smoke tests, a leading "--quit-after MS" closes the main dialog by itself after MS ms; the
// program then ends with 1 when start-up ended before the main dialog. "--create-after MS" presses
// Create MS ms after the main dialog opened, and then OK in every message box that has one, as a
// user going along with the run would.
// SIGINT and SIGTERM end the program: a running job is cancelled and waited for, and the program
// ends with 1 and one line on stderr saying so.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/mainwindow/orvex_dlg.h"
#include "app/qtshell/qt_controller_ui.h"
#include "app/qtshell/qt_prompter.h"
#include "app/startup/interrupt.h"
#include "app/startup/orvex_app.h"
#include "app/startup/system_startup.h"
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
    "SIGINT and SIGTERM cancel a running job, wait until it has ended and close the window; the\n"
    "program then ends with status 1 and says so on stderr.\n\n"
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
  int create_after_ms = -1;
  while (argc >= first + 2) {
    if (std::strcmp(argv[first], "--quit-after") == 0) {
      quit_after_ms = std::atoi(argv[first + 1]);
    } else if (std::strcmp(argv[first], "--create-after") == 0) {
      create_after_ms = std::atoi(argv[first + 1]);
    } else {
      break;
    }
    first += 2;
  }
  // Taken before Qt sees the arguments, so that nothing of the path is interpreted.
  const std::u16string command_line = COrvexApp::JoinCommandLine(argc, argv, first);
  // Nothing at all happens without a configuration path: no lock, no engine, no window.
  if (command_line.empty()) return 0;

  int qt_argc = 1;
  QApplication application(qt_argc, argv);
  QtPrompter prompter;
  EndingPrompter ending_prompter(&prompter);
  ScopedPrompter install_prompter(&ending_prompter);
  QtControllerUi controller_ui;
  ScopedControllerUi install_ui(&controller_ui);

  // A signal before the main dialog keeps it from opening; with it open, the dialog ends itself.
  InterruptPipe interrupt;
  COrvexDlg* main_dialog = nullptr;
  QSocketNotifier interrupt_notifier(interrupt.fd(), QSocketNotifier::Read);
  interrupt_notifier.setEnabled(interrupt.fd() >= 0);
  QObject::connect(&interrupt_notifier, &QSocketNotifier::activated, [&] {
    if (interrupt.Drain() == 0) return;
    ending_prompter.set_ending();
    if (main_dialog != nullptr) main_dialog->EndByInterrupt();
  });
  bool interrupted_run = false;
  QTimer going_along;
  if (create_after_ms >= 0) {
    QObject::connect(&going_along, &QTimer::timeout, [&] {
      if (ending_prompter.ending()) return;
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box != nullptr && box->button(QMessageBox::Ok) != nullptr)
        box->button(QMessageBox::Ok)->click();
    });
    going_along.start(200);
  }

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
    if (create_after_ms >= 0) {
      QTimer::singleShot(create_after_ms, &dialog, [&dialog] { dialog.create_button()->click(); });
    }
    if (interrupt.signal_number() != 0) return;
    main_dialog = &dialog;
    dialog.exec();
    main_dialog = nullptr;
    interrupted_run = dialog.interrupted_run();
    prompter.SetMainWindow(nullptr);
  });
  COrvexApp app(command_line, &services);
  app.InitInstance();
  app.ExitInstance();
  if (const int signal_number = interrupt.signal_number(); signal_number != 0) {
    std::fprintf(stderr, "orvex: %s by %s\n", interrupted_run ? "job cancelled" : "closed",
                 InterruptName(signal_number));
    return 1;
  }
  // In the smoke-test mode the exit code tells whether the main dialog was reached.
  if (quit_after_ms >= 0 && app.end() != StartupEnd::kMainDialogClosed) return 1;
  return 0;
}
