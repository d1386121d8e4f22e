// KP2Journals: the outcome of one operation (result code, message, elapsed time and ordered step entries) and the
// single way the framework reports success or failure to an RPC caller. It knows nothing of RPC: it only fills the
// JSON object it is given.
// Not thread-safe: one thread at a time uses a journal (its connection worker, the scheduler, or start-up code).
// Journals are passed by reference and never copied.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class KP2JournalsPrivate;

class KP2Journals {
public:
    KP2Journals();
    virtual ~KP2Journals();

    int err() const;
    QString errmsg() const;
    // Milliseconds accumulated by begin/step/end/add/toRetObject; the current lap is not included.
    qint64 times() const;
    QJsonArray segments() const;

    void setErr(int code, const QString &msg);
    void setErrmsg(const QString &msg);
    void setSegments(const QJsonArray &a);
    // Sets code, message and steps and clears the total; the lap timer keeps running.
    void reset(int code, const QString &msg, const QJsonArray &a);

    // Clears the total and restarts the lap timer; code, message and steps stay.
    void begin();
    // Closes the current lap: returns its milliseconds and adds them to the total.
    qint64 step();
    // Like step(), but returns the new total.
    qint64 end();

    void add(const QJsonObject &o);
    // Appends the array as one nested element.
    void add(const QJsonArray &a);
    // Closes a lap and appends a step entry {"place","action","times","success"[,"msg"]}; returns the entry.
    // An empty msg falls back to the journal's own errmsg; when both are empty "msg" is left out.
    QJsonObject add(const QString &place, const QString &action, bool success, const QString &msg = QString());

    // The outcome as a standalone object; the current lap is not closed.
    QJsonObject toObject() const;
    // Closes a lap and writes "err" (and "errmsg", and with detailed "elapsed" and "journals") into result.
    // Other keys of result are left alone. A null result is ignored.
    void toRetObject(QJsonObject *result, bool detailed) const;
    void toRetObject(QJsonObject &result, bool detailed) const;

private:
    KP2JournalsPrivate *d;
    Q_DISABLE_COPY(KP2Journals)
};
