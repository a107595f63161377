#!/usr/bin/env bash
# Whole-program figures of a station (not a test; see docs/PERFORMANCE.md): one `korvalin
# --console` batch updating N simulated testers at once, every one of them behind one Debian
# ser2net (RFC 2217 on loopback, one connection per tester's pty), against the same run with 1
# tester as the baseline. Testers take bytes into a 4 MiB buffer (consumed at 5,760 B/s, 57600
# baud 8N1, or as they come with SIM_RATE=0) and never hold the line, so what arrives at them
# shows the program's own pacing. A program still running 60 s after the whole file's line time
# gets SIGINT (Ctrl+C), and the run is reported as it ended. Per run:
#   - each tester's efficiency: the update's bytes over the time from its first byte to its last
#     (its RECEIVING and RECEIVED events, stamped as they arrive), over 5,760 B/s;
#   - exact: testers whose saved bytes equal the update file (cmp);
#   - "Sent" minus last byte: the program's "Sent" message (stamped as it arrives) against the
#     tester's last byte, lowest and median over the testers (negative: said before delivery);
#   - the program's CPU time (user + system, /usr/bin/time) and its share of one core over the
#     run's wall time, its peak RSS and wall time;
#   - peaks of the program's threads (/proc/PID/status) and descriptors (/proc/PID/fd), sampled
#     every 0.1 s, and the same of ser2net; the program's busiest second (its CPU ticks, sampled
#     with them); ser2net's and the simulators' CPU time over the run; the whole machine's busy
#     share (/proc/stat) over the run and the load average before it.
# Usage: bench/station-ser2net.sh [BUILD_DIR] [N...]   (default build/default 16 64 256)
#        SIZE=bytes per update (default 28800, 5 s on the line), KEEP=1 keeps the work folder,
#        SIM_RATE=the simulators' consumption in B/s (default 5760; 0 takes bytes as they come:
#        with a 4 MiB buffer arrival times are the same, and the simulators wake only on data),
#        NOFILE=n runs the program alone with a descriptor limit of n (ulimit -n),
#        SIM_DELAY=ms from the simulator seeing 57600 to its boot text (default 2000: the
#        program purges the line after configuring it, and with 256 ports opening at once through
#        one server that came more than 200 ms after the baud rate for some of them)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(16 64 256)
size="${SIZE:-28800}"
simrate="${SIM_RATE:-5760}"
simdelay="${SIM_DELAY:-2000}"
korv_limit=()
[ -z "${NOFILE:-}" ] || korv_limit=(prlimit "--nofile=$NOFILE:$NOFILE")
korv="$build/src/entry/korvalin"
sim="$build/tools/tester-sim/korvalin-tester-sim"
[ -x "$korv" ] && [ -x "$sim" ] || { echo "build korvalin and korvalin-tester-sim first" >&2; exit 1; }
command -v ser2net >/dev/null || { echo "ser2net is not installed (scripts/deps)" >&2; exit 1; }
tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP:-}" ] && echo "kept $tmp" >&2 || rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$tmp/config"
file="$tmp/update.txt"
{ printf '* station benchmark\n'; yes 'numbered text of the update file, as testers get it'; } |
  head -c "$size" >"$file" || true  # yes ends on the closed pipe
tick=$(getconf CLK_TCK)

stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }
wait_for() {  # PATTERN FILE SECONDS: waits for a line matching PATTERN
  local limit=$(($3 * 20)) w
  for ((w = 0; w < limit; w++)); do grep -q -- "$1" "$2" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}
cpu_ticks() {  # PID: user + system ticks of a live process (0 when it is gone)
  awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat" 2>/dev/null || echo 0
}
machine() {  # busy and total ticks of all cores so far
  awk '/^cpu / { t = 0; for (i = 2; i <= NF; i++) t += $i; print t - $5 - $6, t }' /proc/stat
}
child_of() {  # PID [COMM-PREFIX]: a child of PID (with that command name), waiting up to 10 s
  local c w
  for ((w = 0; w < 200; w++)); do
    for c in $(cat "/proc/$1/task/$1/children" 2>/dev/null); do
      [[ -z "${2:-}" || "$(cat "/proc/$c/comm" 2>/dev/null)" == "$2"* ]] && { echo "$c"; return 0; }
    done
    sleep 0.05
  done
  return 1
}

# Runs one batch of $1 testers; appends one line of figures to $tmp/results.
run() {
  local n=$1 d="$tmp/n$1" i ports=() simpids=()
  mkdir -p "$d"
  for ((i = 0; i < n; i++)); do
    ("$sim" --rate "$simrate" --delay-ms "$simdelay" --wait-open rate --expect "$size" --buffer 4194304 --linger-ms 20000 \
      --save "$d/sim$i.got" | stamp >"$d/sim$i.out") &
    pids+=($!)
  done
  for ((i = 0; i < n; i++)); do
    wait_for /dev/pts "$d/sim$i.out" 30 || { echo "simulator $i did not start" >&2; exit 1; }
  done
  for pid in "${pids[@]}"; do simpids+=("$(child_of "$pid" korvalin-test)"); done
  # One server, one connection per tester. The device is opened at 9600: the simulator boots
  # once the program has set 57600 (and then purged).
  mapfile -t ports < <(python3 -c '
import socket, sys
ss = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in ss: s.bind(("127.0.0.1", 0))
for s in ss: print(s.getsockname()[1])' "$n")
  for ((i = 0; i < n; i++)); do
    printf 'connection: &t%d\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n' "$i" "${ports[i]}"
    printf '  connector: serialdev(nouucplock),%s,9600n81,local\n' "$(head -n 1 "$d/sim$i.out" | cut -d' ' -f2)"
  done >"$d/ser2net.yaml"
  ser2net -n -d -c "$d/ser2net.yaml" >"$d/ser2net.log" 2>&1 &
  local spid=$!
  pids+=("$spid")
  local want listening w
  want=$(printf '%s\n' "${ports[@]}" | sort)
  for ((w = 0; w < 600; w++)); do
    listening=$(ss -Hltn | awk '{ n = split($4, a, ":"); print a[n] }' | sort | comm -12 - <(echo "$want") | wc -l)
    [ "$listening" -eq "$n" ] && break
    sleep 0.05
  done
  [ "$listening" -eq "$n" ] || { echo "ser2net listens on $listening of $n ports" >&2; cat "$d/ser2net.log" >&2; exit 1; }
  local s_fd0 s_thr0 f
  f=("/proc/$spid/fd/"*); s_fd0=${#f[@]}
  s_thr0=$(awk '/^Threads:/ { print $2 }' "/proc/$spid/status")

  local args=() p
  for p in "${ports[@]}"; do args+=(--port "rfc2217://127.0.0.1:$p"); done
  local load0 m0 s0 st0 kpid tpid status=0
  load0=$(cut -d' ' -f1 /proc/loadavg)
  read -r -a m0 < <(machine)
  st0=$(cpu_ticks "$spid")
  s0=0
  for p in "${simpids[@]}"; do s0=$((s0 + $(cpu_ticks "$p"))); done
  (/usr/bin/time -f '%U %S %M %e' -o "$d/time" \
    "${korv_limit[@]}" "$korv" --console "${args[@]}" --file "$file" --log-dir "$d/logs" 2>&1 >"$d/summary" |
    stamp >"$d/err") &
  tpid=$!
  kpid=$(child_of "$(child_of "$tpid" time)")
  # Peaks of threads and descriptors, sampled without starting a process per sample.
  local thr=0 fds=0 sfd=0 t x deadline=$((SECONDS + 60 + (size + 5759) / 5760 + simdelay / 1000))
  : >"$d/samples"
  while kill -0 "$kpid" 2>/dev/null; do
    t=$(awk '/^Threads:/ { print $2 }' "/proc/$kpid/status" 2>/dev/null) || break
    f=("/proc/$kpid/fd/"*); x=${#f[@]}
    [ -n "$t" ] && [ "$t" -gt "$thr" ] && thr=$t
    # What the descriptors are, taken whenever their number reaches a new peak.
    [ "$x" -gt "$fds" ] && { fds=$x; ls -l "/proc/$kpid/fd" >"$d/fd-peak" 2>/dev/null || true; }
    f=("/proc/$spid/fd/"*); [ "${#f[@]}" -gt "$sfd" ] && sfd=${#f[@]}
    echo "$EPOCHREALTIME $t $x ${#f[@]} $(cpu_ticks "$kpid")" >>"$d/samples"
    if ((deadline > 0 && SECONDS > deadline)); then
      echo "n=$n: the program is still running 60 s after the line time: Ctrl+C" >&2
      kill -INT "$kpid" 2>/dev/null || true
      deadline=0
    fi
    sleep 0.1
  done
  wait "$tpid" || status=$?
  local m1 st1 s1=0
  read -r -a m1 < <(machine)
  st1=$(cpu_ticks "$spid")
  for p in "${simpids[@]}"; do s1=$((s1 + $(cpu_ticks "$p"))); done
  # A tester may still be taking in its last bytes when the program ends.
  local until=$((SECONDS + 30))
  for ((i = 0; i < n; i++)); do
    while ! grep -q RECEIVED "$d/sim$i.out" && [ "$SECONDS" -lt "$until" ]; do sleep 0.05; done
  done
  local s_thr
  s_thr=$(awk '/^Threads:/ { print $2 }' "/proc/$spid/status")
  kill "$spid" "${simpids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  pids=()

  local effs=() exact=0 leads=() sent
  for ((i = 0; i < n; i++)); do
    if grep -q "RECEIVED $size bytes" "$d/sim$i.out"; then
      cmp -s "$file" "$d/sim$i.got" && exact=$((exact + 1))
      sent=$(grep -m1 -F "rfc2217://127.0.0.1:${ports[i]}: Sent '" "$d/err" | cut -d' ' -f1)
      leads+=("$(awk -v t="${sent:-0}" '$2 == "RECEIVED" { printf "%+.2f\n", t - $1 }' "$d/sim$i.out")")
      effs+=("$(awk -v size="$size" '
        $2 == "RECEIVING" && !s { s = $1 }
        $2 == "RECEIVED" { e = $1 }
        END { printf "%.4f\n", size / (e - s) / 5760 }' "$d/sim$i.out")")
    else
      effs+=(0)
      echo "n=$n: tester $i: $(tail -n 2 "$d/sim$i.out" | tr '\n' ' ')" >&2
    fi
  done
  local sorted user sys kib wall lsorted
  sorted=$(printf '%s\n' "${effs[@]}" | sort -g)
  lsorted=$(printf '%s\n' "${leads[@]:-0}" | sort -g)
  local busiest
  busiest=$(awk -v tick="$tick" '$5 > 0 { t[NR] = $1; c[NR] = $5; n = NR }
    END { m = 0; j = 1
      for (i = 1; i <= n; i++) {
        while (j <= n && t[j] - t[i] < 1) j++
        if (j <= n) { s = (c[j] - c[i]) / tick / (t[j] - t[i]); if (s > m) m = s }
      }
      printf "%.1f\n", 100 * m }' "$d/samples")
  read -r user sys kib wall < <(tail -n 1 "$d/time")  # after "Command exited with ..."
  echo "$n $(head -n 1 <<<"$sorted") $(sed -n "$(((n + 1) / 2))p" <<<"$sorted") $exact $user $sys $kib $wall" \
    "$thr $fds $s_thr0 $s_thr $s_fd0 $sfd $((st1 - st0))" "$((s1 - s0))" \
    "$((m1[0] - m0[0])) $((m1[1] - m0[1])) $load0 $status" \
    "$(head -n 1 <<<"$lsorted") $(sed -n "$(((${#leads[@]} + 1) / 2))p" <<<"$lsorted") $busiest" >>"$tmp/results"
  [ "$status" -eq 0 ] || { echo "n=$n: korvalin exit $status; stderr:" >&2; tail -n 20 "$d/err" >&2; }
}

echo "# Station through ser2net: $(date -u +%Y-%m-%dT%H:%MZ), ser2net $(ser2net -v 2>&1 | awk '{print $3}')," \
  "$(nproc) cores, $size bytes per tester, simulators --rate $simrate --delay-ms $simdelay, ulimit -n $(ulimit -n), program's ${NOFILE:-the same}"
: >"$tmp/results"
for n in 1 "${counts[@]}"; do run "$n"; done

echo
echo "| testers | efficiency min / median | exact | \"Sent\" minus last byte, min / median | program CPU | share of one core (busiest 1 s) | peak RSS (KiB) | wall (s) | threads peak | fds peak | exit |"
echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
awk '{ c = $5 + $6; printf "| %s%s | %s / %s | %d / %s | %s / %s s | %.2f s | %.2f %% (%s %%) | %s | %s | %s | %s | %s |\n",
  $1, (NR == 1 ? " (baseline)" : ""), $2, $3, $4, $1, $21, $22, c, 100 * c / $8, $23, $7, $8, $9, $10, $20 }' "$tmp/results"
echo
echo "| testers | ser2net threads idle / at end | ser2net fds idle / peak | ser2net CPU | simulators' CPU | machine busy (2 cores = 200 %) | load average before |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
awk -v tick="$tick" -v cores="$(nproc)" '{ printf "| %s | %s / %s | %s / %s | %.2f s | %.2f s | %.0f %% | %s |\n",
  $1, $11, $12, $13, $14, $15 / tick, $16 / tick, 100 * cores * $17 / $18, $19 }' "$tmp/results"
echo
for n in 1 "${counts[@]}"; do
  printf '%s testers, descriptors at the peak: ' "$n"
  awk 'NF > 9 { t = $NF; sub(/^\/tmp\/.*/, "file", t); sub(/:\[[0-9]+\]$/, "", t)
    sub(/^\/dev\/pts\/.*/, "pty", t); sub(/^\/dev\/.*/, "device", t); k[t]++ }
    END { for (t in k) printf "%s %d, ", t, k[t]; print "" }' "$tmp/n$n/fd-peak"
done
echo
awk 'NR == 1 { e1 = $3; c1 = $5 + $6; t1 = $9; f1 = $10; k1 = $7 }
  NR > 1 { c = $5 + $6
    printf "%d testers / 1: lowest efficiency / baseline median %.4f; CPU per tester %s; peak RSS %.2f; threads +%.2f and fds +%.2f per added port\n",
      $1, $2 / e1, (c1 > 0 ? sprintf("%.3f", (c / $1) / c1) : "(baseline CPU under the 0.01 s resolution)"),
      $7 / k1, ($9 - t1) / ($1 - 1), ($10 - f1) / ($1 - 1) }' "$tmp/results"
