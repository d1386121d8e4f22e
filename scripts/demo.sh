#!/usr/bin/env bash
# The daemon's main job in a self-contained sandbox: installs what is missing, builds, then runs the real daemon with
# every appliance path relocated below ./sandbox (--root) and walks through a whole backup round trip with qivctl:
# settings saved, storage listed, a dataset backed up and uploaded, the remote listings shown, the backup restored by
# the daemon into a new dataset and compared file for file with the original; then a change and a second, incremental
# backup (a chain: the listing names its base), restored with its whole chain and compared too; the backups removed;
# the daemon's status before and after.
# ZFS is real: scripts/zfspool.sh makes a pool on a sparse file (starting zfs-fuse if no ZFS answers) and removes it
# at the end. Only where this machine has no FUSE does the demo fall back to the project's stand-in zfs, and says so.
# The appliance's object-store tool and core agent do not exist here; the sandbox uses the project's test stand-ins
# for them (build/bin/orvclient, build/bin/fake_agent), never the real programs.
# Afterwards the daemon keeps serving until Ctrl-C.
# Usage: scripts/demo.sh [--once]   (--once: stop the daemon after the round trip, for scripted use)
set -euo pipefail
cd "$(dirname "$0")/.."
once=0
[ "${1:-}" = "--once" ] && once=1

./scripts/install-deps.sh
# Configured exactly as scripts/test.sh configures build/, so that its build reuses what this one built; only the
# programs the demo runs: the daemon, qivctl and the stand-ins.
cmake -S . -B build -G Ninja -DQIV_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" --target qivclient qivctl orvclient fake_agent zfs

bin=$PWD/build/bin
sandbox=$PWD/sandbox
[ -f "$sandbox/zfs/pool.name" ] && ./scripts/zfspool.sh destroy "$sandbox/zfs" 2>/dev/null || true
rm -rf "$sandbox"
mkdir -p "$sandbox/ovra/etc/orvane" "$sandbox/ovra/sbin" "$sandbox/proc/self" "$sandbox/run" "$sandbox/fake"
socket=$sandbox/run/qivclient.sock
export QIV_FAKE_ORV_DIR=$sandbox/fake/orvclient
export QIVCTL_SOCKET=$socket
ln -s "$bin/orvclient" "$sandbox/ovra/sbin/orvclient"
mkdir -p "$QIV_FAKE_ORV_DIR"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
ctl() { printf '$ qivctl %s\n' "$*"; "$bin/qivctl" "$@"; }

pids=()
real_zfs=0
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$real_zfs" = 1 ]; then ./scripts/zfspool.sh destroy "$sandbox/zfs" && echo "pool $pool destroyed"; fi
}
trap cleanup EXIT

step "sandbox $sandbox"
cat >"$sandbox/ovra/etc/orvane/config.json" <<JSON
{ "appname": "qivclient demo", "debugging": false, "localagentid": "$socket" }
JSON
echo "start-up configuration: $(cat "$sandbox/ovra/etc/orvane/config.json")"

if reply=$(./scripts/zfspool.sh create "$sandbox/zfs" 2>"$sandbox/zfspool.err"); then
  real_zfs=1
  read -r pool _ <<<"$reply"
  dataset=$pool/data
  zfs create "$dataset"
  data=$(zfs get -H -o value mountpoint "$dataset")
  # Real files: a copy of this project's sources and a few MiB of random bytes.
  cp -r kplib qivclient "$data/"
  head -c 4194304 /dev/urandom >"$data/random.bin"
  # The daemon reads the machine's own mount table, where zfs-fuse mounts its datasets as "fuse.zfs".
  ln -s /proc/self/mounts "$sandbox/proc/self/mounts"
  echo "real ZFS: pool $pool on a sparse file, dataset $dataset at $data holding $(du -sh "$data" | cut -f1)"
  zfs list -r "$pool"
else
  [ "$?" = 77 ] || { cat "$sandbox/zfspool.err" >&2; exit 1; }
  echo "NO REAL ZFS HERE ($(cat "$sandbox/zfspool.err")): falling back to the stand-in zfs (build/bin/zfs)"
  export QIV_FAKE_ZFS_DIR=$sandbox/fake/zfs PATH=$bin:$PATH
  mkdir -p "$QIV_FAKE_ZFS_DIR"
  dataset=tank/data
  echo "tank/data /tank/data zfs rw,xattr 0 0" >"$sandbox/proc/self/mounts"
  "$bin/zfs" create tank/data --size 8388608
  echo "stand-in dataset tank/data with 8 MiB of data; mount table: $sandbox/proc/self/mounts"
fi
snapshots() { zfs list -H -t snapshot -o name 2>/dev/null | grep -c "^$dataset@qiv_" || true; }

step "stand-in core agent (serial number DEMO-SN-0001)"
"$bin/fake_agent" --socket "$sandbox/run/ovra/localsockets/.ls.brimvex.agent." --sn DEMO-SN-0001 >/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -S "$sandbox/run/ovra/localsockets/.ls.brimvex.agent." ] && break; sleep 0.05; done

step "daemon: build/bin/qivclient --root $sandbox"
"$bin/qivclient" --root "$sandbox" &
daemon=$!
pids+=($daemon)
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done

step "0. the status before any backup"
ctl status

step "1. save the settings, both stream stages on (zstd, then age for a key pair made here)"
mkdir -p "$sandbox/ovra/etc/qivclient"
age-keygen -o "$sandbox/ovra/etc/qivclient/age.key" 2>&1
recipient=$(sed -n 's/^# public key: //p' "$sandbox/ovra/etc/qivclient/age.key")
ctl --json '{"cmd":"qivclient_settingsave","params":{"active":true,"report":{"interval":60},
  "orvane":{"url":"http://store.example","uid":"demo","pwd":"secret","interval":5,"fullevery":3,
  "compress":"zstd","encrypt":"'"$recipient"'"},"dmpaths":["'"$dataset"'"]}}'
ctl qivclient_settingload

step "2. the ZFS storage"
ctl qivclient_zfstorage

step "3. back up $dataset and follow its upload until the object is stored"
ctl backup "$dataset" --wait
# With "fullevery" 3 the uploaded snapshot stays on the dataset as the base of the next, incremental backup.
echo "backup snapshots kept on $dataset: $(snapshots)"

step "4. the remote listings"
ctl qivclient_remote_alload
ctl qivclient_remote_loadby "dmpath=$dataset"
subpath=$(sed -n 's/.*"subpath": "\([^"]*\/qiv_[^"]*\)".*/\1/p' <<<"$("$bin/qivctl" qivclient_remote_alload)" | head -n 1)
echo "stored object: ${subpath##*/} (.zst: compressed, .age: encrypted; its first bytes: $(head -c 21 "$QIV_FAKE_ORV_DIR/objects/myorvane/bucket1/DEMO-SN-0001/$subpath" 2>/dev/null))"

restored=${dataset%%/*}/restored
step "5. restore $subpath into the new dataset $restored (fetched, size-checked, zfs receive)"
ctl restore "$subpath" "$restored" --wait
if [ "$real_zfs" = 1 ]; then
  echo "\$ diff -r $data $(zfs get -H -o value mountpoint "$restored")"
  diff -r "$data" "$(zfs get -H -o value mountpoint "$restored")" && echo "identical: every file came back"
fi

step "6. change $dataset and back it up again: an incremental backup from the kept base"
if [ "$real_zfs" = 1 ]; then
  echo "changed on $(date)" >"$data/changed.txt"
  zfs list -H -t snapshot -o name,qiv:uploaded -r "$dataset"
fi
sleep 1  # snapshot names count seconds
ctl backup "$dataset" --wait
ctl qivclient_remote_loadby "dmpath=$dataset"
incremental=$(sed -n 's/.*"subpath": "\([^"]*\/qiv_[0-9]*_from_[0-9]*[^"]*\)".*/\1/p' <<<"$("$bin/qivctl" qivclient_remote_alload)" | head -n 1)
[ "$real_zfs" = 1 ] && zfs list -H -t snapshot -o name,qiv:uploaded -r "$dataset"

restored2=${dataset%%/*}/restored2
step "7. restore the incremental $incremental into $restored2: its whole chain, oldest first"
ctl restore "$incremental" "$restored2" --wait
if [ "$real_zfs" = 1 ]; then
  echo "\$ diff -r $data $(zfs get -H -o value mountpoint "$restored2")"
  diff -r "$data" "$(zfs get -H -o value mountpoint "$restored2")" && echo "identical: the chain gave back every file"
fi
ctl status

step "8. remove the backups, the incremental first (a chain is removed from its newest object back to its full)"
ctl qivclient_remote_remove "subpath=$incremental"
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
