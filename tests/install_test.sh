#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what an appliance gets: the daemon in sbin and the client in
# bin, service and path units that systemd-analyze accepts with ExecStart naming the installed daemon, and an example
# start-up configuration on which the installed daemon serves the installed client.
# Usage: install_test.sh BUILD_DIR. Exits 77 (reported as skipped) when systemd-analyze is missing.
set -euo pipefail
build=$1

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze not found; scripts/install-deps.sh installs it (Debian package systemd)"
  exit 77
fi

tmp=$(mktemp -d)
daemon=
cleanup() {
  if [ -n "$daemon" ]; then kill -TERM "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
[ -x "$prefix/sbin/qivclient" ] || fail "no executable $prefix/sbin/qivclient"
[ -x "$prefix/bin/qivctl" ] || fail "no executable $prefix/bin/qivctl"

units=$prefix/lib/systemd/system
exec_start="ExecStart=$prefix/sbin/qivclient --cfg /ovra/etc/orvane/config.json"
grep -qxF "$exec_start" "$units/qivclient.service" || fail "$units/qivclient.service lacks the line $exec_start"
# verify prints its findings on stderr and fails on errors; warnings are findings too.
findings=$(systemd-analyze verify --man=no "$units/qivclient.service" "$units/qivclient.path" 2>&1) ||
  fail "systemd-analyze verify: $findings"
[ -z "$findings" ] || fail "systemd-analyze verify warns: $findings"

# The example as an appliance would use it, with only the socket moved into the temporary directory.
example=$prefix/share/doc/qivclient/config.json.example
[ -f "$example" ] || fail "no example configuration $example"
socket=$tmp/qivclient.sock
sed "s|\"/run/ovra/localsockets/[^\"]*\"|\"$socket\"|" "$example" >"$tmp/config.json"
grep -qF "\"$socket\"" "$tmp/config.json" || fail "the example has no \"localagentid\" below /run/ovra/localsockets"
mkdir -p "$tmp/root"
"$prefix/sbin/qivclient" --root "$tmp/root" --cfg "$tmp/config.json" >"$tmp/daemon.out" 2>&1 &
daemon=$!
for _ in $(seq 200); do # the socket appears once the daemon listens; 20 s at most
  [ -S "$socket" ] && break
  kill -0 "$daemon" 2>/dev/null || fail "the installed daemon ended on the example configuration: $(cat "$tmp/daemon.out")"
  sleep 0.1
done
reply=$("$prefix/bin/qivctl" --socket "$socket" --timeout 20 help_interfaces) || fail "qivctl: $reply"
grep -q qivclient_zfsbackup <<<"$reply" || fail "help_interfaces lists no qivclient_zfsbackup: $reply"
echo "installed into $prefix: units verified, example configuration served"
