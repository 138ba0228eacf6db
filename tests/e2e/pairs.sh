# Rounds sourced by scripts/e2e (with the namespaces and helpers of common.sh): every ordered pair of a
# player behind router 1 (keeps ports), one behind router 2 (a new port for every
# destination) and one on a public address plays, over UDP and IPX, with a server that
# moves each client to a port of its own and then takes only that client's exact
# address and port, and with LAN checks on both sides that refuse peers that are not
# private or on their own networks, and clients that take answers only from exactly
# the address and port they sent to; pairs behind one router too, and pairs whose two
# players start at the same moment. Then clients that connect to a public server by its
# name, and the same server without session addresses, where it fails.

say "--- pairs: router 1 (ozq1, ozq2), router 2 rewriting ports (ozq3, ozq4), public (ozp1, ozp2); per-client ports and LAN checks"
batch pair-udp-1a:udp:4300:ozq1:ozq3:class pair-udp-2p:udp:4310:ozq4:ozp1:class pair-udp-p1:udp:4320:ozp2:ozq2:class
played pair-udp-1a ozq1 ozq3; played pair-udp-2p ozq4 ozp1; played pair-udp-p1 ozp2 ozq2
batch pair-udp-2a:udp:4330:ozq3:ozq1:mask pair-udp-p2:udp:4340:ozp1:ozq4:mask pair-udp-1p:udp:4350:ozq2:ozp2:mask
played pair-udp-2a ozq3 ozq1; played pair-udp-p2 ozp1 ozq4; played pair-udp-1p ozq2 ozp2
batch pair-ipx-1a:ipx:18300:ozq1:ozq3:mask pair-ipx-2p:ipx:18310:ozq4:ozp1:mask pair-ipx-p1:ipx:18320:ozp2:ozq2:mask
played pair-ipx-1a ozq1 ozq3; played pair-ipx-2p ozq4 ozp1; played pair-ipx-p1 ozp2 ozq2
batch pair-ipx-2a:ipx:18330:ozq3:ozq1:class pair-ipx-p2:ipx:18340:ozp1:ozq4:class pair-ipx-1p:ipx:18350:ozq2:ozp2:class
played pair-ipx-2a ozq3 ozq1; played pair-ipx-p2 ozp1 ozq4; played pair-ipx-1p ozq2 ozp2

say "--- pairs behind one router (router 1, and router 2 rewriting ports) and on public addresses"
# Two public players see each other at their real addresses (a game may go on over TCP
# to where it found the other): no LAN check of class or mask takes them for LAN players.
batch pair-udp-11:udp:4380:ozq1:ozq2:class pair-udp-22:udp:4390:ozq4:ozq3:mask pair-udp-pp:udp:4400:ozp1:ozp2:none
played pair-udp-11 ozq1 ozq2; played pair-udp-22 ozq4 ozq3; played pair-udp-pp ozp1 ozp2
batch pair-ipx-11:ipx:18380:ozq2:ozq1:mask pair-ipx-22:ipx:18390:ozq3:ozq4:class pair-ipx-pp:ipx:18400:ozp2:ozp1:none
played pair-ipx-11 ozq2 ozq1; played pair-ipx-22 ozq3 ozq4; played pair-ipx-pp ozp2 ozp1

say "--- pairs whose two players start at the same moment"
pairs_gap=0
batch pair-udp-11t:udp:4410:ozq2:ozq1:class pair-udp-2pt:udp:4420:ozq3:ozp1:mask pair-udp-p2t:udp:4430:ozp2:ozq4:class
played pair-udp-11t ozq2 ozq1; played pair-udp-2pt ozq3 ozp1; played pair-udp-p2t ozp2 ozq4
batch pair-ipx-11t:ipx:18410:ozq1:ozq2:class pair-ipx-p2t:ipx:18420:ozp1:ozq3:mask pair-ipx-2pt:ipx:18430:ozq4:ozp2:class
played pair-ipx-11t ozq1 ozq2; played pair-ipx-p2t ozp1 ozq3; played pair-ipx-2pt ozq4 ozp2
pairs_gap=4

# By name: the joiner queries the public server at the address its name resolves to
# (a public address it chose: only the server checks that its client is on the LAN).
# Without session addresses (as launchers before them), the same server drops the
# client behind router 2 at its own port: the router gave it another source port.
say "--- pairs by name: ozq3 and ozq1 connect to ozp1.ozlan.test and ozp2.ozlan.test; ozq4 joins ozp3 with session addresses off"
batch pair-name-udp:udp:4360:ozp1:ozq3:class:--connect,ozp1.ozlan.test,--lan-check,none \
  pair-name-ipx:ipx:18360:ozp2:ozq1:mask:--connect,ozp2.ozlan.test,--lan-check,none \
  pair-off:udp:4370:ozp3:ozq4:none::OZLAN_SESSION_ADDRESSES=off
played pair-name-udp ozp1 ozq3; played pair-name-ipx ozp2 ozq1
check "pair-name: the joiners resolved the servers' names to their public addresses" \
  bash -c "grep -q '^join: connecting to ozp1.ozlan.test at 203.0.1.2:4360' '$work/pair-name-udp-join.log' && grep -q '^join: connecting to ozp2.ozlan.test at IPX node 0000CB000202 socket 18360' '$work/pair-name-ipx-join.log'"
check "pair-off: without session addresses the server drops the client at its own port" \
  bash -c "grep -q '^host: port 4371 dropped a datagram from 203.0.12.2:' '$work/pair-off-host.log' && grep -q '^join: only 0 of 5 pings' '$work/pair-off-join.log'"
