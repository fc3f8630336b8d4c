# shellcheck shell=bash
# Shared by the packaging tests (sourced). The environment comes from packaging/CMakeLists.txt:
# QM_SOURCE_DIR, QM_BUILD_DIR, QM_DAEMON, QM_CLI, QM_VERSION, QM_CMAKE, QM_CPACK, QM_CC, QM_CXX.
set -euo pipefail

skip() {
  echo "SKIP: $*"
  exit 77
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

need_tool() {
  command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed${2:+ ($2)}"
}

# A scratch folder removed when the test ends, whatever happened.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillmap-packaging.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Installs the build tree's components into DESTDIR $1 with the prefix $2.
install_tree() {
  DESTDIR=$1 "$QM_CMAKE" --install "$QM_BUILD_DIR" --prefix "$2" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "cmake --install failed"; }
}

# Runs the CLI at $1 with --version, or with --help where --version does not exist yet; prints what
# it printed. Fails when neither works.
cli_version() {
  local out
  if out=$(env -u LD_LIBRARY_PATH "$1" --version 2>&1); then
    printf '%s\n' "$out"
    return 0
  fi
  echo "note: $1 has no --version yet (it said: ${out%%$'\n'*}); checking --help instead" >&2
  out=$(env -u LD_LIBRARY_PATH "$1" --help 2>&1) || fail "$1 --help failed: $out"
  printf '%s\n' "$out"
}
