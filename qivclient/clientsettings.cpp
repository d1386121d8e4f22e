#include "clientsettings.h"

#include "kp2utils.h"

ClientSettings ClientSettings::of(const QJsonObject &file) {
    const QJsonObject report = file.value(QStringLiteral("report")).toObject();
    const QJsonObject orvane = file.value(QStringLiteral("orvane")).toObject();
    ClientSettings settings;
    settings.reportSeconds = qMax(60, toInt(report.value(QStringLiteral("interval"))));
    settings.backupMinutes = qMax(5, toInt(orvane.value(QStringLiteral("interval"))));
    // QJsonValue::toString() gives "" for anything that is not a string.
    settings.url = orvane.value(QStringLiteral("url")).toString().trimmed();
    settings.uid = orvane.value(QStringLiteral("uid")).toString().trimmed();
    settings.pwd = orvane.value(QStringLiteral("pwd")).toString().trimmed();
    settings.activeWanted = toBool(file.value(QStringLiteral("active")));
    return settings;
}

QJsonObject ClientSettings::view(const QJsonObject &file, bool active) const {
    QJsonObject view{{"active", active ? 1 : 0},
                     {"report", QJsonObject{{"interval", reportSeconds}}},
                     {"orvane", QJsonObject{{"url", url}, {"uid", uid}, {"pwd", pwd}, {"interval", backupMinutes}}}};
    if (file.contains(QStringLiteral("dmpaths")))
        view.insert(QStringLiteral("dmpaths"), file.value(QStringLiteral("dmpaths")));
    return view;
}
