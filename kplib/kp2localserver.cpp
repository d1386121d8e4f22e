#include "kp2localserver.h"

#include <QDir>
#include <QFileInfo>

#include "kp2linux/lnx2socketio.h"
#include "kp2localserver_p.h"
#include "kp2localsocket.h"
#include "kp2rpcpacket.h"

namespace {

constexpr int PENDING_LIMIT = 1024;

}  // namespace

QString KP2LocalServerPrivate::fullPath(const QString &name) {
    if (name.startsWith(QLatin1Char('/'))) return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

KP2LocalServer::KP2LocalServer(QObject *parent) : QLocalServer(parent), d(new KP2LocalServerPrivate) {
    d->limits.readBudget = &d->readBudget;
    setMaxPendingConnections(PENDING_LIMIT);
    // Read and write for user, group and others: every local user may talk to the service.
    setSocketOptions(QLocalServer::WorldAccessOption);
}

KP2LocalServer::~KP2LocalServer() {
    stop();
    // The workers dispatch through this object until they have left the registry.
    d->workers.stopAll();
    delete d;
}

bool KP2LocalServer::start(const QString &name) {
    if (isListening()) return true;
    const QString path = KP2LocalServerPrivate::fullPath(name);
    if (name.contains(QLatin1Char('/'))) QDir().mkpath(QFileInfo(path).absolutePath());
    bool ok = listen(name);
    if (!ok && serverError() == QAbstractSocket::AddressInUseError) {
        // A socket file left by an earlier run that did not end cleanly.
        QLocalServer::removeServer(name);
        ok = listen(name);
    }
    if (!ok) return false;
    // QLocalServer listens with a small fixed backlog; raising it on the listening socket lets bursts of clients
    // wait in the kernel rather than be refused.
    lnx2SetListenBacklog(int(socketDescriptor()), PENDING_LIMIT);
    if (d->limits.trimAfter > 0) lnx2MapLargeBlocks(d->limits.trimAfter);
    d->name = name;
    return true;
}

void KP2LocalServer::stop() {
    if (isListening()) close();
}

QString KP2LocalServer::name() const {
    return d->name;
}

void KP2LocalServer::setDebugging(bool on) {
    d->debugging = on;
}

bool KP2LocalServer::debugging() const {
    return d->debugging;
}

void KP2LocalServer::setRequestLimit(quint32 bytes) {
    d->limits.requestSize = qMin(bytes, KP2RpcPacket::MaxDatagramSize);
}

void KP2LocalServer::setReadMemoryLimit(qint64 bytes) {
    d->readBudget.setLimit(qMax<qint64>(0, bytes));
}

void KP2LocalServer::setConnectionLimit(int connections) {
    d->maxConnections = qMax(1, connections);
}

void KP2LocalServer::setTrimThreshold(qint64 bytes) {
    d->limits.trimAfter = qMax<qint64>(0, bytes);
}

qint64 KP2LocalServer::readMemory() const {
    return d->readBudget.used();
}

void KP2LocalServer::add(KP2TodoRouter *router) {
    d->root.add(router);
}

KP2TodoRouter *KP2LocalServer::root() const {
    return &d->root;
}

bool KP2LocalServer::doCall(QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet) {
    if (d->root.doCall(reply, request, cabinet)) return true;
    if (d->root.doSlot(reply, request, cabinet)) return true;
    if (cabinet)
        cabinet->setErr(9885, QStringLiteral("被调用的方法不存在: ") + request.value(QLatin1String("cmd")).toString());
    return false;
}

void KP2LocalServer::incomingConnection(quintptr socketDescriptor) {
    // Workers are only added here, on this thread, so the count cannot grow between the check and the new worker.
    // A refused peer sees its connection end at once and may try again later.
    if (d->workers.count() >= d->maxConnections) {
        lnx2Close(int(socketDescriptor));
        return;
    }
    // The worker owns itself from here on; the destructor's stopAll() keeps this object alive for as long as the
    // worker may dispatch through it.
    const auto dispatch = [this](QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet) {
        doCall(reply, request, cabinet);
    };
    new KP2LocalSocket(socketDescriptor, dispatch, &d->debugging, &d->workers, d->limits);
}
