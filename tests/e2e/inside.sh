# The proxy inside the game's process: the sample game's Winsock 2 build (ws2_32.dll
# only: overlapped receives with events or completion routines, WSASendTo,
# WSAEventSelect, WSAIoctl for its broadcast address, getaddrinfo of its own name),
# which the launcher takes in-process by itself, on public addresses and behind both
# home routers, every pair both ways, UDP and IPX; the Winsock 1.1 build taken in-process
# on request; and games in folders the player cannot write to, which stay byte for byte
# the same.
# shellcheck shell=bash

took_inside() {  # took_inside LOG WHY: the launcher's line about the way it took
  grep -q "^ozlaunch: the proxy goes into the game's process: $2" "$1"
}
no_copy() {  # no_copy NS...: no proxy copy, no saved file in those game folders
  local p
  for p in "$@"; do
    [ ! -e "$work/$p/game/wsock32.dll" ] && [ ! -e "$work/$p/game/wsock32.dll.ozlan-saved" ] || return 1
  done
}

play_game=lanping2.exe
run_round w2-udp udp 4500 --bind-own-address --advertise -- --client-port 0 --subnet-broadcast --advertise
check "w2-udp: the launcher took the Winsock 2 game in-process by itself" \
  took_inside "$work/w2-udp-p1.log" "the game uses Winsock 2"
check "w2-udp: the joiner played at the host's advertised address" \
  grep -q "^join: playing at the advertised $(player_ip ozp1):4500" "$work/w2-udp-p2.log"
check "w2-udp: no file was placed in the game folders" no_copy ozp1 ozp2
check "w2-udp: player 3's own wsock32.dll (from the lan round) was left as it is" \
  test "$(cat "$work/ozp3/game/wsock32.dll" 2>/dev/null)" = "${players_file:-}"
check "w2-udp: the proxy logged the game's Winsock 2 calls" \
  bash -c "grep -q 'mp_WSASendTo' '$work/ozp2/ozlan/'ozws.dll-*.log && grep -q 'Inside the game.s process' '$work/ozp1/ozlan/'ozws.dll-*.log"
run_round w2-ipx ipx 18500 --advertise --card-address -- --client-port 0 --advertise
check "w2-ipx: the joiner played at the host's advertised node" \
  grep -q "^join: playing at the advertised IPX node 0000$(ip_hex ozp1) socket 18500" "$work/w2-ipx-p2.log"
# Completion routines instead of events, and a server that moves each client to a port
# of its own (WSAEventSelect there).
run_round w2-routines udp 4510 --completion-routines --per-client-port -- --completion-routines --strict-replies
check "w2-routines: the joiner was moved to a port of its own and played there" \
  grep -q "^join: moved to" "$work/w2-routines-p2.log"

say "--- w2-pairs: the Winsock 2 game, every pair of router 1, router 2 and public, both ways"
batch w2-pair-udp-1a:udp:4600:ozq1:ozq3:class w2-pair-udp-2p:udp:4610:ozq4:ozp1:class w2-pair-udp-p1:udp:4620:ozp2:ozq2:class
played w2-pair-udp-1a ozq1 ozq3; played w2-pair-udp-2p ozq4 ozp1; played w2-pair-udp-p1 ozp2 ozq2
batch w2-pair-udp-2a:udp:4630:ozq3:ozq1:mask w2-pair-udp-p2:udp:4640:ozp1:ozq4:mask w2-pair-udp-1p:udp:4650:ozq2:ozp2:mask
played w2-pair-udp-2a ozq3 ozq1; played w2-pair-udp-p2 ozp1 ozq4; played w2-pair-udp-1p ozq2 ozp2
batch w2-pair-ipx-1a:ipx:18600:ozq1:ozq3:mask w2-pair-ipx-2p:ipx:18610:ozq4:ozp1:mask w2-pair-ipx-p1:ipx:18620:ozp2:ozq2:mask
played w2-pair-ipx-1a ozq1 ozq3; played w2-pair-ipx-2p ozq4 ozp1; played w2-pair-ipx-p1 ozp2 ozq2
batch w2-pair-ipx-2a:ipx:18630:ozq3:ozq1:class w2-pair-ipx-p2:ipx:18640:ozp1:ozq4:class w2-pair-ipx-1p:ipx:18650:ozq2:ozp2:class
played w2-pair-ipx-2a ozq3 ozq1; played w2-pair-ipx-p2 ozp1 ozq4; played w2-pair-ipx-1p ozq2 ozp2
# Behind routers the game's own name lists its relayed address first (getaddrinfo).
nat_round w2-nat udp 4660 ozq1 "--bind-own-address --advertise" ozq3 "--client-port 0 --advertise" ozp1 "--advertise"
check "w2-nat: the joiners played at the host's advertised relayed address" \
  test "$(grep -l "^join: playing at the advertised 172\.[123][0-9]\.[0-9.]*:4660" "$work/w2-nat-ozq3.log" "$work/w2-nat-ozp1.log" | wc -l)" = 2

# The Winsock 1.1 game in-process, as asked. Inside, a game loads a wsock32.dll from its
# folder as it would without OZLAN: player 3's (the lan round's, not a DLL) waits aside.
play_game=lanping.exe
play_launcher=(--inside)
[ -e "$work/ozp3/game/wsock32.dll" ] && mv "$work/ozp3/game/wsock32.dll" "$work/ozp3-own-wsock32.dll"
run_round w1-inside udp 4520 --bind-own-address -- --client-port 0
[ -e "$work/ozp3-own-wsock32.dll" ] && mv "$work/ozp3-own-wsock32.dll" "$work/ozp3/game/wsock32.dll"
play_launcher=()
check "w1-inside: the launcher took the game in-process as asked" took_inside "$work/w1-inside-p1.log" "as asked"
check "w1-inside: no file was placed in the game folders" no_copy ozp1 ozp2

# Game folders the player cannot write to (read-only mounts): both builds play, and each
# folder is byte for byte what it was, names, sizes and times included.
# The wineserver opens the files: it must see the mount, and later rounds its end.
listing() { (cd "$work/$1/game" && find . -printf '%p %s %T@ %m\n' | sort && sha256sum ./*); }
restart_wineserver() {
  ip netns exec "$1" env WINEPREFIX="$work/$1/prefix" WINEARCH="$arch" wineserver -k >/dev/null 2>&1 </dev/null
  ip netns exec "$1" env WINEPREFIX="$work/$1/prefix" WINEARCH="$arch" wineserver -p >/dev/null 2>&1 </dev/null
}
for p in ozq1 ozq3 ozp2; do
  mount --bind "$work/$p/game" "$work/$p/game" && mount -o remount,bind,ro "$work/$p/game"
  restart_wineserver "$p"
  listing "$p" >"$work/$p-before.txt"
done
nat_round ro-udp udp 4530 ozq1 "--bind-own-address --advertise" ozq3 "--client-port 0 --advertise" ozp2 "--advertise"
check "ro-udp: the launcher took the Winsock 1.1 game in-process, its folder being read-only" \
  took_inside "$work/ro-udp-ozq1.log" "its folder is read-only"
play_game=lanping2.exe
nat_round ro-ipx ipx 18530 ozq3 "--advertise --card-address" ozq1 "--client-port 0 --advertise" ozp2 "--advertise"
play_game=lanping.exe
for p in ozq1 ozq3 ozp2; do
  listing "$p" >"$work/$p-after.txt"
  check "read-only: $p's game folder is byte for byte what it was" cmp -s "$work/$p-before.txt" "$work/$p-after.txt"
  umount "$work/$p/game"
  restart_wineserver "$p"
done
