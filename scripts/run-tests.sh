#!/usr/bin/env bash
# Fresh machine to a green test run: installs what is missing, builds the default and the
# ASan+UBSan configurations, and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Formatting is part of the build's contract (resources/ keeps the host's resource layout);
# checked first, since it takes seconds and the builds take minutes.
git ls-files '*.cpp' '*.h' ':!resources/*' | xargs clang-format --dry-run --Werror
for preset in default asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
