#include "kp2cabinet.h"

#include <mutex>

class KP2CabinetPrivate {
public:
    bool local = false;
    mutable std::mutex valueLock;
    QJsonObject values;  // guarded by valueLock
    mutable std::mutex keyedLock;
    QHash<QString, QJsonValue> keyed;  // guarded by keyedLock
    QString token;
};

KP2Cabinet::KP2Cabinet() : d(new KP2CabinetPrivate) {}

KP2Cabinet::~KP2Cabinet() {
    delete d;
}

bool KP2Cabinet::isLocal() const {
    return d->local;
}

void KP2Cabinet::setLocal(bool local) {
    d->local = local;
}

QString KP2Cabinet::token() const {
    return d->token;
}

void KP2Cabinet::setToken(const QString &token) {
    d->token = token;
}

void KP2Cabinet::insert(const QString &key, const QJsonValue &value) {
    std::lock_guard<std::mutex> guard(d->valueLock);
    d->values.insert(key, value);
}

QJsonValue KP2Cabinet::value(const QString &key) const {
    std::lock_guard<std::mutex> guard(d->valueLock);
    return d->values.value(key);
}

QJsonObject KP2Cabinet::object() const {
    std::lock_guard<std::mutex> guard(d->valueLock);
    return d->values;
}

void KP2Cabinet::set(const QString &key, const QJsonValue &value) {
    std::lock_guard<std::mutex> guard(d->keyedLock);
    d->keyed.insert(key, value);
}

bool KP2Cabinet::get(const QString &key, QJsonValue &out) const {
    std::lock_guard<std::mutex> guard(d->keyedLock);
    const auto it = d->keyed.constFind(key);
    if (it == d->keyed.constEnd()) return false;
    out = it.value();
    return true;
}

QString KP2Cabinet::getString(const QString &key) const {
    std::lock_guard<std::mutex> guard(d->keyedLock);
    // QJsonValue::toString() gives empty text for anything but a string, and for the undefined value of a miss.
    return d->keyed.value(key).toString();
}

bool KP2Cabinet::contains(const QString &key) const {
    std::lock_guard<std::mutex> guard(d->keyedLock);
    return d->keyed.contains(key);
}

void KP2Cabinet::remove(const QString &key) {
    std::lock_guard<std::mutex> guard(d->keyedLock);
    d->keyed.remove(key);
}

QStringList KP2Cabinet::keys() const {
    std::lock_guard<std::mutex> guard(d->keyedLock);
    return d->keyed.keys();
}

void KP2Cabinet::clear() {
    std::lock_guard<std::mutex> guard(d->keyedLock);
    d->keyed.clear();
}
