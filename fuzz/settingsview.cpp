// Fuzzes the settings view built from an arbitrary settings file: the input is written to a file, read the way
// QivClient::loadSettings reads it (KP2File::loadJson) and turned into values (ClientSettings::of) and the view
// (ClientSettings::view). Checked: intervals at or above their floors and equal to the file's when it holds an
// integer at or above them; credentials trimmed and taken from strings only; the chain settings at or above their
// floors and an identity file always named; the view of the documented shape; the
// view travels unchanged in a reply datagram.
#include <QJsonObject>

#include "clientsettings.h"
#include "fuzzsupport.h"
#include "kp2file.h"
#include "kp2rpcpacket.h"

using fuzz::check;

namespace {

// The interval the file asks for when it is an integer the client takes as it is.
void checkInterval(const QJsonValue &asked, int floor, int got) {
    check(got >= floor);
    if (asked.isDouble() && asked.toDouble() >= floor && asked.toDouble() <= INT_MAX &&
        asked.toDouble() == double(int(asked.toDouble())))
        check(got == int(asked.toDouble()));
}

void checkCredential(const QJsonValue &asked, const QString &got) {
    check(got == (asked.isString() ? asked.toString().trimmed() : QString()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const QString path = fuzz::scratchFile(QStringLiteral("settings.json"));
    fuzz::writeInput(path, data, size);
    QJsonObject file;
    if (!KP2File::loadJson(file, path)) return 0;

    const ClientSettings settings = ClientSettings::of(file);
    const QJsonObject report = file.value(QStringLiteral("report")).toObject();
    const QJsonObject orvane = file.value(QStringLiteral("orvane")).toObject();
    checkInterval(report.value(QStringLiteral("interval")), 60, settings.reportSeconds);
    checkInterval(orvane.value(QStringLiteral("interval")), 5, settings.backupMinutes);
    checkCredential(orvane.value(QStringLiteral("url")), settings.url);
    checkCredential(orvane.value(QStringLiteral("uid")), settings.uid);
    checkCredential(orvane.value(QStringLiteral("pwd")), settings.pwd);
    check(settings.fullEvery >= 1 && settings.keep >= 0 && !settings.identity.isEmpty());

    for (const bool active : {false, true}) {
        const QJsonObject view = settings.view(file, active);
        check(view.value(QStringLiteral("active")) == (active ? 1 : 0));
        check(view.value(QStringLiteral("report")).toObject() == QJsonObject{{"interval", settings.reportSeconds}});
        check(view.value(QStringLiteral("orvane")).toObject() == QJsonObject{{"url", settings.url},
                                                                             {"uid", settings.uid},
                                                                             {"pwd", settings.pwd},
                                                                             {"interval", settings.backupMinutes},
                                                                             {"fullevery", settings.fullEvery},
                                                                             {"keep", settings.keep},
                                                                             {"compress", settings.compress},
                                                                             {"encrypt", settings.encrypt},
                                                                             {"identity", settings.identity}});
        check(view.size() == 3 + (file.contains(QStringLiteral("dmpaths")) ? 1 : 0));
        check(view.value(QStringLiteral("dmpaths")) == file.value(QStringLiteral("dmpaths")));

        QByteArray datagram = KP2RpcPacket(view).toDatagram();
        KP2RpcPacket reply;
        check(reply.fromDatagram(datagram) == KP2RpcPacket::Decoded && QJsonObject(reply) == view);
    }
    return 0;
}
