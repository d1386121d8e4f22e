// The backup client daemon: a console process that serves its local socket until SIGINT or SIGTERM.
#include <unistd.h>

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
    if (args.contains(QStringLiteral("--version"))) {
        fputs("qivclient " QIV_VERSION "\n", stdout);
        return 0;
    }
    AppData::create();
    if (!IAppData()->start()) return -1;
    const int status = app.exec();
    // The client's threads may be in the middle of an upload that lasts hours, and they use objects that the
    // ordinary exit would destroy under them. So the process ends here, without waiting for them and without
    // running destructors; the kernel ends the upload pipeline with it (parent-death signals), and the next start
    // queues the snapshot that was left over again.
    std::fflush(nullptr);
    ::_exit(status);
}
