# Players behind home routers: without relayed traffic the host's answer never arrives;
# with it, a host behind router 1 plays with joiners behind router 2 (new port per
# destination), behind its own router and on a public address, over UDP and IPX; and a
# public host with joiners behind routers.
# shellcheck shell=bash

# Players behind home routers. Without relayed traffic, the broadcast reaches the host
# across the relay, but its answer goes straight to the joiner's router and is dropped.
play_env=(OZLAN_RELAYED_TRAFFIC=off)
play ozq1 nat-off "$work/nat-off-ozq1.log" host --udp 4060 --name ozq1 --timeout 16
sleep 4
play ozq3 nat-off "$work/nat-off-ozq3.log" join --udp 4060 --name ozq3 --count 5 --timeout 10
play_env=()
say "--- nat-off: ozq1 hosts behind router 1, ozq3 joins from behind router 2, relayed traffic off"
wait_for "$work/nat-off-ozq1.log" "$work/nat-off-ozq3.log"
show "$work/nat-off-ozq1.log"; show "$work/nat-off-ozq3.log"
check "nat-off: the joiner's broadcast reached the host across the relay" \
  grep -q "^host: found by ozq3 at 203.0.12.2:" "$work/nat-off-ozq1.log"
check "nat-off: ... but the host's direct answer never reached the joiner" \
  grep -q "^join: no host answered" "$work/nat-off-ozq3.log"
# With it: a server bound to its own address behind router 1 that advertises its
# address; a joiner behind router 2 (which rewrites ports) on a port the platform
# picks, one behind the same router, one on a public address; and a launcher with
# relayed traffic off (as older launchers are) in the same session.
play_env=(OZLAN_RELAYED_TRAFFIC=off)
play ozp2 nat-udp "$work/nat-udp-ozp2.log" join --udp 4070 --name ozp2 --count 0 --timeout 30
play_env=()
nat_extra=1
nat_round nat-udp udp 4070 ozq1 "--bind-own-address --advertise" \
  ozq3 "--client-port 0 --advertise" ozq2 "--advertise" ozp1 "--advertise"
nat_extra=0
check "nat-udp: the host saw the joiner behind the other router at its relayed address" \
  seen nat-udp ozq1 ozq3 "172\.[123][0-9]\."
check "nat-udp: ... and the one behind its own router at its own address" \
  seen nat-udp ozq1 ozq2 "10\.97\.1\.3:"
check "nat-udp: the joiners played at the host's advertised relayed address" \
  test "$(grep -l "^join: playing at the advertised 172\.[123][0-9]\.[0-9.]*:4070" "$work"/nat-udp-ozq[23].log "$work/nat-udp-ozp1.log" | wc -l)" = 3
check "nat-udp: the launcher without relayed traffic exchanged broadcasts with the host" \
  bash -c "grep -q '^host: found by ozp2 at 203.0.2.2:' '$work/nat-udp-ozq1.log' && grep -q '^join: found host ozq1' '$work/nat-udp-ozp2.log'"
nat_round nat-ipx ipx 18020 ozq3 "--advertise --card-address" \
  ozq1 "--client-port 0 --advertise" ozq2 "--advertise" ozp1 "--advertise"
check "nat-ipx: the host behind a router read its relayed node from its IPX card" \
  grep -q "^host: the IPX card's address is node 0000AC1" "$work/nat-ipx-ozq3.log"
check "nat-ipx: the joiners played at the host's relayed IPX node" \
  test "$(grep -l "^join: playing at the advertised IPX node 0000AC1" "$work"/nat-ipx-ozq[12].log "$work/nat-ipx-ozp1.log" | wc -l)" = 3
# The public host takes only peers on the class network of one of its own addresses (as
# a server that otherwise waits for an internet authorisation): its name lists its
# session address too.
nat_round nat-public udp 4080 ozp1 "--lan-check own-class" ozq1 "--lan-check own-class" \
  ozq2 "" ozq3 "--client-port 0"
check "nat-public: the public host saw the joiners behind routers at relayed addresses" \
  test "$(grep -c "^host: found by ozq[123] at 172\.[123][0-9]\." "$work/nat-public-ozp1.log")" = 3
check "nat-public: ... and took them for LAN players, its name listing its session address" \
  bash -c "! grep -q 'refused' '$work/nat-public-ozp1.log' '$work/nat-public-ozq1.log'"
