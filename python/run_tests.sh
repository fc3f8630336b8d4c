#!/bin/sh
# Runs the Python module's pytest tests: run_tests.sh PYTHON MODULE_DIR DAEMON CLI TESTS_DIR.
# Exit status 77 (a skip for CTest) when pytest is not installed.
python=$1 module_dir=$2 daemon=$3 cli=$4 tests=$5
if ! "$python" -c "import pytest" 2>/dev/null; then
  echo "skipped: pytest is not installed for $python (Debian: python3-pytest)"
  exit 77
fi
PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" QUILLMAP_DAEMON="$daemon" QUILLMAP_CLI="$cli" \
  exec "$python" -m pytest -q -p no:cacheprovider "$tests"
