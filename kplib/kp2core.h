// KP2Core: the framework's application base. It holds what every service built on the framework needs before its
// own objects exist: the framework logger, the debugging flag, the executable's directory and the configuration
// directory.
// Not thread-safe: set up on the main thread before other threads start; read-only afterwards.
#pragma once

#include <QDir>

#include "kp2logger.h"

class KP2Core {
public:
    KP2Core();
    virtual ~KP2Core();

    // The core's logger, current from the core's construction on. It has no file path, so it writes nothing until an
    // application gives it one.
    KP2Logger &logger() { return m_logger; }

    bool debugging() const { return m_debugging; }
    void setDebugging(bool on) { m_debugging = on; }

    // The directory of the executable.
    QDir applicationDir() const { return m_appDir; }
    // "etc" below the application directory when it exists, else the per-application writable data location;
    // a service may point it elsewhere.
    QDir configurationDir() const { return m_cfgDir; }
    void setConfigurationDir(const QString &path) { m_cfgDir = QDir(path); }

protected:
    // First member: created before anything else of the core, destroyed last.
    KP2Logger m_logger;
    bool m_debugging = false;
    QDir m_appDir;
    QDir m_cfgDir;

private:
    Q_DISABLE_COPY(KP2Core)
};
