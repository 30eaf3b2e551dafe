#include "app/qtshell/qt_session_guard.h"

#include <QGuiApplication>
#include <QSessionManager>

namespace quenvar::app {

bool ConnectEndSessionQuery(SessionGuard* guard, QObject* guard_owner) {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (app == nullptr || guard == nullptr) return false;
  QObject::connect(
      app, &QGuiApplication::commitDataRequest, guard_owner,
      [guard](QSessionManager& manager) {
        // The program keeps no session state, so the default answer is "may end".
        if (guard->QueryEndSession(true)) return;
        if (manager.allowsInteraction()) {
          manager.cancel();
          manager.release();
        }
      },
      Qt::DirectConnection);
  return true;
}

}  // namespace quenvar::app
