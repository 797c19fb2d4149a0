#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine (skips what is present).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build ccache pkg-config clang-format
          # libFuzzer and its sanitizers for the fuzz build (fuzz/CMakeLists.txt)
          clang
          googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
          # image files the app writes (stb_image_write) and its command-line parser
          libstb-dev libcli11-dev
          # the HTTP side of `pmxexport view`
          libcpp-httplib-dev
          # scene files are parsed with simdjson
          libsimdjson-dev
          nodejs npm
          # model files in (the import library and its real test files), and a real browser
          # for the three.js check of written models
          libassimp-dev assimp-testmodels chromium)
missing=()
for p in "${packages[@]}"; do
  # A node.js from elsewhere brings its own npm and conflicts with Debian's npm package.
  if [ "$p" = nodejs ] || [ "$p" = npm ]; then
    command -v "${p/nodejs/node}" >/dev/null 2>&1 && continue
  fi
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# The independent PMX reader the tests check every written file with, three.js (MMDLoader)
# and playwright-core to drive the Debian chromium (it must never fetch a browser of its own).
if [ ! -d tests/js/node_modules/mmd-parser ] || [ ! -d tests/js/node_modules/three ] ||
   [ ! -d tests/js/node_modules/playwright-core ]; then
  (cd tests/js && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --no-audit --no-fund --silent)
fi

# three.js for the pages of `pmxexport view`, which the build installs beside the app.
if [ ! -f app/web/node_modules/three/package.json ]; then
  (cd app/web && npm ci --no-audit --no-fund --silent)
fi
