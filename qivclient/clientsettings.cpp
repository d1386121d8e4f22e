#include "clientsettings.h"

#include "approot.h"
#include "kp2utils.h"

QString ClientSettings::defaultIdentity() {
    return AppRoot::path(AppRoot::AgeIdentityFile);
}

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
    settings.fullEvery = qMax(1, toInt(orvane.value(QStringLiteral("fullevery"))));
    settings.keep = qMax(0, toInt(orvane.value(QStringLiteral("keep"))));
    settings.compress = orvane.value(QStringLiteral("compress")).toString().trimmed();
    settings.encrypt = orvane.value(QStringLiteral("encrypt")).toString().trimmed();
    settings.identity = orvane.value(QStringLiteral("identity")).toString().trimmed();
    if (settings.identity.isEmpty()) settings.identity = defaultIdentity();
    return settings;
}

QJsonObject ClientSettings::view(const QJsonObject &file, bool active) const {
    QJsonObject view{{"active", active ? 1 : 0},
                     {"report", QJsonObject{{"interval", reportSeconds}}},
                     {"orvane", QJsonObject{{"url", url},
                                            {"uid", uid},
                                            {"pwd", pwd},
                                            {"interval", backupMinutes},
                                            {"fullevery", fullEvery},
                                            {"keep", keep},
                                            {"compress", compress},
                                            {"encrypt", encrypt},
                                            {"identity", identity}}}};
    if (file.contains(QStringLiteral("dmpaths")))
        view.insert(QStringLiteral("dmpaths"), file.value(QStringLiteral("dmpaths")));
    return view;
}
