# Rounds with faults injected from outside, sourced by scripts/e2e (with the namespaces and
# helpers): a relay service stopped and started again in the middle of play, one down
# for 70 s, a home router that forgets idle mappings after 15 s, 20% loss each way, and
# three relays behind one name, of which the one holding the session is killed and
# then the next one stopped, and three relays of which a player cannot reach the
# session's first for a while. The rounds run side by side on players of their own and
# print their checks once all have ended.

# Relay services of their own, each on an address of the relay host.
for n in 2 3 4 5 6 7 8; do ip netns exec ozr ip addr add "203.0.0.$n/32" dev lo; done
declare -A relay_pids

start_relay() {  # start_relay ADDRESS: a relay service at ADDRESS:3669 (again, after a stop)
  ip netns exec ozr "$relay_bin" --port 3669 --bind "$1" --stats-interval 1 \
    >>"$work/relay-$1.log" 2>&1 &
  relay_pids[$1]=$!
}
stop_relay() {  # stop_relay ADDRESS SIGNAL
  kill "-$2" "${relay_pids[$1]}" 2>/dev/null
  wait "${relay_pids[$1]}" 2>/dev/null
}
await() {  # await FILE PATTERN SECONDS: until the pattern shows in the file
  local end=$((SECONDS + $3))
  while [ $SECONDS -lt $end ]; do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# within SECONDS START END: END (an $EPOCHREALTIME) came at most SECONDS after START
within() { awk -v s="$1" -v a="$2" -v b="$3" 'BEGIN { exit !(b - a <= s) }'; }
lines() { grep -c "$2" "$1" 2>/dev/null; }  # lines FILE PATTERN
# The relay (of those named, all running) whose last stats line counts `members=N`.
holder() {
  local n=$1 a
  shift
  for a in "$@"; do
    [ "$(grep -o 'members=[0-9]*' "$work/relay-$a.log" 2>/dev/null | tail -n 1)" = "members=$n" ] &&
      { echo "$a"; return; }
  done
}

# A: the relay service stops (SIGTERM) in the middle of play and is back 5 s later. The
# host and the first joiner sit behind the two home routers, so their game traffic goes
# through the relay; a player who starts after the restart must find the host at the
# address it advertised before.
round_restart() {
  local r=203.0.0.2 base=$work/restart
  start_relay $r
  play_relay=$r:3669
  say "--- restart: ozq1 hosts behind router 1, ozq3 joins from behind router 2; the relay stops (SIGTERM) and is back 5 s later; then ozp1 joins"
  play ozq1 restart "$base-ozq1.log" host --udp 4200 --name ozq1 --timeout 70 --players 2 --bind-own-address --advertise
  sleep 4
  play ozq3 restart "$base-ozq3.log" join --udp 4200 --name ozq3 --count 5 --advertise --timeout 20
  await "$base-ozq3.log" "game ended" 45
  stop_relay $r TERM
  local stopped=$EPOCHREALTIME
  await "$base-ozq1.log" "relay lost; reconnecting" 3
  local noticed=$EPOCHREALTIME
  sleep 5
  start_relay $r
  local back=$EPOCHREALTIME
  await "$base-ozq1.log" "^ozlaunch: rejoined session 'restart'" 15
  local rejoined=$EPOCHREALTIME
  play ozp1 restart "$base-ozp1.log" join --udp 4200 --name ozp1 --count 5 --advertise --timeout 30
  wait_for "$base-ozq1.log" "$base-ozq3.log" "$base-ozp1.log"
  show "$base-ozq1.log"; show "$base-ozq3.log"; show "$base-ozp1.log"
  say "  the host's launcher: relay lost $(awk -v a="$stopped" -v b="$noticed" 'BEGIN { printf "%.1f", b - a }') s after the stop, rejoined $(awk -v a="$back" -v b="$rejoined" 'BEGIN { printf "%.1f", b - a }') s after the relay was back"
  check "restart: ozq3 played 5 round trips with ozq1 before the stop" \
    grep -q "^join: 5 directed round trips" "$base-ozq3.log"
  check "restart: ozq1's launcher said at once that it reconnects" within 1.5 "$stopped" "$noticed"
  check "restart: ... and rejoined within 2.5 s of the relay being back" within 2.5 "$back" "$rejoined"
  check "restart: ozp1, started after the restart, played 5 round trips at ozq1's advertised relayed address" \
    bash -c "grep -q '^join: playing at the advertised 172\.[123][0-9]\.[0-9.]*:4200' '$base-ozp1.log' && grep -q '^join: 5 directed round trips' '$base-ozp1.log'"
  check "restart: ozq1 saw ozp1 at its relayed address" grep -q "^host: found by ozp1 at 172\.[123][0-9]\." "$base-ozq1.log"
  check "restart: every game exited 0" \
    test "$(exit_code "$base-ozq1.log")-$(exit_code "$base-ozq3.log")-$(exit_code "$base-ozp1.log")" = 0-0-0
  stop_relay $r INT
}

# B: the relay service is killed and down for 70 s; nobody restarts anything.
round_down() {
  local r=203.0.0.3 base=$work/down
  start_relay $r
  play_relay=$r:3669
  say "--- down: ozp2 hosts; the relay is killed (SIGKILL: it says nothing) and is back 70 s later; then ozp3 joins"
  play ozp2 down "$base-ozp2.log" host --udp 4210 --name ozp2 --timeout 140 --players 1
  await "$base-ozp2.log" "game started" 30
  sleep 2
  stop_relay $r KILL
  sleep 70
  start_relay $r
  local back=$EPOCHREALTIME
  await "$base-ozp2.log" "^ozlaunch: rejoined session 'down'" 15
  local rejoined=$EPOCHREALTIME
  play ozp3 down "$base-ozp3.log" join --udp 4210 --name ozp3 --count 5 --timeout 30
  wait_for "$base-ozp2.log" "$base-ozp3.log"
  show "$base-ozp2.log"; show "$base-ozp3.log"
  check "down: ozp2's launcher noticed the silent relay" grep -q "relay lost; reconnecting" "$base-ozp2.log"
  check "down: ... said it keeps trying" grep -q "has not answered for 20 s; still trying" "$base-ozp2.log"
  check "down: ... and rejoined within 2.5 s of the relay being back" within 2.5 "$back" "$rejoined"
  check "down: ozp3, started afterwards, found ozp2 and played 5 round trips" \
    grep -q "^join: 5 directed round trips" "$base-ozp3.log"
  check "down: both games exited 0" test "$(exit_code "$base-ozp2.log")-$(exit_code "$base-ozp3.log")" = 0-0
  stop_relay $r INT
}

# C: router 2 forgets idle UDP mappings after 15 s (and picks a new port for a new
# one). ozq3 hosts behind it and idles 90 s; its launcher's keep-alive holds the
# mapping, so the relay never sees it from an unknown port.
round_idle_router() {
  local r=203.0.0.4 base=$work/idle
  ip netns exec ozn2 sysctl -qw net.netfilter.nf_conntrack_udp_timeout=15 \
    net.netfilter.nf_conntrack_udp_timeout_stream=15
  start_relay $r
  play_relay=$r:3669
  say "--- idle: ozq3 hosts behind router 2, which forgets idle UDP mappings after 15 s; 90 s later ozq1 joins"
  play ozq3 idle "$base-ozq3.log" host --udp 4220 --name ozq3 --timeout 130 --bind-own-address --advertise
  await "$base-ozq3.log" "game started" 30
  sleep 90
  play ozq1 idle "$base-ozq1.log" join --udp 4220 --name ozq1 --count 5 --advertise --timeout 20
  wait_for "$base-ozq3.log" "$base-ozq1.log"
  show "$base-ozq3.log"; show "$base-ozq1.log"
  check "idle: ozq1 found ozq3 and played 5 round trips at its advertised relayed address" \
    bash -c "grep -q '^join: playing at the advertised 172\.[123][0-9]' '$base-ozq1.log' && grep -q '^join: 5 directed round trips' '$base-ozq1.log'"
  check "idle: ozq3's launcher never lost its link" bash -c "! grep -q 'relay lost' '$base-ozq3.log'"
  stop_relay $r INT
  check "idle: the relay never saw ozq3 from a port it did not know" \
    grep -q "stopped; .* notices=0 .*replaced=0" "$work/relay-$r.log"
  ip netns exec ozn2 sysctl -qw net.netfilter.nf_conntrack_udp_timeout=30 \
    net.netfilter.nf_conntrack_udp_timeout_stream=120
}

# D: 20% of the datagrams lost each way on both players' links while they start.
round_loss() {
  local r=203.0.0.5 base=$work/loss
  start_relay $r
  play_relay=$r:3669
  say "--- loss: ozp1 hosts and ozq2 joins while 20% of datagrams are lost each way on both players' links"
  set_loss 20 ozp1 ozq2
  play ozp1 loss "$base-ozp1.log" host --udp 4230 --name ozp1 --timeout 60
  play ozq2 loss "$base-ozq2.log" join --udp 4230 --name ozq2 --count 5 --timeout 40
  wait_for "$base-ozp1.log" "$base-ozq2.log"
  set_loss 0 ozp1 ozq2
  show "$base-ozp1.log"; show "$base-ozq2.log"
  check "loss: both launchers joined" \
    test "$(lines "$base-ozp1.log" "^ozlaunch: joined")-$(lines "$base-ozq2.log" "^ozlaunch: joined")" = 1-1
  check "loss: ozq2 found ozp1" grep -q "^join: found host ozp1" "$base-ozq2.log"
  stop_relay $r INT
}

# E: three relays behind one name. The one holding the session is killed: the members
# meet on the next; that one is stopped: they move on at once.
round_relays() {
  local relays=(203.0.0.6 203.0.0.7 203.0.0.8) base=$work/relays a
  for a in "${relays[@]}"; do start_relay "$a"; done
  for p in ozp1 ozp2 ozp3; do
    for a in "${relays[@]}"; do printf '%s relays.ozlan.test\n' "$a" >>"/etc/netns/$p/hosts"; done
  done
  play_relay=relays.ozlan.test:3669
  say "--- relays: relays.ozlan.test names three relays; ozp2 hosts; the relay holding the session is killed (SIGKILL), ozp3 joins; the next one is stopped (SIGTERM), ozp1 joins"
  play ozp2 relays "$base-ozp2.log" host --udp 4240 --name ozp2 --timeout 150 --players 2
  await "$base-ozp2.log" "game started" 30
  sleep 2
  local first second
  first=$(holder 1 "${relays[@]}")
  stop_relay "$first" KILL
  local killed=$EPOCHREALTIME
  await "$base-ozp2.log" "^ozlaunch: the relay service at .* stopped answering; session 'relays' moved to" 60
  local rejoined=$EPOCHREALTIME
  sleep 2
  local alive=()
  for a in "${relays[@]}"; do [ "$a" = "$first" ] || alive+=("$a"); done
  second=$(holder 1 "${alive[@]}")
  play ozp3 relays "$base-ozp3.log" join --udp 4240 --name ozp3 --count 5 --timeout 30
  await "$base-ozp3.log" "game ended" 60
  stop_relay "$second" TERM
  local stopped=$EPOCHREALTIME
  until [ "$(lines "$base-ozp2.log" "^ozlaunch: rejoined session 'relays'")" -ge 1 ] ||
        ! within 10 "$stopped" "$EPOCHREALTIME"; do sleep 0.1; done
  local moved=$EPOCHREALTIME
  sleep 1
  local third
  third=$(holder 1 "${alive[@]/$second/}")
  play ozp1 relays "$base-ozp1.log" join --udp 4240 --name ozp1 --count 5 --timeout 30
  wait_for "$base-ozp2.log" "$base-ozp3.log" "$base-ozp1.log"
  show "$base-ozp2.log"; show "$base-ozp3.log"; show "$base-ozp1.log"
  say "  the session was on ${first:-?}, then ${second:-?}, then ${third:-?}; after the kill ozp2 moved in $(awk -v a="$killed" -v b="$rejoined" 'BEGIN { printf "%.1f", b - a }') s, after the stop in $(awk -v a="$stopped" -v b="$moved" 'BEGIN { printf "%.1f", b - a }') s"
  check "relays: after the kill the session moved to another relay" \
    test -n "$second" -a "$second" != "$first"
  # Idle, the launcher asks its relay every 10 s; a relay silent for 4 s after that is left.
  check "relays: ... within 15 s of the kill (the link's time-out is 30 s)" within 15 "$killed" "$rejoined"
  check "relays: ozp3 met ozp2 there and played 5 round trips" \
    grep -q "^join: 5 directed round trips" "$base-ozp3.log"
  check "relays: after the stop ozp2 rejoined within 2 s" within 2 "$stopped" "$moved"
  check "relays: ... on the third relay" \
    test -n "$third" -a "$third" != "$first" -a "$third" != "$second"
  check "relays: ozp1 met ozp2 there and played 5 round trips" \
    grep -q "^join: 5 directed round trips" "$base-ozp1.log"
  check "relays: every game exited 0" \
    test "$(exit_code "$base-ozp2.log")-$(exit_code "$base-ozp3.log")-$(exit_code "$base-ozp1.log")" = 0-0-0
  for a in "${relays[@]}"; do stop_relay "$a" INT; done
}

# F: three relays; one player's path to the session's first relay is blocked while it
# joins and for 20 s more: it waits on the next relay, then both meet on the first.
round_split() {
  local relays=(203.0.0.6 203.0.0.7 203.0.0.8) base=$work/split a
  for a in "${relays[@]}"; do start_relay "$a"; done
  play_relay=203.0.0.6:3669,203.0.0.7:3669,203.0.0.8:3669
  say "--- split: ozp2 hosts on the session's first relay; ozp3's path to it is blocked while it joins and for 20 s more, then opened"
  play ozp2 split "$base-ozp2.log" host --udp 4250 --name ozp2 --timeout 120
  await "$base-ozp2.log" "game started" 30
  sleep 1
  local first
  first=$(holder 1 "${relays[@]}")
  ip netns exec ozr nft -f - <<NFT
table ip split {
  chain in { type filter hook input priority 0; ip saddr $(player_ip ozp3) ip daddr ${first:-203.0.0.6} udp dport 3669 drop; }
}
NFT
  play ozp3 split "$base-ozp3.log" join --udp 4250 --name ozp3 --count 5 --timeout 90
  await "$base-ozp3.log" "^ozlaunch: joined" 30
  sleep 20
  ip netns exec ozr nft delete table ip split
  local opened=$EPOCHREALTIME
  await "$base-ozp3.log" "moved back to its first relay service" 30
  local home=$EPOCHREALTIME
  wait_for "$base-ozp2.log" "$base-ozp3.log"
  show "$base-ozp2.log"; show "$base-ozp3.log"
  say "  the session's first relay was ${first:-?}; ozp3 was back on it $(awk -v a="$opened" -v b="$home" 'BEGIN { printf "%.1f", b - a }') s after its path opened"
  check "split: ozp3 moved back to the session's first relay within 10 s of its path opening" \
    within 10 "$opened" "$home"
  check "split: ozp3 met ozp2 there and played 5 round trips" \
    grep -q "^join: 5 directed round trips" "$base-ozp3.log"
  check "split: both games exited 0" \
    test "$(exit_code "$base-ozp2.log")-$(exit_code "$base-ozp3.log")" = 0-0
  for a in "${relays[@]}"; do stop_relay "$a" INT; done
}

# Two lanes side by side: A, then C beside D; B, then E, then F. (Waits name their processes:
# the shell has the main relay service in the background too.)
{
  round_restart >"$work/faults-a.out" 2>&1
  round_idle_router >"$work/faults-c.out" 2>&1 &
  idle=$!
  round_loss >"$work/faults-d.out" 2>&1
  wait "$idle"
} &
lane1=$!
{
  round_down >"$work/faults-b.out" 2>&1
  round_relays >"$work/faults-e.out" 2>&1
  round_split >"$work/faults-f.out" 2>&1
} &
lane2=$!
wait "$lane1" "$lane2"
for round in a b c d e f; do
  cat "$work/faults-$round.out"
  passed=$((passed + $(grep -c '^PASS' "$work/faults-$round.out")))
  failed=$((failed + $(grep -c '^FAIL' "$work/faults-$round.out")))
done
