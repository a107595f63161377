#!/usr/bin/env bash
# Whole-window figures of the station window (not a test; see docs/PERFORMANCE.md): the Qt
# station window on a private X server updating N simulated testers at once, each consuming
# 5,760 bytes/s (57600 baud 8N1) from a 1 KiB buffer and pacing the program with XOFF/XON,
# against the same window with 1 tester as the baseline, taken in the same run. The window is
# the program's own (CStationWindow, its table, its terminal pane, a session per port with its
# reader and sender threads) in a measuring process, korv_station_bench. Per run:
#   - exact: testers whose saved bytes equal the update file; accepted: rows that say so;
#   - CPU: the process's user + system time (/proc/self/stat) while every port sends, after the
#     first second, over the first half of the line time, as a share of one core;
#   - a click's wait: a second thread posts an event to the window 20 times a second over the
#     second half; its handler clicks the next row of the table (the selection moves, the pane
#     shows that port's screen); the figure is from the post to the end of that handling: how
#     long a click waits for the event loop, plus its own work. Median, 99th percentile, largest.
# Usage: bench/station-window.sh [BUILD_DIR] [N]   (default build/default 32)
#        SIZE=bytes per update (default 115200, 20 s on the line), RUNS=runs (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
count="${2:-32}"
size="${SIZE:-115200}"
runs="${RUNS:-3}"
bench="$build/tests/gui/korv_station_bench"
[ -x "$bench" ] || { echo "build korv_station_bench first (preset default)" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "Xvfb is not installed (scripts/deps)" >&2; exit 1; }
display=:$((70 + RANDOM % 9))
Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY="$display" QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

# One window of $1 testers; prints its key=value line.
window() {
  "$bench" --testers "$1" --size "$size" 2>/dev/null | grep '^testers='
}
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }

echo "| run | testers | exact | accepted | CPU share of one core | CPU / baseline | click wait median / p99 / max (ms) | p99 / baseline p99 |"
echo "|---:|---:|---:|---:|---:|---:|---|---:|"
for ((run = 1; run <= runs; run++)); do
  base=$(window 1)
  many=$(window "$count")
  for line in "$base" "$many"; do
    n=$(field testers "$line")
    awk -v run="$run" -v n="$n" -v base="$([ "$n" = 1 ] && echo 1 || echo 0)" \
      -v exact="$(field exact "$line")" -v acc="$(field accepted "$line")" \
      -v cpu="$(field cpu_pct "$line")" -v cpu1="$(field cpu_pct "$base")" \
      -v p50="$(field click_p50_ms "$line")" -v p99="$(field click_p99_ms "$line")" \
      -v max="$(field click_max_ms "$line")" -v p991="$(field click_p99_ms "$base")" '
      BEGIN {
        printf "| %d | %s | %s/%s | %s | %.2f %% | %s | %.2f / %.2f / %.2f | %s |\n",
          run, base ? "1 (baseline)" : n, exact, n, acc, cpu,
          base ? "1" : sprintf("%.1f", cpu / cpu1), p50, p99, max,
          base ? "1" : sprintf("%.1f", p99 / p991)
      }'
  done
done
