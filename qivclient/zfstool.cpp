#include "zfstool.h"

#include <QProcess>

const QString ZfsTool::UploadedProperty = QStringLiteral("qiv:uploaded");
const QString ZfsTool::RestoredProperty = QStringLiteral("qiv:restored");

namespace {

// How much of what a receive wrote to standard error its failure keeps: the end, where the reason is.
constexpr int ErrorTailBytes = 4096;

}  // namespace

ZfsTool::ZfsTool(const QString &program, const ZfsToolWaits &waits) : m_program(program), m_waits(waits) {}

bool ZfsTool::snapshot(const QString &name, QByteArray *standardError, QString *failure) const {
    return toolprocess::run(m_program, {QStringLiteral("snapshot"), name}, m_waits.start, m_waits.finish, m_waits.slice,
                            nullptr, standardError, failure);
}

bool ZfsTool::listSnapshots(QList<Snapshot> *snapshots, QString *failure) const {
    QByteArray out;
    if (!toolprocess::run(
            m_program,
            {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-t"), QStringLiteral("snapshot"),
             QStringLiteral("-o"), QStringLiteral("name,%1,%2").arg(UploadedProperty, RestoredProperty)},
            m_waits.start, m_waits.finish, m_waits.slice, &out, nullptr, failure))
        return false;
    // One snapshot a line, its columns apart by a tab (scripted mode); names may hold blanks, never a tab or a line
    // break. An unset property shows as "-". The text ends at a NUL, which no name holds.
    const int nul = out.indexOf('\0');
    const auto value = [](const QString &column) { return column == QLatin1String("-") ? QString() : column; };
    snapshots->clear();
    for (const QString &line : QString::fromUtf8(nul < 0 ? out : out.left(nul)).split(QLatin1Char('\n'))) {
        if (line.isEmpty()) continue;
        const QStringList columns = line.split(QLatin1Char('\t'));
        snapshots->append(Snapshot{columns.at(0), value(columns.value(1)), value(columns.value(2))});
    }
    return true;
}

bool ZfsTool::destroy(const QString &name, QString *failure, bool recursive) const {
    QStringList args{QStringLiteral("destroy")};
    if (recursive) args.append(QStringLiteral("-r"));
    args.append(name);
    return toolprocess::run(m_program, args, m_waits.start, -1, m_waits.slice, nullptr, nullptr, failure);
}

bool ZfsTool::getProperty(const QString &name, const QString &property, QString *value, QString *failure) const {
    QByteArray out;
    if (!toolprocess::run(m_program,
                          {QStringLiteral("get"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("value"),
                           property, name},
                          m_waits.start, m_waits.finish, m_waits.slice, &out, nullptr, failure))
        return false;
    *value = QString::fromUtf8(out).trimmed();
    return true;
}

bool ZfsTool::setProperty(const QString &name, const QString &property, const QString &value, QString *failure) const {
    return toolprocess::run(m_program, {QStringLiteral("set"), property + QLatin1Char('=') + value, name},
                            m_waits.start, m_waits.finish, m_waits.slice, nullptr, nullptr, failure);
}

bool ZfsTool::receive(const QString &dataset, const QString &inputFile, const ReceiveOptions &options,
                      const toolprocess::StopCheck &stopRequested, QString *failure) const {
    QStringList args{QStringLiteral("receive")};
    if (options.unmounted) args.append(QStringLiteral("-u"));
    args.append(dataset);
    QString program = m_program;
    QString command = (QStringList{m_program} + args).join(QLatin1Char(' '));
    if (!options.filters.isEmpty()) {
        // The filters and zfs in one line: the first reads the shell's standard input, the input file. setpriv gives
        // bash a parent-death signal and execs it, so that killing this process (a stop) or the end of the calling
        // thread ends the shell, and with it every command of the line.
        QList<QStringList> commands = options.filters;
        commands.append(QStringList{m_program} + args);
        command = toolprocess::pipelineText(commands);
        program = QStringLiteral("setpriv");
        args = QStringList{QStringLiteral("--pdeathsig"), QStringLiteral("KILL"), QStringLiteral("/bin/bash"),
                           QStringLiteral("-c"), toolprocess::pipelineLine(commands)};
    }
    QProcess process;
    process.setStandardInputFile(inputFile);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, args);
    if (!process.waitForStarted(m_waits.start)) {
        *failure = toolprocess::failureText(program, args, process, QByteArray(), false, false);
        toolprocess::giveUp(process);
        return false;
    }
    // No overall limit: receiving takes as long as the stream is long. Standard error is drained as it comes, so
    // that a talkative filter never blocks on a full pipe, and only its tail is kept.
    QByteArray standardError;
    const auto drain = [&] {
        standardError.append(process.readAllStandardError());
        if (standardError.size() > ErrorTailBytes) standardError.remove(0, standardError.size() - ErrorTailBytes);
    };
    if (!toolprocess::waitWatched(process, m_waits.poll, stopRequested, drain)) {
        *failure = QStringLiteral("stopped while receiving");
        return false;
    }
    drain();
    if (toolprocess::succeeded(process)) return true;
    const QString said = QString::fromUtf8(standardError).trimmed();
    const QString how = process.exitStatus() == QProcess::NormalExit
                            ? QStringLiteral("exit code %1").arg(process.exitCode())
                            : QStringLiteral("killed");
    *failure = QStringLiteral("%1: %2").arg(command, said.isEmpty() ? how : said);
    return false;
}

bool ZfsTool::mount(const QString &dataset, QString *failure) const {
    return toolprocess::run(m_program, {QStringLiteral("mount"), dataset}, m_waits.start, m_waits.finish, m_waits.slice,
                            nullptr, nullptr, failure);
}

QStringList ZfsTool::sendWords(const QString &snapshot, const QString &base) const {
    if (base.isEmpty()) return {m_program, QStringLiteral("send"), snapshot};
    return {m_program, QStringLiteral("send"), QStringLiteral("-i"), base, snapshot};
}
