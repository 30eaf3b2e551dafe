// orvex: the recovery media program.
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <cstdlib>
#include <cstring>

#include "app/controllers/qt_text.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "app/workflow/qt_prompter.h"

int main(int argc, char** argv) {
  using namespace quenvar::app;
  QApplication application(argc, argv);
  QtPrompter prompter;
  ScopedPrompter install(&prompter);

  QDialog main_dialog;
  main_dialog.setWindowTitle(ToQString(LoadString(ids::kAppTitle)));
  prompter.SetMainWindow(&main_dialog);
  // --quit-after MS closes the dialog by itself, for smoke tests.
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--quit-after") == 0) {
      QTimer::singleShot(std::atoi(argv[i + 1]), &main_dialog, &QDialog::accept);
    }
  }
  main_dialog.show();
  main_dialog.exec();
  prompter.SetMainWindow(nullptr);
  return 0;
}
