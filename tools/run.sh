#!/usr/bin/env bash
# Installs what is missing, builds, starts the controller emulator with the
# sample device template and the test-management server (autotest-server, its
# database in build/bin/Data/server.db3) in the background, and the auto-test
# host in the foreground, each on its port (see --help). Other arguments go to
# autotest-host. Ctrl-C stops all three.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'EOF'
Usage: tools/run.sh [--host-port N] [--server-port N] [--controller-port N] [HOST OPTION...]

Builds into build/ (installing what is missing), then runs three programs until Ctrl-C:
  controller-emulator  the device controller's stand-in, on ws://127.0.0.1:CONTROLLER-PORT
  autotest-server      the test-management server and the web console, on http://127.0.0.1:SERVER-PORT
  autotest-host        the auto-test service, on ws://127.0.0.1:HOST-PORT, using the other two

  --host-port N        the host's WebSocket port (default 8765; the same as the host's --port)
  --server-port N      the server's port (default 8080); the host looks for it there and lets
                       the console served from it connect
  --controller-port N  the emulator's port (default 19870); the host's --controller points there
  -h, --help           this text; nothing is built or started

Every other argument goes to autotest-host after these; build/bin/autotest-host --help lists them.
With another server port, open the console as http://127.0.0.1:SERVER-PORT/?station=ws://127.0.0.1:HOST-PORT
when the host port is not 8765 either.
EOF
}

host_port=8765
server_port=8080
controller_port=19870
host_args=()
port_value() {
    if [[ ! "${2:-}" =~ ^[0-9]+$ ]] || (( 10#$2 < 1 || 10#$2 > 65535 )); then
        echo "run.sh: $1 takes a port from 1 to 65535; see tools/run.sh --help" >&2
        exit 2
    fi
    echo $((10#$2))
}
while (($#)); do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --host-port) host_port=$(port_value "$1" "${2:-}"); shift 2 ;;
        --host-port=*) host_port=$(port_value --host-port "${1#*=}"); shift ;;
        --server-port) server_port=$(port_value "$1" "${2:-}"); shift 2 ;;
        --server-port=*) server_port=$(port_value --server-port "${1#*=}"); shift ;;
        --controller-port) controller_port=$(port_value "$1" "${2:-}"); shift 2 ;;
        --controller-port=*) controller_port=$(port_value --controller-port "${1#*=}"); shift ;;
        *) host_args+=("$1"); shift ;;
    esac
done

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

build/bin/controller-emulator --template examples/device-template.json --port "$controller_port" &
background+=($!)
build/bin/autotest-server --port "$server_port" &
server=$!
background+=($server)
# The host's remote hosts are this server: wait until it answers.
for _ in $(seq 100); do
    if ! kill -0 "$server" 2>/dev/null; then
        echo "run.sh: autotest-server stopped (see its log above; is port $server_port taken?)" >&2
        exit 1
    fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$server_port") 2>/dev/null; then break; fi
    sleep 0.1
done

# Given first: a --port, --controller or --remote-hosts among the host's arguments wins;
# origins given there are allowed besides the console's.
build/bin/autotest-host --port "$host_port" --controller "ws://127.0.0.1:$controller_port" \
    --remote-hosts "http://127.0.0.1:$server_port/api,http://localhost:$server_port/api" \
    --allow-origin "http://127.0.0.1:$server_port" --allow-origin "http://localhost:$server_port" \
    ${host_args[@]+"${host_args[@]}"}
