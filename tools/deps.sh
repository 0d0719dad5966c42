#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages when any is
# missing. Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev libqt5websockets5-dev qtdeclarative5-dev libqt5sql5-sqlite sqlite3
    libqt5sql5-psql postgresql libboost-dev clang libclang-rt-14-dev
    chromium chromium-driver python3-selenium libxml2-utils nlohmann-json3-dev libsqlite3-dev python3-junitparser nodejs)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# The browser tests install their pinned test-only npm packages (axe-core)
# into the build directory: they need npm, which some builds of nodejs bring.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "deps: installing ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
