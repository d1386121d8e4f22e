#!/usr/bin/env bash
# Reproduces the benchmark figures quoted in notes and the README: builds (Release flags of the normal build) and
# runs every benchmark of bench/ once, printing the machine first. Figures depend on the machine's load; run it on a
# quiet machine. Each benchmark prints its own goal and whether it was met.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target bench_lfqueue bench_rpc bench_listing bench_upload bench_restore bench_burst

echo "== machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== lock-free queue, 4 producers and 1 consumer, against std::mutex + std::deque"
build/bin/bench_lfqueue --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true
echo "== local RPC server against a minimal poll() server: round trips (median of 7), then pipelining and idle cost"
build/bin/bench_rpc --benchmark_filter=BM_RoundTrip --benchmark_repetitions=7 \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true || true
build/bin/bench_rpc --benchmark_filter='BM_Pipelined|BM_IdleCpu'
echo "== listing parse, 10,000 and 100,000 lines"
build/bin/bench_listing
echo "== upload of a 1 GiB stand-in stream against the same pipeline run in a shell"
build/bin/bench_upload --mib 1024 --rounds 7
echo "== upload of a real 1 GiB ZFS snapshot (zfs-fuse) against the same pipeline run in a shell"
build/bin/bench_upload --mib 1024 --rounds 7 --real-zfs || true
echo "== restore of a real 1 GiB backup through the daemon against get + zfs receive run in a shell"
build/bin/bench_restore --mib 1024 --rounds 5 || true
echo "== resident memory of the local server idle, under a burst of 100 near-limit requests and after it"
build/bin/bench_burst --rounds 3
