#!/usr/bin/env bash
# Fresh machine to a PMX: installs what is missing, builds, and exports the built-in sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
build/default/bin/pmxexport demo -o demo.pmx
echo "Wrote $(pwd)/demo.pmx"
