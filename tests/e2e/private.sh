# A private session: friends with the password play across a router; strangers without
# it, or with a wrong one, are refused with the reason and get nothing of the session.
# shellcheck shell=bash

# A private session: two friends with the password play (the joiner behind a router that
# rewrites ports, so their traffic is relayed); a stranger without the password and one
# with a wrong one are refused with the reason and get nothing of the session.
say "--- private: ozp1 hosts and ozq3 joins session 'friends' with a password; ozp3 tries without one, ozq1 with a wrong one"
play_env=(OZLAN_PASSWORD=friends-only)
play ozp1 friends "$work/private-ozp1.log" host --udp 4090 --name ozp1 --timeout 40 --players 1
sleep 4
play ozq3 friends "$work/private-ozq3.log" join --udp 4090 --name ozq3 --count 5 --timeout 30
play_env=()
play ozp3 friends "$work/private-ozp3.log" join --udp 4090 --name ozp3 --count 5 --timeout 10
play_env=(OZLAN_PASSWORD=a-guess)
play ozq1 friends "$work/private-ozq1.log" join --udp 4090 --name ozq1 --count 5 --timeout 10
play_env=()
wait_for "$work/private-ozp1.log" "$work/private-ozq3.log"
for _ in $(seq 1 60); do
  grep -q "ozlaunch: " "$work/private-ozp3.log" 2>/dev/null && grep -q "ozlaunch: .*password" "$work/private-ozq1.log" 2>/dev/null && break
  sleep 0.5
done
sleep 1
for p in ozp1 ozq3 ozp3 ozq1; do show "$work/private-$p.log"; done
check "private: the friends joined the private session and played 5 round trips" \
  bash -c "grep -q \"^ozlaunch: in private session 'friends'\" '$work/private-ozq3.log' && grep -q '^join: 5 directed round trips' '$work/private-ozq3.log'"
check "private: the stranger without a password was refused with the reason" \
  grep -q "^ozlaunch: session 'friends' needs a password" "$work/private-ozp3.log"
check "private: the stranger with a wrong password was refused with the reason" \
  grep -q "^ozlaunch: wrong password for session 'friends'" "$work/private-ozq1.log"
check "private: neither stranger was told it joined" \
  bash -c "! grep -q '^ozlaunch: joined' '$work/private-ozp3.log' '$work/private-ozq1.log'"
check "private: neither stranger's game ran, and the host saw only its friend" \
  bash -c "! grep -q '^join:' '$work/private-ozp3.log' '$work/private-ozq1.log' && ! grep -q 'found by ozp3\|found by ozq1' '$work/private-ozp1.log'"
# The same friends over IPX.
play_env=(OZLAN_PASSWORD=friends-only)
play ozp1 friends-ipx "$work/private-ipx-ozp1.log" host --ipx 18030 --name ozp1 --timeout 40 --players 1
sleep 4
play ozq3 friends-ipx "$work/private-ipx-ozq3.log" join --ipx 18030 --name ozq3 --count 5 --timeout 30
play_env=()
wait_for "$work/private-ipx-ozp1.log" "$work/private-ipx-ozq3.log"
show "$work/private-ipx-ozq3.log"
check "private: the friends played 5 round trips over IPX" \
  bash -c "grep -q \"^ozlaunch: in private session 'friends-ipx'\" '$work/private-ipx-ozq3.log' && grep -q '^join: 5 directed round trips' '$work/private-ipx-ozq3.log'"
