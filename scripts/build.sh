#!/usr/bin/env bash
# build.sh BUILD_DIR [cmake options...]: configures and builds quillmap in BUILD_DIR.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$top" -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
