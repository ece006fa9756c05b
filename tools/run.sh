#!/usr/bin/env bash
# Installs what is needed and builds. The photo-frame program does not
# exist yet: for now this builds the library and its tools.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)"
echo "Library built in build/release (the program itself is not built yet)."
