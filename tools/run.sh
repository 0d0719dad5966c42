#!/usr/bin/env bash
# Installs what is missing, builds, starts the controller emulator with the
# sample device template in the background and the auto-test host in the
# foreground. Extra arguments go to autotest-host (try --help). Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

build/bin/controller-emulator --template examples/device-template.json &
emulator=$!
trap 'kill $emulator 2>/dev/null; wait $emulator 2>/dev/null' EXIT INT TERM

build/bin/autotest-host "$@"
