#!/usr/bin/env bash
# Line-rate efficiency of the Windows console program under Wine next to the Linux one, in the
# same run (not a test; see docs/PERFORMANCE.md). Each program sends the same update to the
# simulated tester, which takes in 5,760 bytes/s (57600 baud 8N1) from a 1 KiB buffer and paces
# the sender with XOFF/XON; the figure is the rate achieved between the tester's first and last
# byte, over the line rate. Also: the start-up time of each program (`--help`, best of ten; the
# baseline under Wine is an empty program built here) and the size of the Windows executable.
#
# Usage: bench/wine-line-rate.sh [BYTES] [RUNS]    (default 115200 = 20 s of line time, 3 runs)
# Needs: build/default (korvalin, korvalin-tester-sim), build/windows (korvalin-console.exe), and
# a Wine prefix with COM5 mapped (WINEPREFIX; scripts/wine-com), as scripts/test windows leaves.
set -euo pipefail
cd "$(dirname "$0")/.."
bytes="${1:-115200}"
runs="${2:-3}"
export WINEDEBUG=-all
: "${WINEPREFIX:?set WINEPREFIX to a prefix with COM5 mapped (scripts/wine-com)}"

sim=build/default/tools/tester-sim/korvalin-tester-sim
linux=build/default/src/entry/korvalin
exe="${KORV_CONSOLE_EXE:-$(find build/windows -name korvalin-console.exe -print -quit 2>/dev/null || true)}"
for f in "$sim" "$linux" "$exe"; do
  [ -n "$f" ] && [ -x "$f" ] || { echo "build korvalin, korvalin-tester-sim and korvalin-console.exe first" >&2; exit 1; }
done
link="$WINEPREFIX/korv-ports/com5"
[ -d "$WINEPREFIX/korv-ports" ] || { echo "COM5 is not mapped: run scripts/wine-com" >&2; exit 1; }

tmp=$(mktemp -d)
simpid=
stamper=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$tmp/config"
file="$tmp/update.txt"
head -c "$bytes" < <(printf '* bench update\r\n'; yes 'line of the bench update, padded with text to 60 bytes...') >"$file"
winfile="Z:${file//\//\\}"

# Starts the tester behind COM5, its stdout lines stamped with the time they arrived; waits for
# its line. $1: file for the stamped events.
start_sim() {
  local events=$1
  rm -f "$tmp/out"
  mkfifo "$tmp/out"
  "$sim" --rate 5760 --expect "$bytes" --linger-ms 600000 --link "$link" >"$tmp/out" &
  simpid=$!
  while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done <"$tmp/out" >"$events" &
  stamper=$!
  for _ in $(seq 1 600); do
    [ -s "$events" ] && break
    sleep 0.05
  done
}

# One send: prints the achieved rate over the line rate. $1: linux|windows.
send() {
  local events="$tmp/events-$1" port status=0
  start_sim "$events"
  port=$(head -n 1 "$events" | cut -d' ' -f2)
  if [ "$1" = linux ]; then
    "$linux" --console --port "$port" --file "$file" >/dev/null 2>"$tmp/err" || status=$?
  else
    wine "$exe" --port COM5 --file "$winfile" >/dev/null 2>"$tmp/err" || status=$?
  fi
  kill "$simpid" 2>/dev/null || true
  wait "$simpid" "$stamper" 2>/dev/null || true
  simpid=
  grep -q " RECEIVED $bytes bytes" "$events" || { echo "$1: the tester did not receive $bytes bytes (exit $status)" >&2; cat "$tmp/err" >&2; exit 1; }
  awk -v n="$bytes" '$2 == "RECEIVING" { a = $1 } $2 == "RECEIVED" { b = $1 }
    END { printf "%.4f %.2f\n", n / (b - a) / 5760, b - a }' "$events"
}

# Best-of-five wall time of `--help`, in ms. $@: the command.
startup() {
  local best=
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    local t0 t1 ms
    t0=$(date +%s%N)
    "$@" --help >/dev/null 2>&1 || true
    t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

wineserver -p >/dev/null 2>&1 || true
wine cmd /c exit >/dev/null 2>&1

echo "| run | Linux: time on the line | Linux: rate / 5,760 B/s | Windows under Wine: time | Windows: rate / 5,760 B/s | Windows / Linux |"
echo "|---|---:|---:|---:|---:|---:|"
for run in $(seq 1 "$runs"); do
  read -r lr ls < <(send linux)
  read -r wr ws < <(send windows)
  awk -v r="$run" -v lr="$lr" -v ls="$ls" -v wr="$wr" -v ws="$ws" \
    'BEGIN { printf "| %d | %.2f s | %.4f | %.2f s | %.4f | %.4f |\n", r, ls, lr, ws, wr, wr / lr }'
done

echo
echo "| start-up (\`--help\`, best of 10) | ms |"
echo "|---|---:|"
echo "| Linux \`korvalin --console --help\` | $(startup "$linux" --console) |"
printf 'int main(void) { return 0; }\n' >"$tmp/empty.c"
x86_64-w64-mingw32-gcc-posix -static -O2 -o "$tmp/empty.exe" "$tmp/empty.c"
echo "| an empty static Windows program under Wine (baseline) | $(startup wine "$tmp/empty.exe") |"
echo "| \`wine korvalin-console.exe --help\` | $(startup wine "$exe") |"
echo
echo "korvalin-console.exe: $(stat -c %s "$exe") bytes; imports: $(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name/ { printf "%s ", $3 }')"
