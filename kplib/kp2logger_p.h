// KP2LoggerPrivate: the settings, the queue and the writer of one KP2Logger. Internal to kp2logger.cpp.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <atomic>

#include "kp2lfqueue.h"
#include "kp2worker.h"

class KP2LoggerPrivate {
public:
    KP2LoggerPrivate();
    // Stops the writer before the queue it drains goes away.
    ~KP2LoggerPrivate();

    // A copy of the settings the writing code needs, taken under the lock.
    struct Settings {
        QString filePath;
        qint64 maxSize;
        bool output;
        bool immediate;
    };
    Settings settings() const;

    // Appends one line in the calling thread.
    void writeNow(const Settings &s, const QByteArray &line);
    // The writer thread's body: writes queued lines, each to the file the settings name when it is taken, until the
    // queue is empty. A line that cannot be written is dropped, as in immediate mode. Always true.
    bool drain();
    // Renames the file to its first missing backup, or shifts a full set of backups down by one.
    void rotate(const QString &filePath);
    // The path of backup n of filePath: D/B.n.S.
    static QString backupPath(const QString &filePath, int n);

    // Guards the four settings below: they may be changed while other threads write.
    mutable QMutex lock;
    QString filePath;
    qint64 maxSize = 10 * 1024 * 1024;
    bool output = true;
    bool immediate = true;
    // Only rotate() reads and raises it, on whichever thread writes; immediate writers may race to rotate, and
    // the raise is idempotent.
    std::atomic<int> backupCount{10};

    KP2LFQueue<QByteArray> queue;
    // Declared after the queue: it is destroyed first, so no writer thread outlives the queue.
    KP2Worker writer;
};
