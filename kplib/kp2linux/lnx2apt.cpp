// The package front end over apt and dpkg. Progress is read from what apt prints: the amounts line gives the number
// of packages T, dpkg's "(Reading database ... " marks the end of the downloads, and the "Unpacking " and "Setting up "
// lines count the packages through their two stages (30 to 60 and 60 to 100 per cent).
#include "kp2linux/lnx2apt.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include "kp2linux/lnx2utils.h"
#include "kp2utils.h"

namespace {

constexpr int kToolLimitMs = 30000;

enum Action { Install = 1, InstallAgain = 2, Reinstall = 3, Purge = 4 };

int actionOf(const QJsonValue &exec) {
    const int action = toInt(exec);
    return action >= Install && action <= Purge ? action : Install;
}

int countStarting(const QStringList &lines, const QLatin1String &start) {
    int n = 0;
    for (const QString &line : lines)
        if (line.startsWith(start)) ++n;
    return n;
}

// The percentage apt's download line shows before its last "% [", e.g. " 45% [Working]"; 0 when there is none.
int downloadPercent(const QString &output) {
    const int at = output.lastIndexOf(QLatin1String("% ["));
    if (at < 4) return 0;
    QString digits = output.mid(at - 3, 3).trimmed().remove(QLatin1Char('%'));
    return digits.split(QLatin1Char('\r')).last().trimmed().toInt();
}

// Upgraded plus newly installed from the last amounts line ("0 upgraded, 2 newly installed, 0 to remove and 5 not
// upgraded."); false when no such line has come yet.
bool packageTotal(const QStringList &lines, int &total) {
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString &line = *it;
        if (!line.contains(QLatin1String("upgraded,")) || !line.contains(QLatin1String("newly installed,")) ||
            !line.contains(QLatin1String("to remove and")) || !line.contains(QLatin1String("not upgraded.")))
            continue;
        const QStringList parts = line.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        total = parts.size() > 2 ? parts[0].toInt() + parts[2].toInt() : 0;
        return true;
    }
    return false;
}

// Phases: 0 waits for the amounts line, 1 downloads, 2 unpacks, 3 sets up. Without a package total each later phase
// advances one step per poll, so the percentage still moves (30, 60, 100).
class ProgressMachine {
public:
    int step(const QString &output, const QStringList &lines) {
        switch (m_phase) {
            case 0:
                if (packageTotal(lines, m_total)) m_phase = 1;
                m_percent = 1;
                break;
            case 1:
                if (m_total > 0) {
                    m_percent = qMax(m_percent, downloadPercent(output) * 30 / 100);
                    if (output.contains(QLatin1String("(Reading database ... "))) m_phase = 2;
                } else {
                    if (m_percent <= 29) m_percent = 30;
                    m_phase = 2;
                }
                break;
            case 2:
                if (m_total > 0) {
                    const int n = countStarting(lines, QLatin1String("Unpacking "));
                    m_percent = qMax(m_percent, n * 30 / m_total + 30);
                    if (n >= m_total) m_phase = 3;
                } else {
                    m_percent = qMax(m_percent, 60);
                    m_phase = 3;
                }
                break;
            default:
                if (m_total > 0) {
                    const int n = countStarting(lines, QLatin1String("Setting up "));
                    m_percent = qMax(m_percent, n * 100 / m_total + 60);
                    if (n >= m_total) m_phase = 2;
                } else {
                    m_percent = 100;
                }
        }
        m_percent = m_phase == 1 ? qBound(1, m_percent, 100) : qMin(m_percent, 100);
        return m_percent;
    }

private:
    int m_phase = 0;
    int m_percent = 0;
    int m_total = 0;
};

QStringList aptArguments(int action, const QString &package, const QString &name) {
    if (action == Purge) return {QStringLiteral("purge"), QStringLiteral("-y"), name};
    return {action == Reinstall ? QStringLiteral("reinstall") : QStringLiteral("install"),
            QStringLiteral("--fix-missing"),
            QStringLiteral("--allow-unauthenticated"),
            QStringLiteral("-o"),
            QStringLiteral("Dpkg::Options::=--force-confmiss"),
            QStringLiteral("-y"),
            package};
}

// The command line that "script" hands to the shell: apt and its arguments, each one a single-quoted word, so that
// a package name reaches apt as one argument and never as shell code.
QString aptCommandLine(const QStringList &arguments) {
    QStringList words{QStringLiteral("apt")};
    for (const QString &argument : arguments) words << toShellArgEscaped(argument);
    return words.join(QLatin1Char(' '));
}

// The error of a failed run: the tool's output and error channels are one, so its "E:" lines say what went wrong;
// without any, its last line.
QString failureText(const QStringList &lines) {
    QStringList errors;
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("E:"))) errors << line;
    if (!errors.isEmpty()) return errors.join(QLatin1Char('\n'));
    return lines.isEmpty() ? QString() : lines.last();
}

// The terminal ends its lines in "\r\n"; a lone "\r" (a status line overwriting itself) stays.
QString terminalText(const QByteArray &output) {
    return QString::fromUtf8(output).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

}  // namespace

LNX2Apt::LNX2Apt(QObject *parent, int pollIntervalMs) : QObject(parent), m_pollIntervalMs(pollIntervalMs) {}

bool LNX2Apt::aptExecute(QJsonObject &result, const QJsonObject &request) {
    const QString package = toString(request.value(QStringLiteral("package")));
    const QString name = takePackageName(package);
    const int action = actionOf(request.value(QStringLiteral("exec")));

    emit progress(0);
    QString oldStatus, oldVersion;
    dpkgStatus(name, oldStatus, oldVersion);
    QElapsedTimer timer;
    timer.start();

    // apt prints its download status lines ("45% [Working]") only to a terminal, so it runs under "script", which
    // gives it a pseudo-terminal; both of apt's channels arrive on script's standard output. script runs the line
    // with $SHELL: a POSIX shell is set, for which the words are quoted.
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    environment.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/sh"));
    tool.setProcessEnvironment(environment);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral("script"),
               {QStringLiteral("-q"), QStringLiteral("-e"), QStringLiteral("-c"),
                aptCommandLine(aptArguments(action, package, name)), QStringLiteral("/dev/null")},
               QIODevice::ReadOnly);

    // Output is kept as bytes and decoded whole at each poll, so that a character split between two reads is not
    // lost.
    const bool started = tool.waitForStarted(kToolLimitMs);
    bool ok = false;
    QByteArray output;
    if (started) {
        ProgressMachine machine;
        // No overall limit: a large installation may take long, and apt is never killed half-way (that would leave
        // the package database locked and half-configured).
        while (!tool.waitForFinished(m_pollIntervalMs) && tool.state() != QProcess::NotRunning) {
            output += tool.readAll();
            const QString text = terminalText(output);
            emit progress(machine.step(text, text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)));
        }
        output += tool.readAll();
        ok = tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
        if (ok) emit progress(100);
    }
    const qint64 times = timer.elapsed();

    QString newStatus, newVersion;
    dpkgStatus(name, newStatus, newVersion);
    if (package != name) result[QStringLiteral("filepath")] = package;
    result[QStringLiteral("package")] = name;
    result[QStringLiteral("action")] = action;
    result[QStringLiteral("times")] = times;
    result[QStringLiteral("oldstatus")] = oldStatus;
    result[QStringLiteral("oldversion")] = oldVersion;
    result[QStringLiteral("newstatus")] = newStatus;
    result[QStringLiteral("newversion")] = newVersion;
    if (started && !ok)
        result[QStringLiteral("errmsg")] =
            failureText(terminalText(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts));
    return ok;
}

bool LNX2Apt::isBusy() {
    QString out;
    if (cmdExecute(out, {QStringLiteral("ps"), QStringLiteral("-e")}, kToolLimitMs) != 0) return false;
    // "ps -e" ends each line with the command's name, so a blank is put after it for the names to match as words
    // (" apt " but not " apt-get ").
    for (const QString &line : out.split(QLatin1Char('\n'))) {
        const QString padded = line + QLatin1Char(' ');
        for (const char *tool : {" dpkg ", "/dpkg ", " apt ", "/apt "})
            if (padded.contains(QLatin1String(tool))) return true;
    }
    return false;
}

bool LNX2Apt::dpkgStatus(const QString &name, QString &status, QString &version) {
    QString out;
    if (cmdExecute(out, {QStringLiteral("dpkg"), QStringLiteral("-l"), name}, kToolLimitMs) != 0) return false;
    const QStringList lines = out.split(QLatin1Char('\n'));
    bool table = false;
    for (const QString &line : lines) {
        table = table || line.startsWith(QLatin1String("+++-==="));
        if (!table) continue;
        const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.size() >= 3 && parts[1] == name) {
            status = parts[0];
            version = parts[2];
            return true;
        }
    }
    return false;
}

QString LNX2Apt::takePackageName(const QString &package) {
    QString name = package.mid(package.lastIndexOf(QLatin1Char('/')) + 1);
    const int underscore = name.indexOf(QLatin1Char('_'));
    return underscore > 0 ? name.left(underscore) : name;
}
