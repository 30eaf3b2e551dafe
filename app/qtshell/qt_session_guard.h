// Orvex Qt shell: the end-session query of the desktop session manager.
//
// The session manager asks a Qt program through QGuiApplication::commitDataRequest whether the
// session may end. ConnectEndSessionQuery answers it with SessionGuard::QueryEndSession: during a
// job the shutdown is cancelled (which the session manager allows only after granting
// interaction) and the guard raises the main window and shows its notice. Call on the GUI thread;
// the connection ends with guard_owner.
#ifndef QUENVAR_APP_QTSHELL_QT_SESSION_GUARD_H_
#define QUENVAR_APP_QTSHELL_QT_SESSION_GUARD_H_

#include <QObject>

#include "app/guards/session_guard.h"

namespace quenvar::app {

// guard must outlive guard_owner (or the application). Returns false without a QGuiApplication.
bool ConnectEndSessionQuery(SessionGuard* guard, QObject* guard_owner);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_QTSHELL_QT_SESSION_GUARD_H_
