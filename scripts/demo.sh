#!/usr/bin/env bash
# The daemon's main job in a self-contained sandbox: installs what is missing, builds, then runs the real daemon with
# every appliance path relocated below ./sandbox (--root) and walks through a whole backup round trip with qivctl:
# settings saved, storage listed, a dataset backed up and uploaded, the remote listings shown, one backup removed.
# The appliance's zfs, object-store tool and core agent do not exist here; the sandbox uses the project's test
# stand-ins for them (build/bin/zfs, build/bin/orvclient, build/bin/fake_agent), never the real programs.
# Afterwards the daemon keeps serving until Ctrl-C.
# Usage: scripts/demo.sh [--once]   (--once: stop the daemon after the round trip, for scripted use)
set -euo pipefail
cd "$(dirname "$0")/.."
once=0
[ "${1:-}" = "--once" ] && once=1

./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"

bin=$PWD/build/bin
sandbox=$PWD/sandbox
rm -rf "$sandbox"
mkdir -p "$sandbox/ovra/etc/orvane" "$sandbox/ovra/sbin" "$sandbox/proc/self" "$sandbox/run" "$sandbox/fake"
socket=$sandbox/run/qivclient.sock
export QIV_FAKE_ZFS_DIR=$sandbox/fake/zfs QIV_FAKE_ORV_DIR=$sandbox/fake/orvclient
export PATH=$bin:$PATH   # the stand-in zfs is found first
export QIVCTL_SOCKET=$socket
ln -s "$bin/orvclient" "$sandbox/ovra/sbin/orvclient"
mkdir -p "$QIV_FAKE_ZFS_DIR" "$QIV_FAKE_ORV_DIR"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
ctl() { printf '$ qivctl %s\n' "$*"; "$bin/qivctl" "$@"; }

pids=()
cleanup() { for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

step "sandbox $sandbox"
cat >"$sandbox/ovra/etc/orvane/config.json" <<JSON
{ "appname": "qivclient demo", "debugging": false, "localagentid": "$socket" }
JSON
echo "start-up configuration: $(cat "$sandbox/ovra/etc/orvane/config.json")"
echo "tank/data /tank/data zfs rw,xattr 0 0" >"$sandbox/proc/self/mounts"
echo "/dev/vda1 / ext4 rw 0 0" >>"$sandbox/proc/self/mounts"
"$bin/zfs" create tank/data --size 8388608
echo "stand-in dataset tank/data with 8 MiB of data; mount table: $sandbox/proc/self/mounts"

step "stand-in core agent (serial number DEMO-SN-0001)"
"$bin/fake_agent" --socket "$sandbox/run/ovra/localsockets/.ls.brimvex.agent." --sn DEMO-SN-0001 >/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -S "$sandbox/run/ovra/localsockets/.ls.brimvex.agent." ] && break; sleep 0.05; done

step "daemon: build/bin/qivclient --root $sandbox"
"$bin/qivclient" --root "$sandbox" &
daemon=$!
pids+=($daemon)
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done

step "1. save the settings"
ctl --json '{"cmd":"qivclient_settingsave","params":{"active":true,"report":{"interval":60},
  "orvane":{"url":"http://store.example","uid":"demo","pwd":"secret","interval":5},"dmpaths":["tank/data"]}}'
ctl qivclient_settingload

step "2. the ZFS storage"
ctl qivclient_zfstorage

step "3. back up tank/data (snapshot now, upload in the background)"
ctl qivclient_zfsbackup dmpath=tank/data
echo "waiting for the upload to finish ..."
for _ in $(seq 600); do
  out=$("$bin/qivctl" qivclient_remote_loadby dmpath=tank/data 2>/dev/null || true)
  inbackup=$("$bin/qivctl" qivclient_settingload 2>/dev/null | grep -c '"inbackup": 1' || true)
  if grep -q '"file": "qiv_' <<<"$out" && [ "$inbackup" = 0 ]; then break; fi
  sleep 0.1
done
echo "upload finished; snapshots left on the stand-in zfs: $("$bin/zfs" list | grep -c @ || true)"

step "4. the remote listings"
ctl qivclient_remote_alload
ctl qivclient_remote_loadby dmpath=tank/data
subpath=$(sed -n 's/.*"subpath": "\(tank\/data\/qiv_[0-9]*\)".*/\1/p' <<<"$("$bin/qivctl" qivclient_remote_alload)" | head -n 1)

step "5. remove the backup $subpath"
ctl qivclient_remote_remove "subpath=$subpath"
ctl qivclient_remote_alload

if [ "$once" = 1 ]; then
  step "round trip done; stopping the daemon"
  kill -TERM "$daemon"
  wait "$daemon" && echo "daemon exited with status 0"
  exit 0
fi
step "round trip done; the daemon keeps serving on $socket (try: QIVCTL_SOCKET=$socket build/bin/qivctl help_interfaces). Ctrl-C stops it."
trap 'kill -INT $daemon 2>/dev/null || true' INT
wait "$daemon" || true
