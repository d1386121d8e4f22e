#include "kp2core.h"

#include <QCoreApplication>
#include <QStandardPaths>

KP2Core::KP2Core() {
    // applicationDirPath() needs the core application; without one (a library test) the working directory stands in.
    m_appDir = QDir(QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath());
    const QString etc = m_appDir.filePath(QStringLiteral("etc"));
    if (QDir(etc).exists())
        m_cfgDir = QDir(etc);
    else
        m_cfgDir = QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

KP2Core::~KP2Core() = default;
