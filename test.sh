#!/usr/bin/env bash
# Builds quillmap and runs the whole test suite with CTest.
# test.sh [BUILD_DIR [cmake options...]]
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
dir=${1:-$top/build}
[ $# -gt 0 ] && shift
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$dir" "$@"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 600
