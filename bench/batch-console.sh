#!/usr/bin/env bash
# Whole-program figures of a batch run (not a test; see docs/PERFORMANCE.md): one
# `korvalin --console` updating N simulated testers at once, each consuming 5,760 bytes/s
# (57600 baud 8N1) from a 1 KiB buffer and pacing the program with XOFF/XON, against the same run
# with 1 tester as the baseline. Per run: each tester's line-rate efficiency (bytes over the time
# from its first to its last byte, over 5,760 B/s), the process's CPU time and share of one core
# over the whole run, its peak memory and its wall time.
# Usage: bench/batch-console.sh [BUILD_DIR] [N]   (default build/default 16)
#        SIZE=bytes per update (default 115200, 20 s on the line)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
count="${2:-16}"
size="${SIZE:-115200}"
korv="$build/src/entry/korvalin"
sim="$build/tools/tester-sim/korvalin-tester-sim"
[ -x "$korv" ] && [ -x "$sim" ] || { echo "build korvalin and korvalin-tester-sim first" >&2; exit 1; }
tmp=$(mktemp -d)
simpids=()
cleanup() {
  for pid in "${simpids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$tmp/config"
file="$tmp/update.txt"
{ printf '* batch benchmark\n'; yes 'numbered text of the update file, as testers get it' ; } |
  head -c "$size" >"$file" || true  # yes ends on the closed pipe

# Runs one batch of $1 testers; prints "<min eff> <median eff> <max eff> <cpu s> <cpu share>
# <peak KiB> <wall s> <exit status>".
batch() {
  local n=$1 ports=() i
  simpids=()
  for ((i = 0; i < n; i++)); do
    # Each event line is stamped as it arrives (bash's own clock: no process per line).
    ("$sim" --rate 5760 --expect "$size" --linger-ms 8000 |
      while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done \
        >"$tmp/sim$i.out") &
    simpids+=($!)
  done
  for ((i = 0; i < n; i++)); do
    for _ in $(seq 1 600); do
      [ -s "$tmp/sim$i.out" ] && break
      sleep 0.05
    done
    ports+=(--port "$(head -n 1 "$tmp/sim$i.out" | cut -d' ' -f2)")
  done
  local status=0
  /usr/bin/time -f '%U %S %M %e' -o "$tmp/time" \
    "$korv" --console "${ports[@]}" --file "$file" --log-dir "$tmp/logs" \
    >"$tmp/summary" 2>"$tmp/err" || status=$?
  # The program ends after 3 s of quiet on every line; a pty holds about 3 s of data ahead of
  # its tester, so a tester may still be taking in its last bytes.
  for ((i = 0; i < n; i++)); do
    for _ in $(seq 1 600); do
      grep -q "RECEIVED" "$tmp/sim$i.out" && break
      sleep 0.05
    done
  done
  for pid in "${simpids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  local effs=()
  for ((i = 0; i < n; i++)); do
    grep -q "RECEIVED $size bytes" "$tmp/sim$i.out" ||
      { echo "tester $i did not receive $size bytes" >&2; cat "$tmp/err" >&2; exit 1; }
    effs+=("$(awk -v size="$size" '
      $2 == "RECEIVING" && !s { s = $1 }
      $2 == "RECEIVED" { e = $1 }
      END { printf "%.4f\n", size / (e - s) / 5760 }' "$tmp/sim$i.out")")
  done
  local sorted
  sorted=$(printf '%s\n' "${effs[@]}" | sort -g)
  read -r user sys kib wall <"$tmp/time"
  awk -v u="$user" -v s="$sys" -v k="$kib" -v w="$wall" -v rc="$status" \
    -v lo="$(head -n 1 <<<"$sorted")" -v hi="$(tail -n 1 <<<"$sorted")" \
    -v med="$(sed -n "$(((n + 1) / 2))p" <<<"$sorted")" \
    'BEGIN { printf "%s %s %s %.2f %.2f %s %s %s\n", lo, med, hi, u + s, 100 * (u + s) / w, k, w, rc }'
}

read -r b_lo b_med b_hi b_cpu b_share b_kib b_wall b_rc < <(batch 1)
read -r m_lo m_med m_hi m_cpu m_share m_kib m_wall m_rc < <(batch "$count")

echo "| testers | efficiency min / median / max | CPU | CPU share of one core | peak RSS (KiB) | wall (s) | exit |"
echo "|---:|---|---:|---:|---:|---:|---:|"
echo "| 1 (baseline) | $b_lo / $b_med / $b_hi | $b_cpu s | $b_share % | $b_kib | $b_wall | $b_rc |"
echo "| $count | $m_lo / $m_med / $m_hi | $m_cpu s | $m_share % | $m_kib | $m_wall | $m_rc |"
awk -v c1="$b_cpu" -v cn="$m_cpu" -v k1="$b_kib" -v kn="$m_kib" -v e1="$b_med" -v en="$m_lo" -v n="$count" '
  BEGIN {
    printf "\n%d testers / 1 tester: CPU time %.1f, peak memory %.2f, lowest efficiency / baseline %.3f\n",
      n, cn / c1, kn / k1, en / e1
  }'
