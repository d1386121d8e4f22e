// KP2LoggerPrivate: the settings, the queue and the writer of one KP2Logger. Internal to kp2logger.cpp.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>

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

    // Appends one line in the calling thread: the size check, the rotation and the write under fileLock.
    void writeNow(const Settings &s, const QByteArray &line);
    // The writer thread's body: writes queued lines, each to the file the settings name when it is taken, until the
    // queue is empty (true). A line that cannot be written is dropped and ends the drain (false); the lines behind it
    // stay queued for the next drain.
    bool drain();
    // Renames the file to its first missing backup, or shifts a full set of backups down by one.
    // REQUIRES: fileLock held.
    void rotate(const QString &filePath);
    // The path of backup n of filePath: D/B.n.S.
    static QString backupPath(const QString &filePath, int n);

    // Guards the four settings below: they may be changed while other threads write.
    mutable QMutex lock;
    QString filePath;
    qint64 maxSize = 10 * 1024 * 1024;
    bool output = true;
    bool immediate = true;
    // Serialises the use of the log file and its backups: each write's size check, rotation and append is one
    // step. Never held while taking lock.
    QMutex fileLock;
    // Guarded by fileLock.
    int backupCount = 10;

    KP2LFQueue<QByteArray> queue;
    // Declared after the queue: it is destroyed first, so no writer thread outlives the queue.
    KP2Worker writer;
};
