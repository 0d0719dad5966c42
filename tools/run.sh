#!/usr/bin/env bash
# Installs what is missing, builds, starts the controller emulator with the
# sample device template and the test-management server (autotest-server on
# 127.0.0.1:8080, its database in build/bin/Data/server.db3) in the
# background, and the auto-test host in the foreground. Extra arguments go to
# autotest-host (try --help). Ctrl-C stops all three.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

background=()
stop() {
    for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${background[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop EXIT
trap 'exit 130' INT TERM

build/bin/controller-emulator --template examples/device-template.json &
background+=($!)
build/bin/autotest-server &
server=$!
background+=($server)
# The host's default remote hosts are this server: wait until it answers.
for _ in $(seq 100); do
    if ! kill -0 "$server" 2>/dev/null; then
        echo "run.sh: autotest-server stopped (see its log above; is port 8080 taken?)" >&2
        exit 1
    fi
    if (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; then break; fi
    sleep 0.1
done

build/bin/autotest-host "$@"
