#include "kp2todorouter.h"

#include <QJsonDocument>
#include <QMetaMethod>
#include <QMetaObject>

#include "kp2utils.h"

const char KP2TodoRouter::SLOT_SIGNATURE[] = "(QJsonObject*,QJsonObject,KP2Cabinet*)";

namespace {

const char LS_PREFIX[] = "__LS__";
// What the signature of every method listed as a command ends with. Without the opening parenthesis, so that a method
// with further leading parameters is listed too (with the fallback description, as it cannot answer a help request).
const char SLOT_SUFFIX[] = "QJsonObject*,QJsonObject,KP2Cabinet*)";

// The usage template of help_interfaces itself, kept as the JSON text the listing has always shown.
const char HELP_INTERFACES_USAGE[] = R"json({
    "cmd": "help_interfaces",
    "comment": "获取接口的使用说明",
    "params": {"cmd": "接口名(可选)"},
    "params-comment": {"cmd": "可选的接口名, 不指定时显示所有接口的使用说明"}
})json";

// The command name of a request as slot-name bytes: "cmd" trimmed of surrounding blanks (a non-string "cmd" reads as
// empty). A name that could not be a slot name (anything but ASCII letters, digits and '_') sets *nameable to false:
// such text must never reach the signature parser of the meta-object system, which would take a "(...)" inside a
// command for a parameter list of its own.
QString commandName(const QJsonObject &request, bool *nameable) {
    const QString cmd = request.value(QLatin1String("cmd")).toString().trimmed();
    *nameable = true;
    for (const QChar c : cmd) {
        const ushort u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_')) {
            *nameable = false;
            break;
        }
    }
    return cmd;
}

// Calls the slot at index on router directly on this thread; false when the method cannot take the three slot
// arguments.
bool invokeSlot(QObject *router, int index, QJsonObject *reply, const QJsonObject &request, KP2Cabinet *cabinet) {
    const QMetaMethod method = router->metaObject()->method(index);
    if (method.parameterCount() != 3) return false;
    return method.invoke(router, Qt::DirectConnection, Q_ARG(QJsonObject *, reply), Q_ARG(QJsonObject, request),
                         Q_ARG(KP2Cabinet *, cabinet));
}

}  // namespace

KP2TodoRouter::KP2TodoRouter(QObject *parent) : QObject(parent) {
    // Queued invocations and the type checks of QMetaObject::invokeMethod know the cabinet by this name.
    qRegisterMetaType<KP2Cabinet *>("KP2Cabinet*");
}

KP2TodoRouter::~KP2TodoRouter() = default;

void KP2TodoRouter::add(KP2TodoRouter *child) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (child && !m_children.contains(child)) m_children.append(child);
}

void KP2TodoRouter::del(KP2TodoRouter *child) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_children.removeOne(child);
}

QList<KP2TodoRouter *> KP2TodoRouter::list() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_children;
}

QString KP2TodoRouter::routerId() const {
    return m_id;
}

bool KP2TodoRouter::loadConfigure(KP2Journals &journal, const QJsonObject &config) {
    Q_UNUSED(journal)
    Q_UNUSED(config)
    return true;
}

bool KP2TodoRouter::doSlot(QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet) {
    return dispatch(QByteArray(), false, reply, request, cabinet);
}

bool KP2TodoRouter::doCall(QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet) {
    return dispatch(QByteArray(LS_PREFIX), true, reply, request, cabinet);
}

bool KP2TodoRouter::dispatch(const QByteArray &prefix, bool viaCall, QJsonObject &reply, const QJsonObject &request,
                             KP2Cabinet *cabinet) {
    bool nameable = false;
    const QString cmd = commandName(request, &nameable);
    if (cmd.isEmpty()) return false;
    if (nameable) {
        const auto slot = slotIndexes().constFind(prefix + cmd.toLatin1());
        if (slot != slotIndexes().constEnd()) {
            // The slot reports through the cabinet; having found it is all that dispatch answers for.
            invokeSlot(this, *slot, &reply, request, cabinet);
            return true;
        }
        // Depth first, in insertion order, over a copy so that no lock is held while children run their slots.
        const QList<KP2TodoRouter *> children = list();
        for (KP2TodoRouter *child : children) {
            if (viaCall ? child->doCall(reply, request, cabinet) : child->doSlot(reply, request, cabinet)) return true;
        }
    }
    reply.insert(QLatin1String("err"), 9885);
    return false;
}

const QHash<QByteArray, int> &KP2TodoRouter::slotIndexes() const {
    std::call_once(m_slotsOnce, [this] {
        // In index order, so that a slot that a derived class declares again (a higher index) wins, as it does for
        // QMetaObject::indexOfMethod, which searches the most derived class first.
        const QMetaObject *meta = metaObject();
        for (int i = 0; i < meta->methodCount(); ++i) {
            const QByteArray signature = meta->method(i).methodSignature();
            if (signature.endsWith(SLOT_SIGNATURE))
                m_slots.insert(signature.left(signature.size() - int(qstrlen(SLOT_SIGNATURE))), i);
        }
    });
    return m_slots;
}

void KP2TodoRouter::inject(QJsonObject *reply, int err, const QString &errmsg) const {
    if (!reply) return;
    reply->insert(QLatin1String("err"), err);
    if (!errmsg.isEmpty()) reply->insert(QLatin1String("errmsg"), errmsg);
}

void KP2TodoRouter::help_interfaces(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    // The listing always covers the whole subtree; neither "help" nor "params" narrows it.
    Q_UNUSED(cmdObject)
    QJsonObject listing;
    listing.insert(QLatin1String("help_interfaces"), QJsonDocument::fromJson(HELP_INTERFACES_USAGE).object());
    allInterfaces(listing);
    if (retObject) retObject->insert(QLatin1String("results"), listing);
    if (envObject) envObject->setErr(0, QString());
}

void KP2TodoRouter::allInterfaces(QJsonObject &listing) {
    const QJsonObject fallback{{QLatin1String("comment"), QStringLiteral("<<此接口没有提供使用说明>>")}};
    const QJsonObject helpRequest{{QLatin1String("help"), 1}};
    KP2Cabinet scratch;  // shared by every slot asked here; nothing reads it afterwards

    const QMetaObject *meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        const QByteArray name = method.name();
        const QString key = QString::fromLatin1(name);
        if (listing.contains(key) || name.startsWith('_') || !method.methodSignature().endsWith(SLOT_SUFFIX)) continue;

        // Asked by name with the three slot arguments, as a caller would; a method whose signature merely ends with
        // the slot parameters answers nothing and gets the fallback description.
        QJsonObject usage;
        const int index = meta->indexOfMethod(QByteArray(name + SLOT_SIGNATURE).constData());
        if (index >= 0) invokeSlot(this, index, &usage, helpRequest, &scratch);

        if (toBool(usage.value(QLatin1String("unpublished")))) continue;
        if (usage.contains(QLatin1String("comment"))) {
            if (!usage.contains(QLatin1String("params")))
                usage.insert(QLatin1String("params-comment"), QStringLiteral("本接口没有参数"));
            if (usage.contains(QLatin1String("token"))) {
                usage.insert(QLatin1String("token"), QStringLiteral("登录成功时返回的token"));
                usage.insert(QLatin1String("token-comment"), QStringLiteral("登录成功时返回的token"));
            } else {
                usage.insert(QLatin1String("token-comment"), QStringLiteral("允许不传token，但已登录时建议传入"));
            }
        } else {
            usage = fallback;
        }
        usage.insert(QLatin1String("cmd"), key);
        listing.insert(key, usage);
    }

    const QList<KP2TodoRouter *> children = list();
    for (KP2TodoRouter *child : children) child->allInterfaces(listing);
}

void KP2TodoRouter::allInterfaces(QStringList &names) {
    const QMetaObject *meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (!method.name().startsWith('_') && method.methodSignature().endsWith(SLOT_SUFFIX))
            names.append(QString::fromLatin1(method.name()));
    }
    std::lock_guard<std::mutex> guard(m_lock);
    for (KP2TodoRouter *child : qAsConst(m_children)) child->allInterfaces(names);
}
