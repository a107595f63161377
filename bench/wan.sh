#!/usr/bin/env bash
# The network port beyond a LAN (not a test; see docs/PERFORMANCE.md): `korvalin --console`
# sending through Debian's ser2net over a user-space WAN, two TUN devices and a relay that delays
# and drops packets (bench/wan_relay.py; this kernel may lack netem), with ser2net in a network
# namespace behind it. The tester (bench/wan_tester.py) takes bytes at the line rate of 57600
# baud and records when each would reach it. Figures, each a ratio against the line rate or
# against the baseline measured in the same run:
#   1. the same file over the WAN and, as the baseline, on a LAN (the relay with no delay or loss):
#      efficiency (line time / transfer time at the tester), the longest gap on the tester's line,
#      "Sent" minus the tester's last byte;
#   2. with OLD=path to an earlier korvalin: item 1 over the WAN by that program;
#   3. Ctrl+C mid-transfer over the WAN: bytes that reach the tester after it;
#   4. the link dies (every packet dropped) mid-transfer, and while the program waits for the
#      prompt: seconds until the program says so, and what it says.
# Needs root (TUN devices, a namespace). Usage: bench/wan.sh [BUILD_DIR]
#   RTT_MS=300 LOSS=0.005 SIZE=131072 ONLY="1 4" (1: items 1-3, 4: item 4)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
rtt="${RTT_MS:-300}"
loss="${LOSS:-0.005}"
size="${SIZE:-131072}"
korv="$PWD/$build/src/entry/korvalin"
[ -x "$korv" ] || { echo "build korvalin first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root (TUN devices and a network namespace)" >&2; exit 1; }
command -v ser2net >/dev/null || { echo "ser2net is not installed (scripts/deps)" >&2; exit 1; }
tmp=$(mktemp -d)
ns=korvwan$$
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  [ -n "${KEEP:-}" ] && echo "kept $tmp" >&2 || rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$tmp/config"
stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }
calc() { awk "BEGIN { printf \"$1\n\", $2 }"; }
{ printf '* wan benchmark\n'; yes 'numbered text of the update file, as testers get it'; } |
  head -c "$size" >"$tmp/update.txt" || true

# link RTT LOSS: a fresh relay and namespace; the server's address is 10.77.0.2.
link() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=()
  ip netns del "$ns" 2>/dev/null || true
  ip netns add "$ns"
  rm -f "$tmp/relay.out.$1"
  mkfifo "$tmp/relay.out.$1"
  python3 bench/wan_relay.py korva korvb "$1" "$2" >"$tmp/relay.out.$1" &
  relay=$!
  pids+=($relay)
  read -r _ <"$tmp/relay.out.$1"
  ip link set korvb netns "$ns"
  ip addr add 10.77.0.1/24 dev korva
  ip link set korva up
  ip netns exec "$ns" ip addr add 10.77.0.2/24 dev korvb
  ip netns exec "$ns" ip link set korvb up
  ip netns exec "$ns" ip link set lo up
}

# run NAME PROGRAM [interrupt-after-s]: one transfer; prints
# "<efficiency> <longest gap s> <sent - last byte s> <exit> <bytes after interrupt>"
run() {
  local name=$1 program=$2 cut=${3:-}
  mkfifo "$tmp/$name.ctl"
  python3 bench/wan_tester.py "$tmp/$name.sum" 4 <"$tmp/$name.ctl" >"$tmp/$name.pty" &
  local tester=$!
  exec {ctl}>"$tmp/$name.ctl"
  for ((w = 0; w < 100; w++)); do [ -s "$tmp/$name.pty" ] && break; sleep 0.05; done
  cat >"$tmp/$name.yaml" <<YAML
connection: &c
  accepter: telnet(rfc2217),tcp,10.77.0.2,2217
  connector: serialdev(nouucplock),$(head -n1 "$tmp/$name.pty"),9600n81,local
YAML
  ip netns exec "$ns" ser2net -n -d -c "$tmp/$name.yaml" >/dev/null 2>&1 &
  local server=$!
  sleep 1
  (
    echo "$BASHPID" >"$tmp/$name.pid"
    exec "$program" --console --port rfc2217://10.77.0.2:2217 --file "$tmp/update.txt" \
      --prompt-timeout 60 2>&1 >/dev/null
  ) | stamp >"$tmp/$name.korv" &
  local korvpid=$!
  (sleep 6; ss -tin dst 10.77.0.2 | grep -o 'rtt:[0-9.]*' | head -n1 >"$tmp/$name.rtt") &
  if [ "$cut" = dead ]; then
    sleep 6
    kill -USR1 "$relay"
    echo "dead $EPOCHREALTIME" >"$tmp/$name.dead"
    # A program that does not end by itself (a port lost while waiting is reported, and the
    # program waits for the operator) is interrupted once it has had ample time to say so.
    (sleep 45; kill -INT "$(cat "$tmp/$name.pid")" 2>/dev/null) &
    wait "$korvpid" || true
    kill "$tester" "$server" 2>/dev/null || true
    wait "$tester" "$server" 2>/dev/null || true
    exec {ctl}>&-
    return 0
  elif [ -n "$cut" ]; then
    sleep "$cut"
    local t=$EPOCHREALTIME
    kill -INT "$(cat "$tmp/$name.pid")"
    echo "interrupt $t" >&"$ctl"
  fi
  wait "$korvpid" || true
  wait "$tester" || true
  exec {ctl}>&-
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  local total first last gap after sent
  read -r total first last gap after <"$tmp/$name.sum"
  sent=$(grep -m1 "Sent '" "$tmp/$name.korv" | cut -d' ' -f1 || true)
  echo "the kernel's round trip during $name: $(cat "$tmp/$name.rtt" 2>/dev/null) ms" >&2
  echo "$(calc '%.3f' "$total / 5760 / ($last - $first)") $gap" \
    "$([ -n "$sent" ] && calc '%+.2f' "$sent - $last" || echo none) $total ${after:--}"
}

echo "# WAN: $(date -u +%Y-%m-%dT%H:%MZ), round trip $rtt ms, loss $loss each way, $size bytes"
if [[ " ${ONLY:-1 4} " == *" 1 "* ]]; then
link 0 0
read -r lan_eff lan_gap lan_sent lan_total _ < <(run lan "$korv")
link "$rtt" "$loss"
read -r wan_eff wan_gap wan_sent wan_total _ < <(run wan "$korv")
echo
echo "| $size bytes at 57600 baud | efficiency | longest gap at the tester | \"Sent\" minus last byte | bytes at the tester |"
echo "|---|---:|---:|---:|---:|"
echo "| LAN (baseline) | $lan_eff | $lan_gap s | $lan_sent s | $lan_total |"
echo "| ${rtt} ms, loss $loss | $wan_eff | $wan_gap s | $wan_sent s | $wan_total |"
if [ -n "${OLD:-}" ]; then
  read -r old_eff old_gap old_sent old_total _ < <(run old "$OLD")
  echo "| ${rtt} ms, loss $loss, OLD | $old_eff | $old_gap s | $old_sent s | $old_total |"
fi
echo
echo "WAN / LAN efficiency: $(calc '%.3f' "$wan_eff / $lan_eff")"
read -r _ _ _ _ cut_after < <(run cut "$korv" 8)
echo "bytes at the tester after Ctrl+C over the WAN: $cut_after"

fi

# 4. A dead link, mid-transfer and while waiting for the prompt.
dead() {  # NAME: prints "<seconds from the link's death to the program's message> <message>"
  local died said
  died=$(cut -d' ' -f2 "$tmp/$1.dead")
  said=$(grep -m1 -E "did not complete|Lost the connection" "$tmp/$1.korv" || true)
  echo "$(calc '%.1f' "$(cut -d' ' -f1 <<<"$said") - $died") s: $(cut -d' ' -f2- <<<"$said" | sed 's/.*: //')"
}
[[ " ${ONLY:-1 4} " == *" 4 "* ]] || exit 0
link "$rtt" "$loss"
run deadsend "$korv" dead >/dev/null || true
echo "link dead mid-transfer: $(dead deadsend)"
link "$rtt" "$loss"
NO_PROMPT=1 run deadwait "$korv" dead >/dev/null || true
echo "link dead while waiting for the prompt: $(dead deadwait)"
