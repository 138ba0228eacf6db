# The game folders after every round: a folder holding both a player's wsock32.dll
# and a saved one is refused untouched, and no proxy copy is left behind.
# shellcheck shell=bash

# A folder that holds both a player's wsock32.dll and a saved one is refused, untouched.
printf 'saved earlier' >"$work/ozp3/game/wsock32.dll.ozlan-saved"
ip netns exec ozp3 env WINEPREFIX="$work/ozp3/prefix" WINEARCH="$arch" WINEDEBUG=-all \
  "$loader" "Z:${work//\//\\}\\ozp3\\ozlan\\ozlaunch.exe" --relay "$relay_ip:3669" \
  --session refused --timeout 20 -- "Z:${work//\//\\}\\ozp3\\game\\lanping.exe" host --udp 4000 \
  >"$work/refused.log" 2>&1 </dev/null
refused=$?
check "refused: the launcher exits with 4 and says why" \
  test "$refused-$(grep -c "holds both a wsock32.dll of its own" "$work/refused.log")" = 4-1
check "refused: neither file was touched" \
  test "$(cat "$work/ozp3/game/wsock32.dll")/$(cat "$work/ozp3/game/wsock32.dll.ozlan-saved")" = "$players_file/saved earlier"

for p in ozp1 ozp2; do
  check "$p: the proxy copy is gone from the game folder" test ! -e "$work/$p/game/wsock32.dll"
  check "$p: the log holds the proxy's lines" grep -qi "mp_sendto" "$work/$p/ozlan/"*-1.log
done
