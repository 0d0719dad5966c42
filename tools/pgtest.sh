#!/usr/bin/env bash
# A throw-away PostgreSQL cluster for the tests and benchmarks.
#   eval "$(tools/pgtest.sh start)"   # exports KIV_TEST_PGURL and KIV_TEST_PGDIR
#   tools/pgtest.sh stop [DIR]        # stops it and removes DIR (default $KIV_TEST_PGDIR)
# The cluster lives in a new temporary directory, listens on 127.0.0.1 on a
# free port (and on a Unix socket in that directory), trusts local
# connections, and runs as an unprivileged user: as root (CI) that is
# "nobody". It does not sync to disk: nothing in it is meant to survive. Its
# buffers hold bench_server's million test cases.
# PGTEST_DURABLE=1 keeps PostgreSQL's default durability (for benchmarks).
set -euo pipefail

bindir=${PGTEST_BINDIR:-}
if [ -z "$bindir" ]; then
    bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
fi
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
    echo "pgtest: no PostgreSQL server found (install the postgresql package)" >&2
    exit 1
fi

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u nobody -- "$@"
    else
        "$@"
    fi
}

start() {
    local dir port user
    dir=$(mktemp -d /tmp/kiv-pgtest.XXXXXX)
    chmod 755 "$dir"
    if [ "$(id -u)" -eq 0 ]; then
        chown nobody "$dir"
        user=nobody
    else
        user=$(id -un)
    fi
    as_owner "$bindir/initdb" -D "$dir/data" --auth=trust --no-locale -E UTF8 -U "$user" >"$dir/initdb.log" 2>&1 || {
        cat "$dir/initdb.log" >&2
        rm -rf "$dir"
        exit 1
    }
    local durability="-c fsync=off -c synchronous_commit=off -c full_page_writes=off"
    if [ "${PGTEST_DURABLE:-0}" = 1 ]; then durability=""; fi
    # A port nobody listens on; another process may take it meanwhile, so try a few.
    for attempt in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 20000))
        if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then continue; fi
        if as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
            -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c max_connections=300 -c shared_buffers=1GB $durability" start >/dev/null; then
            as_owner "$bindir/createdb" -h 127.0.0.1 -p "$port" -U "$user" kivtest
            echo "export KIV_TEST_PGURL=postgresql://$user@127.0.0.1:$port/kivtest"
            echo "export KIV_TEST_PGDIR=$dir"
            return 0
        fi
    done
    cat "$dir/server.log" >&2 || true
    rm -rf "$dir"
    echo "pgtest: the cluster did not start" >&2
    exit 1
}

stop() {
    local dir=${1:-${KIV_TEST_PGDIR:-}}
    if [ -z "$dir" ] || [ ! -d "$dir/data" ]; then
        echo "pgtest: no cluster directory given" >&2
        exit 1
    fi
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
}

case "${1:-}" in
    start) start ;;
    stop) stop "${2:-}" ;;
    *)
        echo "usage: tools/pgtest.sh start|stop [DIR]" >&2
        exit 2
        ;;
esac
