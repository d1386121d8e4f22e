// AppRoot: the one place that turns the appliance's fixed absolute paths into the paths this process uses.
// `--root DIR` relocates every appliance path below DIR so that tests and the demo run the real binary without
// touching "/"; without it (or with "/") every path is exactly the appliance's own.
// setRoot() is called once on the main thread before any other thread starts; afterwards all calls are read-only
// and safe from any thread.
#pragma once

#include <QString>

class AppRoot {
public:
    // The appliance's own paths, as messages and the documentation name them.
    static constexpr const char *ConfigDir = "/ovra/etc/orvane";
    static constexpr const char *SettingsFile = "/ovra/etc/qivclient/settings.json";
    static constexpr const char *BackupTimeFile = "/ovra/etc/qivclient/backuptime";
    static constexpr const char *StoreTool = "/ovra/sbin/orvclient";
    static constexpr const char *AgentSocket = "/run/ovra/localsockets/.ls.brimvex.agent.";
    static constexpr const char *MountTable = "/proc/self/mounts";
    static constexpr const char *StatusFile = "/ovra/etc/qivclient/status.json";
    static constexpr const char *RestoreStagingDir = "/ovra/var/qivclient/restore";
    static constexpr const char *AgeIdentityFile = "/ovra/etc/qivclient/age.key";

    // Sets the root; an empty text or "/" means the real root. A relative DIR is made absolute.
    static void setRoot(const QString &dir);
    // The root without a trailing slash; empty for the real root.
    static QString root();
    // The path this process uses for an absolute appliance path.
    static QString path(const QString &appliancePath);
};
