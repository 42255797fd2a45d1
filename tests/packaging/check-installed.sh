#!/usr/bin/env bash
# check-installed.sh DEB...
# Installs the packages on this machine (dpkg -i: root, and a machine that
# may be changed, such as CI's), then checks what was installed: the
# programs' versions, the account, the units' security rating, and a short
# federation of the installed programs with both servers run from their
# units under the units' confinement (run-confined): quorvex.service, then
# morva@fedpkg.service with a settings file of its own, rtictl join and
# destroy; with the client library's packages, a program built against the
# installed development files (pkg-config) lists that execution. A unit
# that allows no IP socket must fail the same way, or the
# confinement was not applied. Purges the packages at the end, whatever
# happened.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -gt 0 ] || { echo "usage: check-installed.sh DEB..."; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: not root; the packages were not installed"
    exit 0
fi
tmp=$(mktemp -d)
failed=0
fail() { echo "FAIL: $*"; failed=1; }
packages=()
for deb in "$@"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
version=$(dpkg-deb -f "$1" Version)
cleanup() {
    for p in ${pids:-}; do kill "$p" 2>/dev/null; done
    rm -f /etc/default/morva-fedpkg
    dpkg --purge "${packages[@]}" >"$tmp/purge.log" 2>&1 || cat "$tmp/purge.log"
    rm -rf "$tmp"
}
trap cleanup EXIT
pids=

if ! dpkg -i "$@" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    fail "dpkg -i"
    exit 1
fi
for p in quorvex morva morvalauncher rtictl; do
    got=$("/usr/bin/$p" --version 2>&1)
    [ "$got" = "$p $version" ] || fail "installed $p --version printed '$got'"
done
getent passwd rti >/dev/null || fail "no account rti after installation"

# The installed units' exposure: 2.0 at most ("OK"); --threshold counts tenths.
for u in quorvex.service morva@fedpkg.service; do
    if ! out=$(systemd-analyze security --offline=yes --threshold=20 --no-pager "$u" 2>&1); then
        echo "$out" | grep -E '^✗|Overall'
        fail "systemd-analyze security rates the installed $u above 2.0"
    fi
done

port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# Waits up to 10 s for TEXT in FILE.
wait_for() {
    for _ in $(seq 100); do grep -qF -e "$2" "$1" && return 0; sleep 0.1; done
    return 1
}
registry=$(port) registry_http=$(port) executive_http=$(port)
: >"$tmp/quorvex.log"  # there before the servers' shells open them
: >"$tmp/morva.log"

# A unit that allows no IP socket cannot open the registry's acceptor.
sed 's/^RestrictAddressFamilies=.*/RestrictAddressFamilies=AF_UNIX/' \
    /lib/systemd/system/quorvex.service >"$tmp/no-ip.service"
timeout 10 "$here/run-confined" "$tmp/no-ip.service" --setenv QUORVEX_PORT="$registry" \
    >"$tmp/no-ip.log" 2>&1
status=$?
[ $status -eq 1 ] && grep -q 'Address family not supported' "$tmp/no-ip.log" ||
    { cat "$tmp/no-ip.log"; fail "a unit without AF_INET still started (status $status)"; }

"$here/run-confined" /lib/systemd/system/quorvex.service --setenv QUORVEX_PORT="$registry" \
    --setenv QUORVEX_HTTP="127.0.0.1:$registry_http" >"$tmp/quorvex.log" 2>&1 &
quorvex=$! pids=$!
wait_for "$tmp/quorvex.log" "LOG HTTP status on" || { cat "$tmp/quorvex.log"; fail "confined quorvex did not start"; exit 1; }

# The instance's own file, read after /etc/default/morva.
printf 'MORVA_HTTP=127.0.0.1:%s\nMORVA_BIND=127.0.0.1\n' "$executive_http" >/etc/default/morva-fedpkg
"$here/run-confined" /lib/systemd/system/morva@.service --instance fedpkg \
    --setenv QUORVEX_PORT="$registry" >"$tmp/morva.log" 2>&1 &
morva=$! pids="$pids $!"
wait_for "$tmp/morva.log" "LOG Morva started" || { cat "$tmp/morva.log"; fail "confined morva@fedpkg did not start"; exit 1; }
grep -qxF "LOG HTTP status on 127.0.0.1:$executive_http" "$tmp/morva.log" ||
    fail "morva@fedpkg did not take MORVA_HTTP from /etc/default/morva-fedpkg"

if dpkg-query -W librticlient-dev >/dev/null 2>&1; then
    cat >"$tmp/list.cpp" <<'CPP'
#include <rticlient/rticlient.h>
#include <cstdlib>
#include <iostream>
int main(int, char** argv) {
    rticlient::Registry registry("127.0.0.1", static_cast<uint16_t>(std::atoi(argv[1])));
    for (const rticlient::Execution& e : registry.list()) std::cout << e.name << "\n";
}
CPP
    # shellcheck disable=SC2046
    if g++ -std=c++17 -o "$tmp/list" "$tmp/list.cpp" $(pkg-config --cflags --libs rticlient) \
           >"$tmp/cc.log" 2>&1; then
        listed=$("$tmp/list" "$registry" 2>&1)
        [ "$listed" = fedpkg ] || fail "a program on the installed librticlient listed '$listed'"
    else
        cat "$tmp/cc.log"
        fail "no program builds against the installed librticlient-dev"
    fi
fi

rtictl=(/usr/bin/rtictl --registry "127.0.0.1:$registry" --name fedpkg)
"${rtictl[@]}" join alpha --send 600:hi </dev/null >"$tmp/join.log" 2>&1 ||
    { cat "$tmp/join.log"; fail "rtictl join against the confined executive"; }
# What the endpoints read from /proc/self under ProcSubset=pid.
for http in "$registry_http" "$executive_http"; do
    fds=$(curl -s --max-time 5 "127.0.0.1:$http/metrics" | awk '$1 == "process_open_fds" { print $2 }')
    [ "${fds:-0}" -gt 2 ] || fail "confined server on $http shows process_open_fds '${fds:-}'"
done
"${rtictl[@]}" destroy >"$tmp/destroy.log" 2>&1 || { cat "$tmp/destroy.log"; fail "rtictl destroy"; }
wait "$morva"
status=$?
[ $status -eq 0 ] || { cat "$tmp/morva.log"; fail "morva@fedpkg ended with status $status"; }
kill -INT "$quorvex"  # the unit's KillSignal
wait "$quorvex"
status=$?
[ $status -eq 0 ] || { cat "$tmp/quorvex.log"; fail "quorvex ended with status $status on SIGINT"; }
grep -qF "LOG removing morva fedpkg" "$tmp/quorvex.log" || fail "the registry got no obituary for fedpkg"
pids=

dpkg --purge "${packages[@]}" >"$tmp/purge.log" 2>&1 || { cat "$tmp/purge.log"; fail "dpkg --purge"; }
for f in /usr/bin/quorvex /etc/default/quorvex /lib/systemd/system/quorvex.service \
         /etc/systemd/system/multi-user.target.wants/quorvex.service; do
    [ ! -e "$f" ] || fail "$f is left after purge"
done

[ $failed -eq 0 ] && echo "installed packages: OK (${packages[*]})"
exit $failed
