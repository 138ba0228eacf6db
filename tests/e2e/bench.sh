# The measuring rounds of scripts/e2e --bench (bench/lan-bench): broadcast latency and
# directed round trips through launchers and the relay service, between players on one
# bridge and behind the two routers, the relay's CPU per relayed game datagram, the
# same game on the plain LAN without the product, and a session under 5% loss.
# shellcheck shell=bash

# bench_round NAME LOSS-PERCENT: 250 timed broadcasts and 50 round trips between
# players 1 and 2 through launchers and the relay service.
# bench_round NAME LOSS-PERCENT [HOST JOINER]: players 1 and 2 unless named.
bench_round() {
  local name=$1 loss=$2 host=${3:-ozp1} joiner=${4:-ozp2}
  [ "$loss" = 0 ] || set_loss "$loss" "$host" "$joiner"
  play "$host" "s-$name" "$work/$name-p1.log" host --udp 4000 --name player1 --timeout 90
  sleep 4
  play "$joiner" "s-$name" "$work/$name-p2.log" join --udp 4000 --name player2 --count 50 \
    --broadcasts 250 --timeout 60
  wait_for "$work/$name-p1.log" "$work/$name-p2.log"
  say "--- $name (loss ${loss}% each way on both players' links)"
  grep -h "^host: broadcast latency\|^host: timed broadcasts\|^join: found\|^join: .*round trips\|^join: only\|^host: nobody\|^join: no host\|game ended" \
    "$work/$name-p1.log" "$work/$name-p2.log" | tr -d '\r' | sed 's/^/  /'
  [ "$loss" = 0 ] || set_loss 0 "$host" "$joiner"
}

# Directed round trips of the same game on the plain LAN: builtin Winsock, no launcher,
# discovery by a real broadcast on the bridge.
baseline_round() {
  for p in ozp1 ozp2; do mkdir -p "$work/$p/plain" && cp "$win/bin/lanping.exe" "$work/$p/plain/"; done
  run_plain() {
    local ns=$1 log=$2
    shift 2
    ip netns exec "$ns" env WINEPREFIX="$work/$ns/prefix" WINEARCH="$arch" WINEDEBUG=-all \
      "$loader" "Z:${work//\//\\}\\$ns\\plain\\lanping.exe" "$@" >"$log" 2>&1 </dev/null &
  }
  run_plain ozp1 "$work/plain-p1.log" host --udp 4100 --name player1 --timeout 60
  sleep 2
  run_plain ozp2 "$work/plain-p2.log" join --udp 4100 --name player2 --count 50 --timeout 30
  for _ in $(seq 1 120); do grep -q "round trips\|no host\|only" "$work/plain-p2.log" 2>/dev/null && break; sleep 0.5; done
  sleep 1
  say "--- baseline: the same game on the plain LAN, no proxy, no launcher"
  grep -h "^join: found\|^join: .*round trips\|^join: only\|^join: no host" "$work/plain-p2.log" | tr -d '\r' | sed 's/^/  /'
}

# cost_round: 2,000 directed round trips between players behind the two routers, all
# through the relay service; its CPU time (from /proc) per relayed game datagram, less
# what it spends meanwhile when idle (measured for 5 s before, with the host joined).
cost_round() {
  cpu() { awk '{print $1}' "/proc/$relay_pid/schedstat"; }
  local c0 c1 c2 t0 t1 t2
  play ozq1 s-cost "$work/cost-p1.log" host --udp 4000 --name player1 --timeout 120
  sleep 4
  c0=$(cpu) t0=$(date +%s%N)
  sleep 5
  c1=$(cpu) t1=$(date +%s%N)
  play ozq3 s-cost "$work/cost-p2.log" join --udp 4000 --name player2 --count 2000 --timeout 100
  wait_for "$work/cost-p1.log" "$work/cost-p2.log"
  c2=$(cpu) t2=$(date +%s%N)
  local idle=$(((c1 - c0) * (t2 - t1) / (t1 - t0)))
  say "--- cost: 2,000 directed round trips between players behind the two routers"
  grep -h "^join: .*round trips\|^join: only" "$work/cost-p2.log" | tr -d '\r' | sed 's/^/  /'
  # Each round trip is two game datagrams through the relay (in, and out again).
  say "  relay CPU: $(((c2 - c1) / 1000000)) ms in $(((t2 - t1) / 1000000)) ms, of which idle $((idle / 1000000)) ms; $(((c2 - c1 - idle) / 4000)) ns per relayed game datagram (discovery included)"
}

bench_round relayed 0
# Directed traffic between players behind two routers goes through the relay
# service; the same pair of rounds again shows the spread between runs.
bench_round nat-relayed 0 ozq1 ozq3
bench_round direct-again 0
bench_round nat-relayed-again 0 ozq1 ozq3
cost_round
baseline_round
bench_round lossy 5
