#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for a while from its committed seed corpus
# (new inputs go to a scratch copy, so the tree stays as it is). A harness that fails leaves its input
# in the build directory (crash-*, leak-*, timeout-*) and fails the run.
# fuzz/run.sh [BUILD_DIR [SECONDS]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-fuzz}
seconds=${2:-30}
"$top/scripts/install-deps.sh" clang-14 libclang-rt-14-dev
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
CC=clang-14 CXX=clang++-14 cmake -S "$top" -B "$dir" -DQUILLMAP_FUZZ=ON -DQUILLMAP_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$scratch/configure.log" || { cat "$scratch/configure.log"; exit 1; }
cmake --build "$dir" --target quillmap_fuzzers -j"$(nproc)"
status=0
for harness in "$dir"/fuzz/fuzz_*; do
  [ -x "$harness" ] || continue
  name=$(basename "$harness")
  mkdir -p "$scratch/$name"
  dirs=("$scratch/$name" "$top/fuzz/corpus/$name")
  [ -d "$top/fuzz/regressions/$name" ] && dirs+=("$top/fuzz/regressions/$name")
  echo "== $name for ${seconds}s"
  if ! (cd "$dir" && "$harness" -max_total_time="$seconds" -print_final_stats=1 "${dirs[@]}" > "$scratch/$name.log" 2>&1); then
    tail -60 "$scratch/$name.log"
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done" "$scratch/$name.log" || true
  fi
done
exit $status
