# shellcheck shell=bash
# Shared by the packaging tests (sourced). The environment comes from packaging/CMakeLists.txt:
# QM_SOURCE_DIR, QM_BUILD_DIR, QM_DAEMON, QM_CLI, QM_VERSION, QM_CMAKE, QM_CPACK, QM_CC, QM_CXX, and
# QM_PYTHON (the interpreter of the Python module) when the module is built.
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

# Runs the program at $1 with --version (no LD_LIBRARY_PATH) and checks that it names $QM_VERSION.
check_version() {
  local out
  out=$(env -u LD_LIBRARY_PATH "$1" --version 2>&1) || fail "$1 --version failed: $out"
  [ "$out" = "$(basename "$1") $QM_VERSION" ] || fail "$1 --version printed '$out'"
}

# Imports the Python module from the folder $1 and checks its version.
check_python_module() {
  local out
  out=$(cd "$scratch" && PYTHONPATH=$1 PYTHONDONTWRITEBYTECODE=1 "$QM_PYTHON" -c \
        'import quillmap, os; print(quillmap.__version__, os.path.dirname(quillmap.__file__))' 2>&1) ||
    fail "the module in $1 does not import: $out"
  [ "$out" = "$QM_VERSION $1" ] || fail "the module in $1 said: $out"
}
