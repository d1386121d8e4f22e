#!/usr/bin/env bash
# scripts/zfspool.sh destroy against a stand-in zpool: a pool that zfs-fuse calls busy for a moment is destroyed on a
# retry, and the image of a pool that is still imported is never deleted. Usage: zfspool_test.sh SOURCE_DIR.
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The stand-in answers "pool is busy" to as many destroys as the file "busy" says, then drops the "imported" mark. It
# always lists a pool of another user, so that the helper never stops a zfs-fuse.
mkdir "$tmp/bin" && cat >"$tmp/bin/zpool" <<'ZPOOL' && chmod +x "$tmp/bin/zpool"
#!/usr/bin/env bash
dir=$(dirname "$0")/.. n=$(cat "$(dirname "$0")/../busy")
case "$1 ${*: -1}" in
"destroy "*) [ "$n" -gt 0 ] && { echo $((n - 1)) >"$dir/busy"; echo "cannot destroy: pool is busy" >&2; exit 1; }
  rm -f "$dir/imported" ;;
"list name") echo qivt_0_other ;;
list\ qivt_0_test) [ -e "$dir/imported" ] ;;
esac
ZPOOL
# name | busy answers | expected exit status | image left
while IFS='|' read -r name busy status kept; do
  mkdir -p "$tmp/pool" && echo qivt_0_test >"$tmp/pool/pool.name" && touch "$tmp/pool/pool.img" "$tmp/imported"
  echo "$busy" >"$tmp/busy"
  got=0
  PATH=$tmp/bin:$PATH QIV_ZFSPOOL_LOCK=$tmp/lock QIV_ZFSPOOL_BUSY_SECONDS=3 \
    bash "$1/scripts/zfspool.sh" destroy "$tmp/pool" 2>/dev/null || got=$?
  left=$([ -e "$tmp/pool/pool.img" ] && echo yes || echo no)
  [ "$got $left" = "$status $kept" ] || { echo "FAIL: $name: exit $got, image left: $left" >&2; exit 1; }
done <<'ROWS'
busy twice, then destroyed|2|0|no
busy beyond the limit: still imported|99|1|yes
ROWS
