#include "approot.h"

#include <QDir>

namespace {
// Written once before threads start, read-only afterwards.
QString g_root;
}  // namespace

void AppRoot::setRoot(const QString &dir) {
    if (dir.isEmpty()) {
        g_root.clear();
        return;
    }
    QString abs = QDir::cleanPath(QDir(dir).absolutePath());
    if (abs == QLatin1String("/")) abs.clear();
    g_root = abs;
}

QString AppRoot::root() {
    return g_root;
}

QString AppRoot::path(const QString &appliancePath) {
    return g_root + appliancePath;
}
