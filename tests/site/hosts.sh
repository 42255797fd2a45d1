# Hosts for the multi-host test, made of network namespaces (sourced by
# site-test.sh; needs bash and root).
#
# Every host is a namespace with one veth ("eth0") into a bridge that lives
# in a namespace of its own, so nothing is added to the root namespace but
# the /etc/netns/NAME folders that give each host its hosts file. The
# addresses (10.231.0.0/24) exist only inside these namespaces and no host
# has a route anywhere else. Each program runs with its own UTS namespace
# and the host's name, so a server that puts its host name in a reference
# publishes the name the other hosts' hosts files resolve.
#
# Names carry the shell's pid: a run that was killed before it could clean
# up leaves namespaces nobody else uses, and the next run removes them.

SITE_PREFIX=rtisite
SITE_ID="$SITE_PREFIX$$"
SITE_LAN="$SITE_ID-lan"
SITE_SUBNET=10.231.0
SITE_HOSTS=()
declare -A SITE_ADDR=()
declare -A SITE_PID=()
SITE_PIDS=()
SITE_FAILED=0
SITE_DIR=""

site_skip() {
    echo "SKIP: $*"
    exit 77
}

site_now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Elapsed seconds since a site_now_ms stamp, with one decimal.
site_since() {
    local ms=$(($(site_now_ms) - $1))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}

site_ok() { echo "  ok: $*"; }

site_fail() {
    echo "  FAIL: $*"
    SITE_FAILED=$((SITE_FAILED + 1))
}

site_scenario() {
    echo
    echo "== $*"
}

# Skips (exit 77) unless this shell can build hosts: root, ip netns, unshare.
site_require() {
    [ "$(id -u)" = 0 ] || site_skip "needs root to create network namespaces"
    command -v ip >/dev/null || site_skip "no 'ip' command (iproute2)"
    command -v unshare >/dev/null || site_skip "no 'unshare' command (util-linux)"
    ip netns list >/dev/null 2>&1 || site_skip "'ip netns' is not available here"
    local probe="$SITE_ID-probe"
    if ! ip netns add "$probe" 2>/dev/null; then
        site_skip "cannot create a network namespace ('ip netns add' refused)"
    fi
    local uts_ok=0
    ip netns exec "$probe" unshare --uts sh -c 'hostname probe' 2>/dev/null && uts_ok=1
    ip netns del "$probe"
    [ $uts_ok = 1 ] || site_skip "cannot give a process its own host name ('unshare --uts' refused)"
}

# Namespaces of runs that were killed before their clean-up: their pid is gone.
site_reap_leftovers() {
    local ns pid
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
        [[ $ns =~ ^${SITE_PREFIX}([0-9]+)- ]] || continue
        pid=${BASH_REMATCH[1]}
        [ "$pid" = $$ ] && continue
        kill -0 "$pid" 2>/dev/null && continue
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null
        ip netns del "$ns" 2>/dev/null
        rm -rf "/etc/netns/$ns"
        rmdir /etc/netns 2>/dev/null
    done
}

site_ns() { echo "$SITE_ID-$1"; }

# site_add_host NAME OCTET: a host at 10.231.0.OCTET on the bridge.
site_add_host() {
    local name=$1 ns
    ns=$(site_ns "$1")
    SITE_ADDR[$name]="$SITE_SUBNET.$2"
    SITE_HOSTS+=("$name")
    ip netns add "$ns" &&
        mkdir -p "/etc/netns/$ns" &&
        ip -n "$SITE_LAN" link add "v-$name" type veth peer name eth0 netns "$ns" &&
        ip -n "$SITE_LAN" link set "v-$name" master br0 up &&
        ip -n "$ns" link set lo up &&
        ip -n "$ns" addr add "${SITE_ADDR[$name]}/24" dev eth0 &&
        ip -n "$ns" link set eth0 up ||
        { echo "cannot build host $name"; exit 1; }
}

# Writes every host's hosts file: every host name resolves to its address on
# the bridge. site_hosts_line HOST LINE before this adds HOST's own lines.
declare -A SITE_EXTRA_HOSTS=()
site_hosts_line() { SITE_EXTRA_HOSTS[$1]+="$2"$'\n'; }

site_write_hosts() {
    local h o
    for h in "${SITE_HOSTS[@]}"; do
        {
            echo "127.0.0.1 localhost"
            printf '%s' "${SITE_EXTRA_HOSTS[$h]:-}"
            for o in "${SITE_HOSTS[@]}"; do echo "${SITE_ADDR[$o]} $o"; done
        } >"/etc/netns/$(site_ns "$h")/hosts"
    done
}

SITE_MADE_ETC_NETNS=0
site_setup() {
    site_reap_leftovers
    [ -d /etc/netns ] || SITE_MADE_ETC_NETNS=1
    SITE_DIR=$(mktemp -d "/tmp/$SITE_ID.XXXXXX")
    trap site_cleanup EXIT
    trap 'exit 130' INT TERM
    ip netns add "$SITE_LAN" &&
        ip -n "$SITE_LAN" link add br0 type bridge &&
        ip -n "$SITE_LAN" link set br0 up ||
        { echo "cannot build the bridge"; exit 1; }
}

# site_on HOST CMD...: runs CMD on HOST under HOST's name.
site_on() {
    local host=$1
    shift
    ip netns exec "$(site_ns "$host")" unshare --uts \
        sh -c 'hostname "$0" && exec "$@"' "$host" "$@"
}

# site_start TAG HOST CMD...: starts CMD on HOST in the background, output in
# $SITE_DIR/TAG.out and TAG.err, standard input from TAG.in when that exists
# (a pipe the test writes to with site_feed), else /dev/null. SITE_PID[TAG] is
# the program's own pid (ip netns exec, unshare and sh all exec it); a
# subshell of ours waits for it, so that killing it leaves no job notice.
declare -A SITE_JOB=()
site_start() {
    local tag=$1 host=$2 in=/dev/null
    shift 2
    [ -p "$SITE_DIR/$tag.in" ] && in="$SITE_DIR/$tag.in"
    rm -f "$SITE_DIR/$tag.pid"
    (
        # The program must not hold the test's ends of the other pipes, or
        # closing one would never read as the end of its input.
        for fd in "${SITE_FD[@]}"; do exec {fd}>&-; done
        ip netns exec "$(site_ns "$host")" unshare --uts \
            sh -c 'hostname "$0" && exec "$@"' "$host" "$@" \
            <"$in" >"$SITE_DIR/$tag.out" 2>"$SITE_DIR/$tag.err" &
        echo $! >"$SITE_DIR/$tag.pid"
        wait $!
    ) 2>/dev/null &
    SITE_JOB[$tag]=$!
    while [ ! -s "$SITE_DIR/$tag.pid" ]; do sleep 0.05; done
    SITE_PID[$tag]=$(<"$SITE_DIR/$tag.pid")
    SITE_PIDS+=("${SITE_PID[$tag]}")
}

# site_pipe TAG: makes TAG's standard input a pipe this shell holds open on
# descriptor SITE_FD[TAG] until site_close_pipe TAG.
declare -A SITE_FD=()
site_pipe() {
    local fd
    mkfifo "$SITE_DIR/$1.in"
    exec {fd}<>"$SITE_DIR/$1.in"
    SITE_FD[$1]=$fd
}
site_feed() { echo "$2" >&"${SITE_FD[$1]}"; }
site_close_pipe() {
    local fd=${SITE_FD[$1]:-}
    [ -n "$fd" ] && exec {fd}>&-
    unset "SITE_FD[$1]"
}

# site_wait_for SECONDS CMD...: polls CMD every 0.2 s until it succeeds (0)
# or SECONDS have passed (1). SITE_WAITED holds the seconds it took.
site_wait_for() {
    local limit_ms=$(($1 * 1000)) start
    shift
    start=$(site_now_ms)
    while :; do
        if "$@" >/dev/null 2>&1; then
            SITE_WAITED=$(site_since "$start")
            return 0
        fi
        if (($(site_now_ms) - start >= limit_ms)); then
            SITE_WAITED=$(site_since "$start")
            return 1
        fi
        sleep 0.2
    done
}

# site_log_has TAG TEXT: TAG's output (both streams) holds TEXT.
site_log_has() { cat "$SITE_DIR/$1.out" "$SITE_DIR/$1.err" 2>/dev/null | grep -qF -- "$2"; }

site_running() { [ -n "${SITE_PID[$1]:-}" ] && kill -0 "${SITE_PID[$1]}" 2>/dev/null; }
site_ended() { ! site_running "$1"; }

# site_stop TAG SIGNAL SECONDS: sends SIGNAL and waits up to SECONDS for the
# end; SITE_STATUS is the exit status ("running" when it did not end, "none"
# for a TAG never started).
site_stop() {
    SITE_STATUS=none
    [ -n "${SITE_PID[$1]:-}" ] || return 0
    kill -s "$2" "${SITE_PID[$1]}" 2>/dev/null
    if site_wait_for "$3" site_ended "$1"; then
        wait "${SITE_JOB[$1]}"
        SITE_STATUS=$?
    else
        SITE_STATUS=running
    fi
}

# The link of HOST to the bridge, taken down at the bridge: HOST's packets
# are dropped and nothing, not even a reset, reaches the others.
site_cut() { ip -n "$SITE_LAN" link set "v-$1" down; }

site_show_logs() {
    local f
    for f in "$SITE_DIR"/*.out "$SITE_DIR"/*.err; do
        [ -s "$f" ] || continue
        echo "---- ${f##*/} (last 25 lines)"
        tail -n 25 "$f"
    done
}

site_cleanup() {
    local status=$? pid h ns
    trap - EXIT INT TERM
    for pid in "${SITE_PIDS[@]}"; do kill -9 "$pid" 2>/dev/null; done
    for h in "${SITE_HOSTS[@]}" lan; do
        ns=$(site_ns "$h")
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
    done
    wait 2>/dev/null
    for h in "${SITE_HOSTS[@]}" lan; do
        ns=$(site_ns "$h")
        ip netns del "$ns" 2>/dev/null
        rm -rf "/etc/netns/$ns"
    done
    [ $SITE_MADE_ETC_NETNS = 1 ] && rmdir /etc/netns 2>/dev/null
    if [ -n "$SITE_DIR" ] && [ -d "$SITE_DIR" ]; then
        [ "$status" != 0 ] && [ "$status" != 77 ] && site_show_logs
        rm -rf "$SITE_DIR"
    fi
    exit "$status"
}
