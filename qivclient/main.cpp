// The backup client daemon: a console process that serves its local socket until SIGINT or SIGTERM.
#include <QCoreApplication>
#include <cstdio>

#include "appdata.h"

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        fputs(AppData::usage().toLocal8Bit().constData(), stdout);
        return 0;
    }
    AppData::create();
    if (!IAppData()->start()) return -1;
    return app.exec();
}
