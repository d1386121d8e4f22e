#include "requestrouter.h"

#include <QDir>
#include <QJsonDocument>

#include "appdata.h"
#include "approot.h"
#include "kp2utils.h"
#include "qivclient.h"
#include "restorejob.h"
#include "resultcodes.h"
#include "statusnames.h"

namespace {

// Every command of this router publishes the same usage text: an empty object.
const char *const kUsage = R"(
            {

            }
        )";

// The commands added to the original eight describe themselves.
const char *const kRestoreUsage = R"json({
    "comment": "把一个备份恢复到一个新的数据集. 立即返回恢复编号 (results.id); 进度和结果见 qivclient_status 的 restores",
    "params": {"subpath": "备份路径", "dataset": "新数据集", "staging": "暂存目录(可选)"},
    "params-comment": {
        "subpath": "相对于本机根目录的备份路径, 如 tank/data/qiv_20240501080910 (qivclient_remote_alload 的 subpath)",
        "dataset": "要创建的数据集, 如 tank/restored; 已存在的数据集不会被覆盖",
        "staging": "下载暂存的绝对目录, 需有备份大小的空间; 默认 /ovra/var/qivclient/restore"
    }
})json";
const char *const kStatusUsage = R"json({
    "comment": "备份状态: 每个数据集最近的快照, 尝试与成功时间, 上传时长与大小, 上次成功后的失败次数和最后的错误; 待上传的快照; 最近的恢复及其状态"
})json";

const char *const kPruneUsage = R"json({
    "comment": "删除一个数据集较旧的备份链, 只保留最新的 keep 条链; 每条链从最新的对象删到全量备份, 中途中断也只留下可恢复的链; 本机保留的增量基准所在的链永不删除",
    "params": {"dmpath": "数据集", "keep": "保留的链数(可选)", "dryrun": "只列出将删除的对象(可选)"},
    "params-comment": {
        "dmpath": "数据集路径, 如 tank/data",
        "keep": "大于 0 的整数; 默认取设置 orvane.keep, 为 0 时拒绝 (9996)",
        "dryrun": "真值时不删除, 结果中的 removed 改为 wouldremove"
    },
    "results": {"removed": "已删除的对象 (相对于本机根目录)", "kept": "保留的对象"}
})json";

// The first step of the slot contract: a help request replaces the reply by the usage object and ends the command.
bool answeredHelp(QJsonObject *retObject, const QJsonObject &cmdObject, const char *usage = kUsage) {
    if (!cmdObject.contains(QStringLiteral("help"))) return false;
    *retObject = QJsonDocument::fromJson(usage).object();
    return true;
}

QJsonObject params(const QJsonObject &cmdObject) {
    return cmdObject.value(QStringLiteral("params")).toObject();
}

// A required text parameter, trimmed; records 9995 and gives an empty text when it is missing or blank.
QString required(const QJsonObject &cmdObject, const QString &name, KP2Cabinet *envObject) {
    const QString value = params(cmdObject).value(name).toString().trimmed();
    if (value.isEmpty()) envObject->setErr(ResultMissingParameter, QStringLiteral("缺少参数: ") + name);
    return value;
}

// A remote path parameter: required, and refused with 9996 when it would leave the machine's own folder.
QString requiredRemotePath(const QJsonObject &cmdObject, const QString &name, KP2Cabinet *envObject) {
    const QString value = required(cmdObject, name, envObject);
    if (value.isEmpty()) return value;
    if (!RequestRouter::isSafeRemotePath(value)) {
        envObject->setErr(ResultInvalidParameter, QStringLiteral("参数无效: ") + name);
        return QString();
    }
    return value;
}

QivClient *client() {
    return IAppData()->client();
}

}  // namespace

RequestRouter::RequestRouter(QObject *parent) : KP2TodoRouter(parent) {}

bool RequestRouter::loadConfigure(KP2Journals &journals, const QJsonObject &config) {
    return client()->loadConfigure(journals, config);
}

bool RequestRouter::isSafeRemotePath(const QString &path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/'))) return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) return false;
    }
    return true;
}

void RequestRouter::qivclient_settingload(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject)) return;
    envObject->begin();
    QJsonObject view;
    if (client()->settingsLoad(*envObject, view)) {
        retObject->insert(QStringLiteral("results"), view);
        envObject->setErr(ResultOk, QString());
    }
}

void RequestRouter::qivclient_settingsave(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject)) return;
    envObject->begin();
    if (client()->settingsSave(*envObject, params(cmdObject))) envObject->setErr(ResultOk, QString());
}

void RequestRouter::qivclient_zfstorage(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject)) return;
    envObject->begin();
    QJsonObject map;
    if (client()->storageLoad(*envObject, map)) {
        retObject->insert(QStringLiteral("results"), map);
        envObject->setErr(ResultOk, QString());
    }
}

void RequestRouter::qivclient_zfsbackup(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject)) return;
    envObject->begin();
    const QString dmpath = required(cmdObject, QStringLiteral("dmpath"), envObject);
    if (dmpath.isEmpty()) return;
    // No dataset name begins with "-"; such a name would reach zfs as an option instead of a dataset.
    if (dmpath.startsWith(QLatin1Char('-'))) {
        envObject->setErr(ResultInvalidParameter, QStringLiteral("参数无效: dmpath"));
        return;
    }
    QString snapshot;
    if (!client()->zfsbackup(*envObject, dmpath, &snapshot)) return;
    // The snapshot's name lets a caller follow its upload in the status ("uploads", then the dataset's record).
    retObject->insert(QStringLiteral("results"), QJsonObject{{statusnames::Snapshot, snapshot}});
    envObject->setErr(ResultOk, QString());
}

void RequestRouter::qivclient_remote_alload(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject)) return;
    envObject->begin();
    QJsonObject result;
    if (client()->remoteAlload(*envObject, result)) {
        retObject->insert(QStringLiteral("results"), result);
        envObject->setErr(ResultOk, QString());
    }
}

void RequestRouter::qivclient_remote_loadby(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject)) return;
    envObject->begin();
    const QString dmpath = requiredRemotePath(cmdObject, QStringLiteral("dmpath"), envObject);
    if (dmpath.isEmpty()) return;
    QJsonObject result;
    if (client()->remoteLoadby(*envObject, result, dmpath)) {
        retObject->insert(QStringLiteral("results"), result);
        envObject->setErr(ResultOk, QString());
    }
}

void RequestRouter::qivclient_remote_remove(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject)) return;
    envObject->begin();
    const QString subpath = requiredRemotePath(cmdObject, QStringLiteral("subpath"), envObject);
    if (subpath.isEmpty()) return;
    if (client()->remoteRemove(*envObject, subpath)) envObject->setErr(ResultOk, QString());
}

void RequestRouter::qivclient_remote_dwload(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    // Registered so that callers find it, but it starts nothing: no caller has a settled way to name a download's
    // target yet. The reply is whatever the connection writes for every request.
    Q_UNUSED(retObject);
    Q_UNUSED(cmdObject);
    Q_UNUSED(envObject);
}

void RequestRouter::qivclient_remote_restore(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject, kRestoreUsage)) return;
    envObject->begin();
    const QString subpath = requiredRemotePath(cmdObject, QStringLiteral("subpath"), envObject);
    if (subpath.isEmpty()) return;
    const QString dataset = required(cmdObject, QStringLiteral("dataset"), envObject);
    if (dataset.isEmpty()) return;
    if (!RestoreJob::isValidDatasetName(dataset)) {
        envObject->setErr(ResultInvalidParameter, QStringLiteral("参数无效: dataset"));
        return;
    }
    // A staging directory relative to the daemon's working directory would be a surprise; only absolute ones.
    QString staging = params(cmdObject).value(QStringLiteral("staging")).toString().trimmed();
    if (staging.isEmpty()) {
        staging = AppRoot::path(AppRoot::RestoreStagingDir);
    } else if (!QDir::isAbsolutePath(staging)) {
        envObject->setErr(ResultInvalidParameter, QStringLiteral("参数无效: staging"));
        return;
    }
    int id = 0;
    if (!client()->remoteRestore(*envObject, subpath, dataset, QDir::cleanPath(staging), &id)) return;
    retObject->insert(QStringLiteral("results"), QJsonObject{{"id", id}});
    envObject->setErr(ResultOk, QString());
}

void RequestRouter::qivclient_status(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject, kStatusUsage)) return;
    envObject->begin();
    QJsonObject status;
    if (client()->statusLoad(*envObject, status)) {
        retObject->insert(QStringLiteral("results"), status);
        envObject->setErr(ResultOk, QString());
    }
}

void RequestRouter::qivclient_remote_prune(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
    if (answeredHelp(retObject, cmdObject, kPruneUsage)) return;
    envObject->begin();
    const QString dmpath = requiredRemotePath(cmdObject, QStringLiteral("dmpath"), envObject);
    if (dmpath.isEmpty()) return;
    // Keeping no chain would mean removing nothing, so it is refused rather than taken for "keep everything".
    const QJsonValue asked = params(cmdObject).value(QStringLiteral("keep"));
    const int keep = asked.isUndefined() || asked.isNull() ? client()->settings().keep : toInt(asked);
    if (keep <= 0) {
        envObject->setErr(ResultInvalidParameter, QStringLiteral("参数无效: keep"));
        return;
    }
    const bool dryRun = toBool(params(cmdObject).value(QStringLiteral("dryrun")));
    QJsonObject result;
    if (!client()->remotePrune(*envObject, dmpath, keep, dryRun, result)) return;
    retObject->insert(QStringLiteral("results"), result);
    envObject->setErr(ResultOk, QString());
}
