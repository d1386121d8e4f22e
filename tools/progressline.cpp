#include "progressline.h"

#include <unistd.h>

#include <QElapsedTimer>
#include <cstdio>
#include <memory>

namespace {

const QString RewriteLine = QStringLiteral("\r\033[K");  // back to the line's start, erase to its end

}  // namespace

ProgressLine::ProgressLine(bool terminal, Write write, Clock clock, qint64 intervalMs)
    : m_terminal(terminal), m_write(std::move(write)), m_clock(std::move(clock)), m_intervalMs(intervalMs) {}

ProgressLine ProgressLine::onStandardOutput(qint64 intervalMs) {
    const auto started = std::make_shared<QElapsedTimer>();
    started->start();
    return ProgressLine(
        ::isatty(STDOUT_FILENO) == 1,
        [](const QString &text) {
            std::fputs(text.toLocal8Bit().constData(), stdout);
            std::fflush(stdout);
        },
        [started] { return started->elapsed(); }, intervalMs);
}

void ProgressLine::show(const QString &line) {
    if (m_written && line == m_last) return;
    const qint64 now = m_clock();
    if (m_terminal) {
        m_write(RewriteLine + line);
    } else {
        if (m_written && now - m_lastAt < m_intervalMs) return;
        m_write(line + QLatin1Char('\n'));
    }
    m_written = true;
    m_last = line;
    m_lastAt = now;
}

void ProgressLine::finish(const QString &line) {
    const bool again = m_written && line == m_last;
    if (m_terminal)
        m_write(again ? QStringLiteral("\n") : RewriteLine + line + QLatin1Char('\n'));
    else if (!again)
        m_write(line + QLatin1Char('\n'));
    m_written = true;
    m_last = line;
    m_lastAt = m_clock();
}
