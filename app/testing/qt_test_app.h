// Test support: one headless QApplication for the widget tests of the program.
#ifndef QUENVAR_APP_TESTING_QT_TEST_APP_H_
#define QUENVAR_APP_TESTING_QT_TEST_APP_H_

namespace quenvar::app::test_support {

// Creates the process's QApplication on first use, on the offscreen platform unless
// QT_QPA_PLATFORM names another. It lives until the process ends.
void EnsureQtApplication();

}  // namespace quenvar::app::test_support

#endif  // QUENVAR_APP_TESTING_QT_TEST_APP_H_
