#!/usr/bin/env bash
# Makes a real ZFS pool available for the demo and the tests, and takes it away again.
#   scripts/zfspool.sh create DIR    prints "NAME MOUNTPOINT" of a new pool on a sparse file in DIR
#   scripts/zfspool.sh destroy DIR   destroys the pool made in DIR, retrying while zfs-fuse calls it busy (30 s at
#                                    most); the pool's image is deleted only once the pool is gone
# When no ZFS answers and /dev/fuse exists, create starts zfs-fuse and destroy stops it again once no pool made here
# is left. Pools are named qivt_<pid of the creator>_<random>; create also destroys the pools of creators that died
# without cleaning up. Exit status 77 (with the reason on standard error) when no ZFS can be had on this machine.
set -euo pipefail

lock=${QIV_ZFSPOOL_LOCK:-/run/lock/qiv-zfspool.lock}
busy_seconds=${QIV_ZFSPOOL_BUSY_SECONDS:-30}
prefix=qivt_
size=${QIV_ZFSPOOL_SIZE:-2G}

die77() { echo "zfspool: $*" >&2; exit 77; }

# Everything that starts, stops or creates runs under one lock, so that parallel tests agree on whether zfs-fuse
# is running and who started it.
exec 9>"$lock"
flock -w 120 9 || { echo "zfspool: could not take $lock within 120 s" >&2; exit 1; }

# zpool aborts when the daemon goes away under it; the subshell keeps bash's report of that off the terminal.
zfs_answers() { (zpool list -H >/dev/null 2>&1) 2>/dev/null; }

start_zfs_fuse() {
  [ "$(id -u)" -eq 0 ] || die77 "not root: zfs-fuse needs root"
  [ -c /dev/fuse ] || die77 "/dev/fuse does not exist: no FUSE on this machine"
  command -v zfs-fuse >/dev/null || die77 "zfs-fuse is not installed (scripts/install-deps.sh installs it)"
  # A zfs-fuse that is still shutting down holds the socket: wait for it to go. A stale pid file makes zfs-fuse
  # refuse to start.
  for _ in $(seq 100); do pgrep -x zfs-fuse >/dev/null || break; sleep 0.1; done
  mkdir -p /run/qiv-zfspool
  rm -f /run/qiv-zfspool/zfs-fuse.pid
  # The daemon must not inherit the lock, or it would hold it for its lifetime.
  zfs-fuse --pidfile /run/qiv-zfspool/zfs-fuse.pid --no-kstat-mount 9>&- || die77 "zfs-fuse did not start"
  for _ in $(seq 100); do zfs_answers && break; sleep 0.1; done
  zfs_answers || die77 "zfs-fuse started but zpool does not answer"
  touch /run/qiv-zfspool/started-here
}

our_pools() { zpool list -H -o name 2>/dev/null | grep "^${prefix}" || true; }

sweep_orphans() {
  local pool pid
  for pool in $(our_pools); do
    pid=${pool#"$prefix"}
    pid=${pid%%_*}
    if ! kill -0 "$pid" 2>/dev/null; then zpool destroy -f "$pool" >/dev/null 2>&1 || true; fi
  done
}

case "${1:-}" in
create)
  dir=${2:?usage: zfspool.sh create DIR}
  zfs_answers || start_zfs_fuse
  sweep_orphans
  # The creator's pid is the caller's (a test process), so that a pool outlives this script but not its user.
  name="${prefix}${QIV_ZFSPOOL_OWNER:-$PPID}_$(head -c 4 /dev/urandom | od -An -tx1 | tr -d ' \n')"
  mkdir -p "$dir/mnt"
  truncate -s "$size" "$dir/pool.img"
  zpool create -f -m "$dir/mnt" "$name" "$dir/pool.img" >/dev/null 2>&1 ||
    { rm -f "$dir/pool.img"; die77 "zpool create $name failed"; }
  echo "$name" >"$dir/pool.name"
  echo "$name $dir/mnt"
  ;;
destroy)
  dir=${2:?usage: zfspool.sh destroy DIR}
  status=0
  if [ -f "$dir/pool.name" ]; then
    name=$(cat "$dir/pool.name")
    # zfs-fuse answers "pool is busy" for a moment after the last use of a pool (a detached "zfs destroy" among
    # others); a retry a second later succeeds. Busy answers are retried for 30 s at most, other errors not at all.
    deadline=$((SECONDS + busy_seconds))
    until error=$(zpool destroy -f "$name" 2>&1); do
      case $error in *"pool is busy"*) [ "$SECONDS" -lt "$deadline" ] && sleep 1 && continue ;; esac
      echo "$error" >&2
      status=1
      break
    done
    # The image of a pool that is still imported stays: deleting it would leave a FAULTED pool behind. A later
    # destroy of the same DIR tries again.
    if ! zfs_answers || zpool list -H -o name "$name" >/dev/null 2>&1; then
      echo "zfspool: $name may still be imported: $dir/pool.img is kept" >&2
      status=1
    else
      rm -f "$dir/pool.name" "$dir/pool.img"
    fi
  fi
  if [ -f /run/qiv-zfspool/started-here ] && [ -z "$(our_pools)" ]; then
    pid=$(cat /run/qiv-zfspool/zfs-fuse.pid)
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    rm -f /run/qiv-zfspool/started-here /run/qiv-zfspool/zfs-fuse.pid
  fi
  exit "$status"
  ;;
*)
  echo "usage: zfspool.sh create DIR | destroy DIR" >&2
  exit 2
  ;;
esac
