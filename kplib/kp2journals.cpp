#include "kp2journals.h"

#include <QElapsedTimer>

class KP2JournalsPrivate {
public:
    int err = 9999;
    QString errmsg;
    QJsonArray segments;
    qint64 total = 0;
    QElapsedTimer timer;

    // Codes whose message goes out with the result: any failure but 10000, and only a non-empty message.
    bool writesErrmsg() const { return err != 0 && err != 10000 && !errmsg.isEmpty(); }
};

KP2Journals::KP2Journals() : d(new KP2JournalsPrivate) {
    d->timer.start();
}

KP2Journals::~KP2Journals() {
    delete d;
}

int KP2Journals::err() const {
    return d->err;
}

QString KP2Journals::errmsg() const {
    return d->errmsg;
}

qint64 KP2Journals::times() const {
    return d->total;
}

QJsonArray KP2Journals::segments() const {
    return d->segments;
}

void KP2Journals::setErr(int code, const QString &msg) {
    d->err = code;
    d->errmsg = msg;
}

void KP2Journals::setErrmsg(const QString &msg) {
    d->errmsg = msg;
}

void KP2Journals::setSegments(const QJsonArray &a) {
    d->segments = a;
}

void KP2Journals::reset(int code, const QString &msg, const QJsonArray &a) {
    d->err = code;
    d->errmsg = msg;
    d->segments = a;
    d->total = 0;
}

void KP2Journals::begin() {
    d->total = 0;
    d->timer.restart();
}

qint64 KP2Journals::step() {
    // restart() returns the milliseconds since the last start and starts the next lap in one go.
    const qint64 lap = d->timer.restart();
    d->total += lap;
    return lap;
}

qint64 KP2Journals::end() {
    step();
    return d->total;
}

void KP2Journals::add(const QJsonObject &o) {
    d->segments.append(o);
}

void KP2Journals::add(const QJsonArray &a) {
    // QJsonArray::append(QJsonValue) keeps the array as one element; operator+= would splice it.
    d->segments.append(QJsonValue(a));
}

QJsonObject KP2Journals::add(const QString &place, const QString &action, bool success, const QString &msg) {
    const qint64 lap = step();
    QJsonObject entry{{"place", place}, {"action", action}, {"times", lap}, {"success", success}};
    if (!msg.isEmpty())
        entry.insert("msg", msg);
    else if (!d->errmsg.isEmpty())
        entry.insert("msg", d->errmsg);
    d->segments.append(entry);
    return entry;
}

QJsonObject KP2Journals::toObject() const {
    QJsonObject o{{"err", d->err}, {"elapsed", d->total}};
    if (d->writesErrmsg()) o.insert("errmsg", d->errmsg);
    if (!d->segments.isEmpty()) o.insert("journals", d->segments);
    return o;
}

void KP2Journals::toRetObject(QJsonObject *result, bool detailed) const {
    if (result) toRetObject(*result, detailed);
}

void KP2Journals::toRetObject(QJsonObject &result, bool detailed) const {
    // Writing the outcome closes the running lap, although the call is const: the private state is not part of the
    // journal's constness.
    d->total += d->timer.restart();
    result.insert("err", d->err);
    if (d->writesErrmsg()) result.insert("errmsg", d->errmsg);
    if (!detailed) return;
    result.insert("elapsed", d->total);
    if (!d->segments.isEmpty()) result.insert("journals", d->segments);
}
