#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what an appliance gets: units that systemd-analyze accepts,
# which includes an executable daemon at ExecStart, and an example start-up configuration on which the installed
# daemon answers the installed qivctl. Usage: install_test.sh BUILD_DIR. Exit 77 (skipped): no systemd-analyze.
set -euo pipefail
command -v systemd-analyze >/dev/null ||
  { echo "SKIPPED: no systemd-analyze; scripts/install-deps.sh installs it (Debian package systemd)" && exit 77; }
tmp=$(mktemp -d)
trap 'kill -TERM $(jobs -p) 2>/dev/null || true; wait || true; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$tmp/prefix units=$tmp/prefix/lib/systemd/system
cmake --install "$1" --prefix "$prefix" >/dev/null
# Every finding fails, warnings included.
out=$(systemd-analyze verify --man=no "$units/qivclient.service" "$units/qivclient.path" 2>&1) && [ -z "$out" ] ||
  fail "systemd-analyze verify: $out"

# The example as installed, with only the socket moved into the temporary directory.
sock=$tmp/sock
sed "s|\"/run/ovra/localsockets/[^\"]*\"|\"$sock\"|" "$prefix/share/doc/qivclient/config.json.example" >"$tmp/cfg"
grep -qF "\"$sock\"" "$tmp/cfg" || fail "the example has no \"localagentid\" below /run/ovra/localsockets"
"$prefix/sbin/qivclient" --root "$tmp" --cfg "$tmp/cfg" &
for _ in $(seq 200); do # until the daemon listens or has ended, 20 s at most
  { [ -S "$sock" ] || ! kill -0 $! 2>/dev/null; } && break
  sleep 0.1
done
"$prefix/bin/qivctl" --socket "$sock" --timeout 20 help_interfaces | grep -q qivclient_zfsbackup ||
  fail "the installed daemon does not answer on the example configuration"
