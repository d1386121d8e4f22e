#!/usr/bin/env bash
# Builds the Debian package from a copy of the source tree, checks it with lintian, installs it on this machine with
# dpkg -i and checks what an operator gets: the files in their places, enabled units that systemd-analyze accepts,
# one version everywhere, qivctl's help and completion, manual pages that man shows without a warning. Then it purges
# the package and checks that nothing of it is left. The package is purged however the test ends.
# Usage: tests/package_test.sh (as root; a build of its own, some minutes). Exit 77 (skipped): not root.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "SKIPPED: installing a package needs root" && exit 77; }
tmp=$(mktemp -d) installed=0
trap '[ $installed = 0 ] || dpkg --purge qivclient >/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A copy of what git knows or would add, so that the build leaves the tree and its parent as they were.
mkdir "$tmp/src"
git -C "$src" ls-files -z --cached --others --exclude-standard |
  tar -C "$src" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$tmp/src" -xf -
(cd "$tmp/src" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$tmp/build.log" 2>&1 ||
  { tail -40 "$tmp/build.log"; fail "dpkg-buildpackage"; }
version=$(dpkg-parsechangelog -l "$tmp/src/debian/changelog" -S Version)
deb=$tmp/qivclient_${version}_$(dpkg --print-architecture).deb
lintian --fail-on error "$tmp"/qivclient_*.changes || fail "lintian reports errors"

# One install at a time on this machine, and never over one that is not ours.
exec 9>/run/lock/qivclient-package-test
flock 9
dpkg-query -W qivclient >/dev/null 2>&1 && fail "a qivclient package is installed already; the test leaves it alone"
installed=1
dpkg -i "$deb" >/dev/null
for f in /usr/sbin/qivclient /usr/bin/qivctl /lib/systemd/system/qivclient.{service,path} \
  /usr/share/doc/qivclient/{config.json.example,copyright,changelog.gz} /usr/share/man/man8/qivclient.8.gz \
  /usr/share/man/man1/qivctl.1.gz /usr/share/bash-completion/completions/qivctl \
  /etc/systemd/system/multi-user.target.wants/qivclient.path; do
  [ -e "$f" ] || fail "$f is not installed"
done
out=$(systemd-analyze verify /lib/systemd/system/qivclient.{service,path} 2>&1) && [ -z "$out" ] ||
  fail "systemd-analyze verify: $out"
[ "$(qivclient --version)" = "qivclient $version" ] && [ "$(qivctl --version)" = "qivctl $version" ] ||
  fail "the programs' versions differ from the package's $version"
# Into a file: grep -q would close the pipe at its first match, and the rest of the text would end qivctl by SIGPIPE.
qivctl --help >"$tmp/help" && grep -q '^Usage:' "$tmp/help" || fail "qivctl --help"
for page in man8/qivclient.8.gz man1/qivctl.1.gz; do
  err=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "/usr/share/man/$page" 2>&1 >"$tmp/page")
  [ -z "$err" ] || fail "man $page: $err"
  grep -q '^EXIT STATUS' "$tmp/page" || fail "man $page shows no EXIT STATUS"
done
# No daemon answers here: the completion falls back to its own list of commands.
completions() { # WORDS...: the completions offered for the last word
  bash -c 'source /usr/share/bash-completion/bash_completion; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}; _completion_loader qivctl; _qivctl; printf "%s\n" "${COMPREPLY[@]}"' \
    - "$@" 2>/dev/null # compopt complains outside a real completion
}
[ "$(completions qivctl '' | grep -cxE 'status|restore|backup|prune|qivclient_remote_prune')" = 5 ] ||
  fail "completion of the verbs and commands: $(completions qivctl '' | tr '\n' ' ')"
[ "$(completions qivctl prune tank --d)" = "--dry-run" ] || fail "completion of prune's options"
[ "$(completions qivctl qivclient_remote_restore st)" = "staging=" ] || fail "completion of a command's parameters"

dpkg -L qivclient >"$tmp/files"
dpkg --purge qivclient >/dev/null
installed=0
while read -r f; do [ -d "$f" ] || [ ! -e "$f" ] || fail "$f is left after the purge"; done <"$tmp/files"
left=$(find /etc /lib/systemd /var/lib/systemd /var/lib/dpkg/info -name '*qivclient*' 2>/dev/null)
[ -z "$left" ] || fail "left after the purge: $left"
echo "package $version: lintian, install, files, units, versions, help, manual pages, completion, purge: all good"
