# The end-to-end topology and helpers, sourced by scripts/e2e before any round: the
# relay host and the players' namespaces (each player on a network of its own, routed
# through the relay host; players behind two home routers; for --bench everyone on one
# bridge), the relay service, each player's Wine prefix and wineserver, and the helpers
# the rounds share (check, play, wait_for, run_round, nat_round, set_loss).
# shellcheck shell=bash

say() { printf '%s\n' "$*"; }
check() {  # check NAME CONDITION...: one line per check
  local name=$1
  shift
  if "$@"; then say "PASS: $name"; passed=$((passed + 1)); else say "FAIL: $name"; failed=$((failed + 1)); fi
}

if [ "$(id -u)" != 0 ] || ! ip netns add ozlan-probe 2>/dev/null; then
  say "e2e: SKIPPED: network namespaces cannot be made here (needs root and ip netns)"
  exit 77
fi
ip netns del ozlan-probe
for f in "$relay_bin" "$flood_bin" "$win/bin/ozlaunch.exe" "$win/bin/OZLAN.dll" "$win/bin/ozws.dll" \
         "$win/bin/QUILLET.DLL" "$win/bin/lanping.exe" "$win/bin/lanping2.exe"; do
  [ -f "$f" ] || { say "e2e: $f is missing; run scripts/test or scripts/demo first"; exit 1; }
done

# The relay host and three players. The test runs each player on a network of its
# own, routed through the relay host, so that nothing a game broadcasts can reach
# another player except through the product. The benchmark puts everyone on one
# bridge instead, where the same game can also play without the product (baseline).
players=(ozp1 ozp2 ozp3)
relay_ip=203.0.0.1
# Behind home routers: ozq1 and ozq2 behind router ozn1, ozq3 and ozq4 behind ozn2.
nat_players=(ozq1 ozq2 ozq3 ozq4)
routers=(ozn1 ozn2)

cleanup() {
  # Game folders made read-only for a round (a bind mount over themselves).
  grep -o " ${work:-/nonexistent}/[^ ]*/game " /proc/mounts 2>/dev/null | xargs -r -n1 umount 2>/dev/null
  for ns in ozr "${players[@]}" "${nat_players[@]}" "${routers[@]}"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null
    ip netns del "$ns" 2>/dev/null
    rm -rf "/etc/netns/$ns"
  done
  ip link del ozbr0 2>/dev/null
}
cleanup
trap cleanup EXIT

hosts_file() {  # hosts_file NS ADDRESS: the host's name resolves to its own address
  mkdir -p "/etc/netns/$1"
  printf '127.0.0.1 localhost\n%s %s\n' "$2" "$(hostname)" >"/etc/netns/$1/hosts"
  # The public players by name, as a server's name in a game's "connect to" box.
  [ "$mode" = bench ] || printf '203.0.%s.2 ozp%s.ozlan.test\n' 1 1 2 2 3 3 >>"/etc/netns/$1/hosts"
}
ip netns add ozr
ip netns exec ozr ip link set lo up
if [ "$mode" = bench ]; then
  ip link add ozbr0 type bridge && ip link set ozbr0 up
  n=1
  for ns in ozr "${players[@]}"; do
    address=203.0.0.$n
    n=$((n + 1))
    [ "$ns" = ozr ] || ip netns add "$ns"
    ip link add "v-$ns" type veth peer name eth0 netns "$ns"
    ip link set "v-$ns" master ozbr0 up
    ip netns exec "$ns" ip addr add "$address/24" dev eth0
    ip netns exec "$ns" ip link set eth0 up
    ip netns exec "$ns" ip link set lo up
    ip netns exec "$ns" ip route add default dev eth0  # where 255.255.255.255 goes
    hosts_file "$ns" "$address"
  done
  player_ip() { echo "203.0.0.$((${1#ozp} + 1))"; }
else
  ip netns exec ozr ip addr add "$relay_ip/32" dev lo
  for ns in "${players[@]}"; do
    n=${ns#ozp}
    ip netns add "$ns"
    ip link add "v-$ns" netns ozr type veth peer name eth0 netns "$ns"
    ip netns exec ozr ip addr add "203.0.$n.1/24" dev "v-$ns"
    ip netns exec ozr ip link set "v-$ns" up
    ip netns exec "$ns" ip addr add "203.0.$n.2/24" dev eth0
    ip netns exec "$ns" ip link set eth0 up
    ip netns exec "$ns" ip link set lo up
    ip netns exec "$ns" ip route add default via "203.0.$n.1"
    hosts_file "$ns" "203.0.$n.2"
  done
  player_ip() { echo "203.0.${1#ozp}.2"; }
fi
ip netns exec ozr sysctl -qw net.ipv4.ip_forward=1
# Two home routers on the public side (203.0.11.2, 203.0.12.2), each with a network
# of its own behind it (10.97.1.0/24, 10.97.2.0/24): source NAT out, and in only
# what answers something sent out. Router 2 also rewrites source ports at random.
# Nothing routes to the private networks.
for n in 1 2; do
  r=ozn$n
  ip netns add "$r"
  ip netns exec "$r" ip link set lo up
  ip link add "v-$r" netns ozr type veth peer name wan netns "$r"
  ip netns exec ozr ip addr add "203.0.1$n.1/24" dev "v-$r"
  ip netns exec ozr ip link set "v-$r" up
  ip netns exec "$r" ip addr add "203.0.1$n.2/24" dev wan
  ip netns exec "$r" ip link set wan up
  ip netns exec "$r" ip route add default via "203.0.1$n.1"
  ip netns exec "$r" ip link add lan type bridge
  ip netns exec "$r" ip addr add "10.97.$n.1/24" dev lan
  ip netns exec "$r" ip link set lan up
  ip netns exec "$r" sysctl -qw net.ipv4.ip_forward=1
  masquerade=masquerade
  [ "$n" = 2 ] && masquerade="masquerade random"
  ip netns exec "$r" nft -f - <<NFT
table ip home {
  chain post { type nat hook postrouting priority 100; oifname "wan" $masquerade; }
  chain guard { type filter hook forward priority 0; policy drop; ct state established,related accept; iifname "lan" accept; }
}
NFT
done
for entry in ozq1:1:2 ozq2:1:3 ozq3:2:2 ozq4:2:3; do
  IFS=: read -r ns n host <<<"$entry"
  ip netns add "$ns"
  ip link add "v-$ns" netns "ozn$n" type veth peer name eth0 netns "$ns"
  ip netns exec "ozn$n" ip link set "v-$ns" master lan up
  ip netns exec "$ns" ip addr add "10.97.$n.$host/24" dev eth0
  ip netns exec "$ns" ip link set eth0 up
  ip netns exec "$ns" ip link set lo up
  ip netns exec "$ns" ip route add default via "10.97.$n.1"
  hosts_file "$ns" "10.97.$n.$host"
done

rm -rf "$work" && mkdir -p "$work"
ip netns exec ozr "$relay_bin" --port 3669 --bind "$relay_ip" --stats-interval 3600 \
  >"$work/relay.log" 2>&1 &
relay_pid=$!

loader=/usr/lib/wine/wine
[ "$arch" = win64 ] && loader=/usr/lib/wine/wine64
for p in "${players[@]}" "${nat_players[@]}"; do
  mkdir -p "$work/$p/ozlan" "$work/$p/game"
  cp "$win/bin/ozlaunch.exe" "$win/bin/OZLAN.dll" "$win/bin/ozws.dll" "$win/bin/QUILLET.DLL" "$work/$p/ozlan/"
  cp "$win/bin/lanping.exe" "$win/bin/lanping2.exe" "$work/$p/game/"
  cp -a "$here/build/wineprefix-$arch" "$work/$p/prefix"
  # The wineserver makes the sockets: it must live in the player's namespace.
  ip netns exec "$p" env WINEPREFIX="$work/$p/prefix" WINEARCH="$arch" wineserver -p >/dev/null 2>&1 </dev/null
done

# play NS SESSION LOG GAME-ARGS...: one player's launcher and game, in the background.
# Variables in play_env (NAME=VALUE) go to that launcher too; play_relay names the
# relay (or relays) it joins; play_game the game (lanping2.exe: its Winsock 2 build);
# play_launcher holds more launcher options (--inside).
play_env=()
play_relay=$relay_ip:3669
play_game=lanping.exe
play_launcher=()
play() {
  local ns=$1 session=$2 log=$3
  shift 3
  ip netns exec "$ns" env WINEPREFIX="$work/$ns/prefix" WINEARCH="$arch" WINEDEBUG=-all "${play_env[@]}" \
    QUILLET_LEVEL="${OZLAN_QUILLET_LEVEL:-2000}" "$loader" "Z:${work//\//\\}\\$ns\\ozlan\\ozlaunch.exe" \
    --relay "$play_relay" --session "$session" --timeout 20 --name "$ns" "${play_launcher[@]}" -- \
    "Z:${work//\//\\}\\$ns\\game\\$play_game" "$@" >"$log" 2>&1 </dev/null &
}
show() { [ "$demo" = 1 ] && sed -n 's/^\(host\|join\|ozlaunch\): /  &/p' "$1" | tr -d '\r'; return 0; }
exit_code() { sed -n 's/^ozlaunch: game ended with exit code \([0-9]*\).*/\1/p' "$1" | tr -d '\r' | tail -n 1; }

# ip_hex NS: the player's address as the eight hex digits of an IPX node's last four bytes
ip_hex() { printf '%02X' $(player_ip "$1" | tr . ' '); }

# run_round NAME MODE PORT [HOST-OPTION...] [-- JOIN-OPTION...]: a host in session
# alpha (player 1), a joiner in alpha (player 2), and a host in session beta
# (player 3) that must find nobody. The options teach the games what real games do.
run_round() {
  local name=$1 mode=$2 port=$3
  shift 3
  local host_options=() join_options=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do host_options+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  join_options=("$@")
  say "--- $name: player 1 hosts${host_options[*]:+ (${host_options[*]})}, player 2 joins${join_options[*]:+ (${join_options[*]})} in session alpha, player 3 waits in beta"
  play ozp1 alpha "$work/$name-p1.log" host "--$mode" "$port" --name player1 --timeout 40 "${host_options[@]}"
  play ozp3 beta "$work/$name-p3.log" host "--$mode" "$port" --name player3 --timeout 20 "${host_options[@]}"
  sleep 4
  play ozp2 alpha "$work/$name-p2.log" join "--$mode" "$port" --name player2 --count 5 --timeout 30 "${join_options[@]}"
  wait_for "$work/$name-p1.log" "$work/$name-p2.log" "$work/$name-p3.log"
  show "$work/$name-p1.log"; show "$work/$name-p2.log"; show "$work/$name-p3.log"
  check "$name: the joiner found the host across the relay" grep -q "^join: found host player1" "$work/$name-p2.log"
  check "$name: the host saw the joiner at its own address" grep -q "^host: found by player2 at \($(player_ip ozp2):\|IPX node 0000$(ip_hex ozp2) \)" "$work/$name-p1.log"
  check "$name: directed traffic both ways (5 round trips)" grep -q "^join: 5 directed round trips" "$work/$name-p2.log"
  check "$name: both games exited 0" test "$(exit_code "$work/$name-p1.log")-$(exit_code "$work/$name-p2.log")" = 0-0
  check "$name: the player in another session saw nothing" grep -q "^host: nobody found us" "$work/$name-p3.log"
  check "$name: the host's launcher said who joined and who left" \
    bash -c "grep -q \"^ozlaunch: ozp2 joined session 'alpha' (2 players: ozp1, ozp2)\" '$work/$name-p1.log' && grep -q '^ozlaunch: ozp2 left (1 player)' '$work/$name-p1.log' && grep -q \"^ozlaunch: 1 player in session 'beta': ozp3\" '$work/$name-p3.log'"
}

wait_for() {  # until every log says the game ended (at most 90 s)
  local log
  for _ in $(seq 1 180); do
    local done=1
    for log in "$@"; do grep -q "game ended\|^ozlaunch: .*\(cannot\|did not\|missing\)" "$log" 2>/dev/null || done=0; done
    [ "$done" = 1 ] && return 0
    sleep 0.5
  done
  say "e2e: timed out waiting for the games"
}

# set_loss PERCENT NS...: drops that share of the datagrams each way on the players'
# links (no netem in this kernel: nftables drops at random).
set_loss() {
  local loss=$1
  shift
  for p in "$@"; do
    ip netns exec "$p" nft flush ruleset 2>/dev/null
    if [ "$loss" != 0 ]; then
      ip netns exec "$p" nft add table inet loss
      ip netns exec "$p" nft add chain inet loss in '{ type filter hook input priority 0; }'
      ip netns exec "$p" nft add chain inet loss out '{ type filter hook output priority 0; }'
      ip netns exec "$p" nft add rule inet loss in iifname eth0 numgen random mod 100 '<' "$loss" drop
      ip netns exec "$p" nft add rule inet loss out oifname eth0 numgen random mod 100 '<' "$loss" drop
    fi
  done
}

# nat_round NAME MODE PORT HOST HOST-OPTIONS [JOINER JOINER-OPTIONS]...: a host and
# joiners in one session, all with the product; every joiner must find the host and
# play 5 directed round trips with it, and the host must see each joiner. The host
# also waits for the goodbyes of nat_extra joiners started before.
nat_extra=0
nat_round() {
  local name=$1 mode=$2 port=$3 host=$4 host_options=$5
  shift 5
  local joiners=() logs=("$work/$name-$host.log")
  say "--- $name: $host hosts ($mode${host_options:+ $host_options}); $(($# / 2)) join"
  # shellcheck disable=SC2086 # the option strings hold several words
  play "$host" "$name" "$work/$name-$host.log" host "--$mode" "$port" --name "$host" \
    --timeout 60 --players $(($# / 2 + nat_extra)) $host_options
  sleep 4
  while [ $# -gt 1 ]; do
    joiners+=("$1")
    logs+=("$work/$name-$1.log")
    # shellcheck disable=SC2086
    play "$1" "$name" "$work/$name-$1.log" join "--$mode" "$port" --name "$1" --count 5 \
      --timeout 40 $2
    shift 2
  done
  wait_for "${logs[@]}"
  for log in "${logs[@]}"; do show "$log"; done
  for j in "${joiners[@]}"; do
    check "$name: $j found $host and played 5 directed round trips" \
      grep -q "^join: 5 directed round trips" "$work/$name-$j.log"
    check "$name: $host saw $j" grep -q "^host: found by $j at" "$work/$name-$host.log"
    check "$name: $j's game exited 0" test "$(exit_code "$work/$name-$j.log")" = 0
  done
  check "$name: $host's game exited 0" test "$(exit_code "$work/$name-$host.log")" = 0
}
# seen NAME HOST JOINER PATTERN: where the host's game saw the joiner
seen() { grep -q "^host: found by $3 at $4" "$work/$1-$2.log"; }

# batch NAME:MODE:PORT:HOST:JOINER:CHECK[:JOINER-OPTIONS[:ENV]]...: pairs side by side
# (each player in one pair only), until all have ended. CHECK is the LAN check (class,
# mask or none); JOINER-OPTIONS are comma-separated; ENV (NAME=VALUE) goes to both
# launchers of the pair. The joiners start pairs_gap seconds after the hosts.
pairs_gap=4
batch() {
  local spec name mode port host joiner lan extra env logs=()
  local -A joiner_options
  for spec in "$@"; do
    IFS=: read -r name mode port host joiner lan extra env <<<"$spec"
    local host_options="--$mode $port --name $host --timeout 40 --per-client-port --advertise"
    local options="--$mode $port --name $joiner --count 5 --timeout 30 --advertise --client-port 0"
    options+=" --strict-replies"
    [ "$mode" = udp ] && host_options+=" --bind-own-address"
    # Every datagram as large as a relayed one may be (UDP; IPX's largest on Ethernet),
    # received into a buffer of exactly that size.
    local payload=1472
    [ "$mode" = ipx ] && payload=1470
    host_options+=" --payload $payload"
    options+=" --payload $payload"
    [ "$lan" = none ] || { host_options+=" --lan-check $lan"; options+=" --lan-check $lan"; }
    [ -z "$extra" ] || options+=" ${extra//,/ }"
    joiner_options[$name]=$options
    play_env=(${env:+"$env"})
    # shellcheck disable=SC2086 # the options are words
    play "$host" "$name" "$work/$name-host.log" host $host_options
    logs+=("$work/$name-host.log" "$work/$name-join.log")
  done
  sleep "$pairs_gap"
  for spec in "$@"; do
    IFS=: read -r name mode port host joiner lan extra env <<<"$spec"
    play_env=(${env:+"$env"})
    # shellcheck disable=SC2086
    play "$joiner" "$name" "$work/$name-join.log" join ${joiner_options[$name]}
  done
  play_env=()
  wait_for "${logs[@]}"
  for log in "${logs[@]}"; do show "$log"; done
}
# played NAME HOST JOINER: the joiner was moved to a port of its own and played there;
# nothing was refused as not on the LAN or dropped as from another address; both ended 0.
moved_and_played() {
  grep -q "^host: moved $3 to port" "$1" && grep -q '^join: moved to' "$2" &&
    grep -q '^join: 5 directed round trips' "$2"
}
one_address() {
  ! grep -q 'refused\|dropped a datagram\|wrong reply address' "$1" "$2" &&
    test "$(exit_code "$1")-$(exit_code "$2")" = 0-0
}
played() {
  local name=$1 host=$2 joiner=$3 h=$work/$1-host.log j=$work/$1-join.log
  check "$name: $joiner played 5 round trips on the port $host's game gave it" \
    moved_and_played "$h" "$j" "$joiner"
  check "$name: one address each (nothing refused as off the LAN, or dropped), both exited 0" \
    one_address "$h" "$j"
}
