#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine (skips what is present).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build ccache pkg-config clang-format
          googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
          nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# The independent PMX reader the tests check every written file with.
if [ ! -d tests/js/node_modules/mmd-parser ]; then
  (cd tests/js && npm install --no-audit --no-fund --silent)
fi
