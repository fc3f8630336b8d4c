#!/usr/bin/env bash
# cmake --install into a temporary DESTDIR and prefix: every file lands in its GNU directory, a
# second install keeps an edited configuration, the installed programs and Python module work from
# there, and programs built against the installed library (pkg-config, and find_package for the
# shared and the static library) run without LD_LIBRARY_PATH.
# shellcheck source=packaging/tests/lib.sh
source "$(dirname "$0")/lib.sh"
need_tool pkg-config

stage=$scratch/stage
prefix=/opt/quillmap-test
root=$stage$prefix
install_tree "$stage" "$prefix"

for f in sbin/quillmap bin/quillmap-cli lib/libquillmap_reader.so.0 lib/libquillmap_reader.so \
         lib/libquillmap_reader.a include/quillmap/quillmap_reader.h include/quillmap/quillmap_reader.hpp \
         lib/pkgconfig/quillmap-reader.pc lib/cmake/quillmap_reader/quillmap_reader-config.cmake \
         lib/cmake/quillmap_reader/quillmap_reader-config-version.cmake \
         share/man/man8/quillmap.8 share/man/man5/quillmap.conf.5 share/man/man1/quillmap-cli.1 \
         share/man/man3/quillmap_reader.3 share/doc/quillmap/quillmap.conf.example \
         lib/systemd/system/quillmap.service; do
  [ -e "$root/$f" ] || fail "not installed: $prefix/$f"
done
# The GNU rule for /opt/X: configuration under /etc/opt/X.
conf=$stage/etc$prefix/quillmap/quillmap.conf
[ -f "$conf" ] || fail "not installed: /etc$prefix/quillmap/quillmap.conf"
[ -f "$stage/etc$prefix/logrotate.d/quillmap" ] || fail "not installed: the logrotate snippet"
grep -qx "ExecStart=$prefix/sbin/quillmap -c /etc$prefix/quillmap/quillmap.conf" \
  "$root/lib/systemd/system/quillmap.service" || fail "the unit does not name the installed daemon and configuration"
grep -qx "user=quillmap" "$conf" || fail "the configuration does not run the daemon as quillmap"
grep -qx "data_path=/var/lib/quillmap/quillmap.yaml" "$conf" || fail "the configuration's data_path is not under /var/lib/quillmap"

# An operator's edit survives the next install.
echo "# edited" >>"$conf"
install_tree "$stage" "$prefix"
grep -qx "# edited" "$conf" || fail "a second install overwrote the edited configuration"

# The installed programs run from the stage, and so does the Python module: under a prefix other
# than /usr, in lib/python3.X/dist-packages (Debian's python3 searches that folder of /usr/local).
check_version "$root/sbin/quillmap"
check_version "$root/bin/quillmap-cli"
if [ -n "${QM_PYTHON:-}" ]; then
  check_python_module "$root/lib/$("$QM_PYTHON" -c 'import sys; print("python%d.%d" % sys.version_info[:2])')/dist-packages"
fi

# Programs built against the installed library. No daemon is needed: they print the library's text
# of a result code and the answer to opening a data path that does not exist.
cat >"$scratch/prog.c" <<'C'
#include <stdio.h>
#include <quillmap_reader.h>
int main(void) {
  quillmap_reader* r = NULL;
  int rc = quillmap_reader_open("/nonexistent/quillmap.yaml", 0, &r);
  printf("%s|%s\n", quillmap_reader_strerror(QUILLMAP_READER_E_CHANGED), quillmap_reader_strerror(rc));
  quillmap_reader_close(r);
  return 0;
}
C
cat >"$scratch/prog.cpp" <<'CPP'
#include <cstdio>
#include <quillmap_reader.hpp>
int main() {
  quillmap::Reader reader;
  quillmap::ReadStatus s = quillmap::Reader::open("/nonexistent/quillmap.yaml", &reader);
  std::printf("%s|%s\n", quillmap::read_status_text(quillmap::ReadStatus::kChanged), quillmap::read_status_text(s));
  return 0;
}
CPP
expected="changed while reading|data path does not exist or cannot be used"
check_run() {
  local out
  out=$(env -u LD_LIBRARY_PATH "$1") || fail "$1 did not run: $out"
  [ "$out" = "$expected" ] || fail "$1 printed '$out', expected '$expected'"
}

flags=${QM_CONSUMER_FLAGS:-}
export PKG_CONFIG_PATH=$root/lib/pkgconfig
[ "$(pkg-config --modversion quillmap-reader)" = "$QM_VERSION" ] || fail "pkg-config reports another version"
# shellcheck disable=SC2046,SC2086
"$QM_CC" $flags -o "$scratch/prog_c" "$scratch/prog.c" $(pkg-config --cflags --libs quillmap-reader)
# shellcheck disable=SC2046,SC2086
"$QM_CXX" $flags -o "$scratch/prog_cpp" "$scratch/prog.cpp" $(pkg-config --cflags --libs quillmap-reader)
check_run "$scratch/prog_c"
check_run "$scratch/prog_cpp"

mkdir -p "$scratch/consumer"
cp "$scratch/prog.c" "$scratch/prog.cpp" "$scratch/consumer/"
cat >"$scratch/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(consumer C CXX)
find_package(quillmap_reader REQUIRED)
add_executable(prog_c prog.c)
target_link_libraries(prog_c PRIVATE quillmap::reader)
add_executable(prog_cpp prog.cpp)
target_link_libraries(prog_cpp PRIVATE quillmap::reader)
add_executable(prog_static prog.c)
target_link_libraries(prog_static PRIVATE quillmap::reader_static)
set_target_properties(prog_static PROPERTIES LINKER_LANGUAGE CXX)
CMAKE
"$QM_CMAKE" -S "$scratch/consumer" -B "$scratch/consumer/build" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_C_COMPILER="$QM_CC" -DCMAKE_CXX_COMPILER="$QM_CXX" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$scratch/consumer.log" 2>&1 ||
  { cat "$scratch/consumer.log"; fail "find_package(quillmap_reader) failed"; }
"$QM_CMAKE" --build "$scratch/consumer/build" >>"$scratch/consumer.log" 2>&1 ||
  { cat "$scratch/consumer.log"; fail "building against the CMake package failed"; }
for p in prog_c prog_cpp prog_static; do check_run "$scratch/consumer/build/$p"; done
if readelf -d "$scratch/consumer/build/prog_static" | grep -q libquillmap_reader; then
  fail "prog_static links the shared library"
fi
echo "PASS"
