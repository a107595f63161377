#!/usr/bin/env bash
# Whole-program figures of network ports (not a test; see docs/PERFORMANCE.md): `korvalin
# --console` sending to simulated testers behind Debian's ser2net (RFC 2217 on loopback, started
# here with its own configuration), against the same transfer to a tester on a local pty as the
# baseline, measured in the same run. Every event line is stamped as it arrives.
#   1. 1 MiB through rfc2217:// at 5,760 B/s: byte-exact, efficiency (line time / transfer
#      time), and "Sent" against the tester's last byte;
#   2. the tester holds XOFF for 5 s in mid-file: bytes that arrive while it is held;
#   3. Ctrl+C while the tester holds XOFF, then XON: exit status and time, bytes that reach the
#      tester after the interrupt;
#   4. N testers behind N servers in one batch: efficiency of each, CPU share of one core;
#   5. with WINE_EXE=path to korvalin-console.exe: item 1 (SIZE bytes) by the Windows program.
# Usage: bench/netport.sh [BUILD_DIR] [N]   (default build/default 16)
#        SIZE=bytes of the large update (default 1048576), ONLY="1 2 3" picks items
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
count="${2:-16}"
size="${SIZE:-1048576}"
only="${ONLY:-1 2 3 4 5}"
korv="$build/src/entry/korvalin"
sim="$build/tools/tester-sim/korvalin-tester-sim"
[ -x "$korv" ] && [ -x "$sim" ] || { echo "build korvalin and korvalin-tester-sim first" >&2; exit 1; }
command -v ser2net >/dev/null || { echo "ser2net is not installed (scripts/deps)" >&2; exit 1; }
tmp=$(mktemp -d)
pids=()
cleanup() {
  # Servers are started inside $(...): their ids are kept in a file, not in the array.
  [ -f "$tmp/server.pids" ] && while read -r pid; do kill "$pid" 2>/dev/null || true; done <"$tmp/server.pids"
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP:-}" ] && echo "kept $tmp" >&2 || rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$tmp/config"
mkfile() {  # SIZE PATH: a valid update of exactly SIZE bytes
  { printf '* network benchmark\n'; yes 'numbered text of the update file, as testers get it'; } |
    head -c "$1" >"$2" || true
}
stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_for() {  # PATTERN FILE [seconds]: waits for a line matching PATTERN
  local limit=$(( ${3:-60} * 20 ))
  for ((w = 0; w < limit; w++)); do grep -q -- "$1" "$2" 2>/dev/null && return 0; sleep 0.05; done
  echo "timed out waiting for '$1' in $2" >&2; return 1
}
# start_sim NAME ARGS...: a simulator fed by the fifo $tmp/NAME.in, events in $tmp/NAME.out.
start_sim() {
  local name=$1; shift
  mkfifo "$tmp/$name.in"
  ("$sim" "$@" <"$tmp/$name.in" | stamp >"$tmp/$name.out") &
  pids+=($!)
  exec {fd}>"$tmp/$name.in"  # keeps the fifo open for commands
  eval "fd_$name=$fd"
  wait_for /dev/pts "$tmp/$name.out" >/dev/null
}
simcmd() { local v="fd_$1"; echo "$2" >&"${!v}"; }
pty_of() { head -n 1 "$tmp/$1.out" | cut -d' ' -f2; }
# start_server NAME: ser2net in front of simulator NAME's pty; prints its port. The device is
# opened at 9600: the simulator boots once the program has set 57600 (and then purged).
start_server() {
  local port; port=$(free_port)
  cat >"$tmp/$1.yaml" <<EOF
connection: &$1
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev(nouucplock),$(pty_of "$1"),9600n81,local
EOF
  ser2net -n -d -c "$tmp/$1.yaml" >"$tmp/$1.ser2net" 2>&1 &
  echo $! >>"$tmp/server.pids"
  for ((w = 0; w < 200; w++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
  echo "$port"
}
t_of() { grep -m1 -- "$1" "$2" | cut -d' ' -f1; }
calc() { awk "BEGIN { printf \"$1\n\", $2 }"; }

big="$tmp/big.txt"
mkfile "$size" "$big"
echo "# Network ports: $(date -u +%Y-%m-%dT%H:%MZ), ser2net $(ser2net -v 2>&1 | awk '{print $3}'), $(nproc) cores"

# 1. The baseline on a local pty, then the same file through ser2net.
transfer() {  # NAME PORT_NAME: prints "<efficiency> <sent - last byte (s)> <exact>"
  local name=$1 portname=$2 status=0
  "$korv" --console --port "$portname" --file "$big" 2>&1 >/dev/null | stamp >"$tmp/$name.korv" || status=$?
  wait_for "RECEIVED" "$tmp/$name.out" 30 >/dev/null
  local s e sent exact=no
  s=$(t_of RECEIVING "$tmp/$name.out"); e=$(t_of RECEIVED "$tmp/$name.out")
  sent=$(t_of "Sent '" "$tmp/$name.korv")
  grep -q "RECEIVED $size bytes" "$tmp/$name.out" && cmp -s "$big" "$tmp/$name.got" && exact=yes
  echo "$(calc '%.4f' "$size / ($e - $s) / 5760") $(calc '%+.2f' "$sent - $e") $exact $status"
}
if [[ " $only " == *" 1 "* ]]; then
  start_sim local --expect "$size" --save "$tmp/local.got"
  read -r l_eff l_sent l_exact l_rc < <(transfer local "$(pty_of local)")
  start_sim net1 --wait-open rate --expect "$size" --buffer 4194304 --save "$tmp/net1.got"
  port=$(start_server net1)
  read -r n_eff n_sent n_exact n_rc < <(transfer net1 "rfc2217://127.0.0.1:$port")
  echo
  echo "| 1 MiB update | efficiency | \"Sent\" minus tester's last byte | byte-exact | exit |"
  echo "|---|---:|---:|---|---:|"
  echo "| local pty (baseline) | $l_eff | $l_sent s | $l_exact | $l_rc |"
  echo "| rfc2217:// through ser2net | $n_eff | $n_sent s | $n_exact | $n_rc |"
  echo
  echo "rfc2217 / baseline efficiency: $(calc '%.3f' "$n_eff / $l_eff")"
fi

# 2. XOFF held for 5 s in mid-file.
if [[ " $only " == *" 2 "* ]]; then
  small=$((128 * 1024))
  mkfile "$small" "$tmp/small.txt"
  start_sim xoff --wait-open rate --expect "$small" --buffer 4194304 --save "$tmp/xoff.got"
  port=$(start_server xoff)
  ("$korv" --console --port "rfc2217://127.0.0.1:$port" --file "$tmp/small.txt" >/dev/null 2>&1) &
  kpid=$!
  wait_for RECEIVING "$tmp/xoff.out" >/dev/null
  sleep 3
  simcmd xoff xoff; sleep 0.5
  simcmd xoff count; wait_for "COUNT" "$tmp/xoff.out" >/dev/null
  at_xoff=$(grep -m1 COUNT "$tmp/xoff.out" | cut -d' ' -f3)
  sleep 5
  simcmd xoff count
  for ((w = 0; w < 100; w++)); do [ "$(grep -c COUNT "$tmp/xoff.out")" -ge 2 ] && break; sleep 0.05; done
  at_xon=$(grep COUNT "$tmp/xoff.out" | sed -n 2p | cut -d' ' -f3)
  simcmd xoff xon
  status=0; wait "$kpid" || status=$?
  wait_for RECEIVED "$tmp/xoff.out" 30 >/dev/null
  exact=no
  grep -q "RECEIVED $small bytes" "$tmp/xoff.out" && cmp -s "$tmp/small.txt" "$tmp/xoff.got" && exact=yes
  echo
  echo "XOFF held 5 s after 3 s of a 128 KiB update: $at_xoff bytes at the tester 0.5 s after XOFF," \
    "$at_xon bytes 5 s later (arrived while held: $((at_xon - at_xoff))); after XON byte-exact: $exact, exit $status"
fi

# 3. Ctrl+C while the tester holds XOFF, then XON.
if [[ " $only " == *" 3 "* ]]; then
  start_sim intr --wait-open rate --buffer 4194304 --end-silence-ms 3000
  port=$(start_server intr)
  "$korv" --console --port "rfc2217://127.0.0.1:$port" --file "$big" >/dev/null 2>"$tmp/intr.err" &
  kpid=$!
  wait_for RECEIVING "$tmp/intr.out" >/dev/null
  sleep 2
  simcmd intr xoff; sleep 1
  simcmd intr count; wait_for COUNT "$tmp/intr.out" >/dev/null
  before=$(grep -m1 COUNT "$tmp/intr.out" | cut -d' ' -f3)
  t_int=$EPOCHREALTIME
  kill -INT "$kpid"
  rc=0; wait "$kpid" || rc=$?
  t_end=$EPOCHREALTIME
  simcmd intr xon
  wait_for RECEIVED "$tmp/intr.out" 30 >/dev/null
  after=$(grep -m1 RECEIVED "$tmp/intr.out" | cut -d' ' -f3)
  echo
  echo "Ctrl+C under XOFF, then XON: exit $rc after $(calc '%.2f' "$t_end - $t_int") s;" \
    "$before bytes at the tester at the interrupt, $after in the end: $((after - before)) more"
fi

# 4. Many testers behind many servers in one batch.
if [[ " $only " == *" 4 "* ]]; then
  bsize=$((115200))
  mkfile "$bsize" "$tmp/batch.txt"
  ports=()
  for ((i = 0; i < count; i++)); do
    start_sim "b$i" --wait-open rate --expect "$bsize" --buffer 4194304 --linger-ms 8000
    ports+=(--port "rfc2217://127.0.0.1:$(start_server "b$i")")
  done
  status=0
  /usr/bin/time -f '%U %S %M %e' -o "$tmp/time" \
    "$korv" --console "${ports[@]}" --file "$tmp/batch.txt" --log-dir "$tmp/logs" \
    >"$tmp/summary" 2>"$tmp/err" || status=$?
  effs=()
  for ((i = 0; i < count; i++)); do
    wait_for RECEIVED "$tmp/b$i.out" 30 >/dev/null || true
    grep -q "RECEIVED $bsize bytes" "$tmp/b$i.out" || { effs+=(0); continue; }
    effs+=("$(awk -v size="$bsize" '$2 == "RECEIVING" && !s { s = $1 } $2 == "RECEIVED" { e = $1 }
      END { printf "%.4f\n", size / (e - s) / 5760 }' "$tmp/b$i.out")")
  done
  sorted=$(printf '%s\n' "${effs[@]}" | sort -g)
  read -r user sys kib wall <"$tmp/time"
  echo
  echo "| rfc2217 testers in one batch | efficiency min / median / max | CPU share of one core | peak RSS (KiB) | wall (s) | exit |"
  echo "|---:|---|---:|---:|---:|---:|"
  echo "| $count | $(head -n1 <<<"$sorted") / $(sed -n "$(((count + 1) / 2))p" <<<"$sorted") / $(tail -n1 <<<"$sorted") |" \
    "$(calc '%.2f %%' "100 * ($user + $sys) / $wall") | $kib | $wall | $status |"
fi

# 5. The Windows console program under Wine, to the same kind of server.
if [[ " $only " == *" 5 "* && -n "${WINE_EXE:-}" ]]; then
  start_sim wine --wait-open rate --expect "$size" --buffer 4194304 --save "$tmp/wine.got"
  port=$(start_server wine)
  status=0
  WINEDEBUG=-all wine "$WINE_EXE" --port "rfc2217://127.0.0.1:$port" --file "Z:${big//\//\\}" \
    2>&1 >/dev/null | tr -d '\r' | stamp >"$tmp/wine.korv" || status=$?
  wait_for RECEIVED "$tmp/wine.out" 30 >/dev/null
  s=$(t_of RECEIVING "$tmp/wine.out"); e=$(t_of RECEIVED "$tmp/wine.out")
  sent=$(t_of "Sent '" "$tmp/wine.korv")
  exact=no
  grep -q "RECEIVED $size bytes" "$tmp/wine.out" && cmp -s "$big" "$tmp/wine.got" && exact=yes
  echo
  echo "korvalin-console.exe under Wine over rfc2217://: byte-exact $exact, efficiency" \
    "$(calc '%.4f' "$size / ($e - $s) / 5760"), \"Sent\" minus last byte $(calc '%+.2f' "$sent - $e") s, exit $status"
fi
