// LNX2Apt: installs, reinstalls and purges Debian packages with the "apt" tool found on the search path, and turns
// the tool's running output into a percentage that it signals while the run goes on. Also tells whether a package
// tool is running and reads one package's status and version from "dpkg". apt runs under "script" (util-linux) for
// the pseudo-terminal without which it prints no download status: the one command line that goes through a shell,
// with every word single-quoted. The other programs run with an argument list. One object serves one run at a time;
// it is not thread-safe, and the static helpers are reentrant.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

class LNX2Apt : public QObject {
    Q_OBJECT
public:
    // pollIntervalMs: how often a running tool's output is read and progress emitted.
    explicit LNX2Apt(QObject *parent = nullptr, int pollIntervalMs = 500);

    // Runs the action that request asks for and blocks the caller until the tool ends (without limit: an
    // installation may take as long as its downloads do). request: "package" (a package name, or the path of a .deb
    // file) and "exec" (1 or 2 install, 3 reinstall, 4 purge; any other value installs and reports 1). result gets
    // "package" (the name), "filepath" (the "package" text, when it differs from the name), "action", "times"
    // (milliseconds of the run), "oldstatus"/"oldversion" and "newstatus"/"newversion" (dpkgStatus before and
    // after; empty when unknown) and, when the tool ran and failed, "errmsg": its "E:" lines, else its last line.
    // True when the tool started and exited with 0. Emits progress(0) first, then a percentage at each poll while
    // the tool runs, and progress(100) when it succeeded; all from the caller's thread.
    bool aptExecute(QJsonObject &result, const QJsonObject &request);

    // True when "ps -e" lists a dpkg or apt process. Blocks up to 30 seconds.
    static bool isBusy();
    // From "dpkg -l name": the status (e.g. "ii") and version of the package listed as exactly name. False, and
    // status and version untouched, when dpkg fails or does not list it. Blocks up to 30 seconds.
    static bool dpkgStatus(const QString &name, QString &status, QString &version);
    // The package name of a "package" text: the part after the last "/", cut before its first "_" when that is
    // not its first character (tool_2.1_amd64.deb gives tool).
    static QString takePackageName(const QString &package);

signals:
    void progress(int percent);

private:
    Q_DISABLE_COPY(LNX2Apt)
    const int m_pollIntervalMs;
};
