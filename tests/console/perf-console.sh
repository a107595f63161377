#!/usr/bin/env bash
# Whole-program figures of the console front end (not a test; see docs/PERFORMANCE.md):
#  - peak memory of `korvalin --console` sending a 1 GiB update through an unthrottled simulated
#    tester, against the same run with a 1 MiB update as the baseline (flat memory: ratio ~1);
#  - wall time of `korvalin --demo --console`, against the sample's own time on the line.
# Usage: tests/console/perf-console.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build/default}"
korv="$build/src/entry/korvalin"
sim="$build/tools/tester-sim/korvalin-tester-sim"
[ -x "$korv" ] && [ -x "$sim" ] || { echo "build korvalin and korvalin-tester-sim first" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_CONFIG_HOME="$tmp/config"

# Sends a sparse update of $1 bytes; prints "<peak KiB> <seconds> <exit status>".
send() {
  local size=$1 file="$tmp/update-$1"
  printf '* ' >"$file"
  truncate -s "$size" "$file"
  "$sim" --rate 0 --expect "$size" --linger-ms 600000 >"$tmp/sim.out" 2>&1 &
  local simpid=$!
  for _ in $(seq 1 600); do
    [ -s "$tmp/sim.out" ] && break
    sleep 0.05
  done
  local port
  port=$(head -n 1 "$tmp/sim.out")
  local status=0
  /usr/bin/time -f '%M %e' -o "$tmp/time" \
    "$korv" --console --port "$port" --file "$file" >/dev/null 2>"$tmp/err" || status=$?
  kill "$simpid" 2>/dev/null || true
  wait "$simpid" 2>/dev/null || true
  grep -q "^RECEIVED $size bytes" "$tmp/sim.out" || { echo "tester did not receive $size bytes" >&2; cat "$tmp/err" >&2; exit 1; }
  echo "$(cat "$tmp/time") $status"
}

read -r base_kib base_s base_rc < <(send $((1 << 20)))
read -r big_kib big_s big_rc < <(send $((1 << 30)))
read -r demo_kib demo_s < <(/usr/bin/time -f '%M %e' "$korv" --demo --console 2>&1 >/dev/null | tail -n 1)
sample_bytes=$(stat -c %s res/sample-update.txt)

echo "| run | peak RSS (KiB) | wall (s) | exit |"
echo "|---|---:|---:|---:|"
echo "| send 1 MiB, --rate 0 (baseline) | $base_kib | $base_s | $base_rc |"
echo "| send 1 GiB, --rate 0 | $big_kib | $big_s | $big_rc |"
echo "| \`korvalin --demo --console\` | $demo_kib | $demo_s | |"
awk -v a="$big_kib" -v b="$base_kib" 'BEGIN { printf "\npeak memory, 1 GiB / 1 MiB: %.2f\n", a / b }'
awk -v t="$demo_s" -v n="$sample_bytes" \
  'BEGIN { printf "demo wall time / sample line time (%d bytes at 5760 B/s = %.2f s): %.2f\n", n, n / 5760, t / (n / 5760) }'
