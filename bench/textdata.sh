#!/usr/bin/env bash
# Fills DIR with about BYTES of the ordinary files an appliance holds, made on the spot (nothing is downloaded):
# half a service's log lines with varying times, hosts, numbers and messages, and the rest source trees and text
# taken from this machine (/usr/include, /usr/share/doc), copied until the size is reached. The benchmarks of the
# compression and encryption stages back it up. Usage: bench/textdata.sh DIR BYTES
set -euo pipefail
dir=$1
bytes=$2
mkdir -p "$dir/logs" "$dir/trees"

awk -v n="$((bytes / 2))" -v out="$dir/logs/service" 'BEGIN {
  srand(7)
  split("accepted request|served object|cache miss for|renewed lease of|slow query on|closed connection from", what, "|")
  part = 0; size = 0; total = 0; t = 1700000000
  while (total < n) {
    if (size == 0) file = sprintf("%s.%d.log", out, part)
    t += int(rand() * 3)
    line = sprintf("%s host%02d svc[%d]: %s /data/vol%d/share/file%05d.dat in %d ms, %d bytes, status %d\n",
                   strftime("%Y-%m-%dT%H:%M:%S", t), int(rand() * 12), 1000 + int(rand() * 50),
                   what[1 + int(rand() * 6)], int(rand() * 4), int(rand() * 90000), int(rand() * 900),
                   int(rand() * 1048576), rand() < 0.97 ? 200 : 503)
    printf "%s", line > file
    size += length(line); total += length(line)
    if (size > 16 * 1048576) { close(file); part++; size = 0 }
  }
}'

copy=0
while [ "$(du -sb "$dir" | cut -f1)" -lt "$bytes" ]; do
  src=/usr/include
  [ $((copy % 2)) = 1 ] && src=/usr/share/doc
  cp -r "$src" "$dir/trees/$copy"
  copy=$((copy + 1))
done
