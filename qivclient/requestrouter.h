// RequestRouter: the service's command router. Each public slot is one RPC command; it follows the slot contract
// (a request holding "help" gets the command's usage object and nothing runs; otherwise the connection's journal is
// begun, "params" checked, the client operation run, and success recorded as code 0).
// Slots run on connection threads, possibly several at once; the router itself holds no state.
#pragma once

#include <QJsonObject>

#include "kp2cabinet.h"
#include "kp2todorouter.h"

class RequestRouter : public KP2TodoRouter {
    Q_OBJECT

public:
    explicit RequestRouter(QObject *parent = nullptr);

    // Hands the start-up configuration to the application's client.
    bool loadConfigure(KP2Journals &journals, const QJsonObject &config) override;

    // A path below the machine root that stays below it: not empty, no leading "/", and no empty, "." or ".."
    // component.
    static bool isSafeRemotePath(const QString &path);

public slots:
    void qivclient_settingload(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    void qivclient_settingsave(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    void qivclient_zfstorage(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    void qivclient_zfsbackup(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    void qivclient_remote_alload(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    void qivclient_remote_loadby(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    void qivclient_remote_remove(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    void qivclient_remote_dwload(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    // "subpath" (as qivclient_remote_remove), "dataset" (a new dataset), optional "staging" (an absolute directory).
    // Queues the restore and answers at once: "results" {"id": n}.
    void qivclient_remote_restore(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    // "results": the backup status (per dataset, pending uploads, recent restores).
    void qivclient_status(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
    // Removes a dataset's older backup chains from the store: "dmpath", "keep" (chains to keep; default the
    // setting), "dryrun" (only tell what would go).
    void qivclient_remote_prune(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);
};
