// ProgressLine: the progress of a long command drawn the way people expect. On a terminal it is one line, rewritten
// in place ("\r", erase to the end of the line) whenever it changes. Into a pipe or a file it is a plain line now and
// then: the first at once, then one whenever the interval has passed since the last one printed and the text
// changed, and the final one at the end, so that a log holds a few lines and not one per look at the daemon.
// The clock and the writer are injected, so the throttling runs in tests without waiting. Not thread-safe.
#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>

class ProgressLine {
public:
    using Write = std::function<void(const QString &text)>;
    using Clock = std::function<qint64()>;  // milliseconds from any fixed point, never going back
    static constexpr qint64 DefaultIntervalMs = 5000;

    ProgressLine(bool terminal, Write write, Clock clock, qint64 intervalMs = DefaultIntervalMs);
    // Onto standard output: a terminal when it is one, the monotonic clock, flushed after each write.
    static ProgressLine onStandardOutput(qint64 intervalMs = DefaultIntervalMs);

    // The progress now; drawn or left out by the rule above.
    void show(const QString &line);
    // The last line: written unless it is the one written last, and ended with a line feed either way.
    void finish(const QString &line);

private:
    bool m_terminal;
    Write m_write;
    Clock m_clock;
    qint64 m_intervalMs;
    bool m_written = false;  // some line was written
    QString m_last;          // the line written last
    qint64 m_lastAt = 0;     // when, by m_clock
};
