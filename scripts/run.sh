#!/usr/bin/env bash
# Installs what Lumivane needs, builds it and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIVANE_TESTS=OFF
cmake --build build
exec build/app/lumivane "$@"
