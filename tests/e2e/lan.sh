# Players on networks of their own (public addresses): UDP and IPX with the habits of
# real games (a server bound to its own address, queries from another port, subnet
# broadcasts, advertised addresses, an IPX card's address), a player's own wsock32.dll
# that must survive, a router that rewrites ports, a lossy link and a reflection attack.
# shellcheck shell=bash

# A reflection attack: a host on player 3's network sends connects, joins and relay
# messages to the relay service with a forged source (a second address on its
# interface, 203.0.3.3, standing for the victim) while players 1 and 2 play. The victim
# may get no more bytes than were sent in its name, and nothing of the session.
reflection_round() {
  say "--- reflection: forged connects, joins and relay messages in the name of 203.0.3.3"
  ip netns exec ozp3 ip addr add 203.0.3.3/24 dev eth0
  ip netns exec ozp3 nft add table ip victim
  ip netns exec ozp3 nft add chain ip victim in '{ type filter hook input priority 0; }'
  ip netns exec ozp3 nft add chain ip victim out '{ type filter hook output priority 0; }'
  ip netns exec ozp3 nft add rule ip victim in ip daddr 203.0.3.3 udp sport 3669 counter
  # Anything longer than an acknowledgement or a confirmation (20 bytes) would be traffic.
  ip netns exec ozp3 nft add rule ip victim in ip daddr 203.0.3.3 udp sport 3669 udp length '>' 28 counter
  ip netns exec ozp3 nft add rule ip victim out ip saddr 203.0.3.3 udp dport 3669 counter
  play ozp1 forged "$work/forged-p1.log" host --udp 4050 --name player1 --timeout 60
  sleep 4
  play ozp2 forged "$work/forged-p2.log" join --udp 4050 --name player2 --count 0 \
    --broadcasts 300 --timeout 30
  for _ in $(seq 1 60); do grep -q "^join: found host" "$work/forged-p2.log" 2>/dev/null && break; sleep 0.5; done
  ip netns exec ozp3 "$flood_bin" --forge "$relay_ip" 3669 200 203.0.3.3 forged >"$work/forged.log" 2>&1
  wait_for "$work/forged-p1.log" "$work/forged-p2.log"
  sleep 1
  local counters
  counters=$(ip netns exec ozp3 nft list table ip victim |
    sed -n 's/.*counter packets \([0-9]*\) bytes \([0-9]*\).*/\1 \2/p' | tr '\n' ' ')
  read -r in_packets in_bytes big_packets _ out_packets out_bytes <<<"$counters"
  say "  the victim received $in_packets datagrams, $((in_bytes - 28 * in_packets)) payload bytes; $out_packets datagrams, $((out_bytes - 28 * out_packets)) payload bytes were sent in its name"
  check "reflection: the victim got no more payload bytes than were sent in its name" \
    test "$((in_bytes - 28 * in_packets))" -le "$((out_bytes - 28 * out_packets))"
  check "reflection: nothing of the session reached the victim" test "$big_packets" = 0
  check "reflection: the session meanwhile relayed every broadcast" \
    grep -q "^host: timed broadcasts: 300 of 300 arrived, 0 duplicates" "$work/forged-p1.log"
  ip netns exec ozp3 nft delete table ip victim
  ip netns exec ozp3 ip addr del 203.0.3.3/24 dev eth0
}

# Relayed broadcasts while 5% of the datagrams are lost each way on both players'
# links: every one of the joiner's numbered broadcasts reaches the host exactly once.
loss_round() {
  say "--- lossy: player 2's numbered broadcasts while 5% of datagrams are lost each way"
  play ozp1 lossy "$work/lossy-p1.log" host --udp 4030 --name player1 --timeout 60
  sleep 4
  play ozp2 lossy "$work/lossy-p2.log" join --udp 4030 --name player2 --count 0 \
    --broadcasts 300 --timeout 30
  for _ in $(seq 1 60); do grep -q "^join: found host" "$work/lossy-p2.log" 2>/dev/null && break; sleep 0.5; done
  set_loss 5 ozp1 ozp2
  wait_for "$work/lossy-p1.log" "$work/lossy-p2.log"
  set_loss 0 ozp1 ozp2
  show "$work/lossy-p1.log"
  check "lossy: every relayed broadcast arrived exactly once" \
    grep -q "^host: timed broadcasts: 300 of 300 arrived, 0 duplicates" "$work/lossy-p1.log"
}

# Player 3 has a wsock32.dll of its own in the game folder: it must survive the session.
players_file="a wsock32.dll of player 3's own, from a community patch"
printf '%s' "$players_file" >"$work/ozp3/game/wsock32.dll"
run_round udp udp 4000
check "udp: the player's console shows the launcher's lines, not the session library's diagnostics" \
  bash -c "grep -q '^ozlaunch: diagnostic lines go to .*ozlaunch-diagnostics.log' '$work/udp-p1.log' && ! grep -q 'We have an unprocessed message\|CONFIRM CONNECT' '$work/udp-p1.log'"
check "udp: ... and the diagnostics are in the file the launcher named" \
  bash -c "find '$work/ozp1/prefix' -name ozlaunch-diagnostics.log -exec grep -l 'CONFIRM CONNECT' {} + | grep -q ."
check "ozp3: the launcher said it kept the player's wsock32.dll" \
  grep -q "^ozlaunch: kept your wsock32.dll" "$work/udp-p3.log"
check "ozp3: the player's wsock32.dll is back, byte for byte" \
  test "$(cat "$work/ozp3/game/wsock32.dll")" = "$players_file"
check "ozp3: nothing is left aside" test ! -e "$work/ozp3/game/wsock32.dll.ozlan-saved"
# A server bound to its host's own address; a client that queries from a port the
# platform picks and reads the answers there.
run_round udp-own-address udp 4010 --bind-own-address -- --client-port 0
check "udp-own-address: the host answered the joiner's own port" \
  grep -q "^host: found by player2 at $(player_ip ozp2):\([0-9]*\)" "$work/udp-own-address-p1.log"
check "udp-own-address: ... which is not the server's port" \
  bash -c "! grep -q '^host: found by player2 at .*:4010' '$work/udp-own-address-p1.log'"
# A client on a fixed port of its own that broadcasts to its network's broadcast
# address, and joins the address the host advertised.
run_round udp-subnet udp 4020 --bind-own-address --advertise -- --client-port 27901 --subnet-broadcast --advertise
check "udp-subnet: the host saw the query from port 27901" \
  grep -q "^host: found by player2 at $(player_ip ozp2):27901" "$work/udp-subnet-p1.log"
check "udp-subnet: the joiner played at the host's advertised address" \
  grep -q "^join: playing at the advertised $(player_ip ozp1):4020" "$work/udp-subnet-p2.log"
loss_round
reflection_round
# Player 2 behind a router that rewrites the source port of what it sends to the
# relay service and lets in only replies (as home routers and carrier-grade NAT do).
ip netns exec ozr nft -f - <<'NFT'
table ip rewrite {
  chain in { type nat hook input priority 100; ip saddr 203.0.2.0/24 udp dport 3669 snat to 203.0.2.2:20000-30000; }
  chain out { type filter hook output priority 0; ip daddr 203.0.2.0/24 udp sport 3669 ct state new drop; }
}
NFT
run_round udp-port-rewritten udp 4040
ip netns exec ozr nft delete table ip rewrite
run_round ipx ipx 18000
# An IPX host that takes its address from the IPX card (IPX_ADDRESS), sets packet type
# 4, binds to that address and advertises it; a client on a socket the platform picks
# that joins the advertised address.
run_round ipx-advertised ipx 18010 --advertise --card-address -- --client-port 0 --advertise
check "ipx-advertised: the host read its node from its IPX card and set packet type 4" \
  grep -q "^host: the IPX card's address is node 0000$(ip_hex ozp1), network 00000000, 1470-byte packets" "$work/ipx-advertised-p1.log"
check "ipx-advertised: the joiner played at the host's advertised node" \
  grep -q "^join: playing at the advertised IPX node 0000$(ip_hex ozp1) socket 18010" "$work/ipx-advertised-p2.log"
