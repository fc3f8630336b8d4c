#!/usr/bin/env bash
# The Debian packages made by cpack.
#   deb_test.sh contents   each package holds what it should (dpkg-deb -c), with its dependencies
#                          from dpkg-shlibdeps, its conffiles and its maintainer scripts (dpkg-deb -I)
#   deb_test.sh unpacked   the packages unpacked into a temporary root (dpkg-deb -x): the daemon and
#                          the CLI run from there, the Python module imports, and a program builds
#                          against the unpacked development package and runs with the unpacked library
# shellcheck source=packaging/tests/lib.sh
source "$(dirname "$0")/lib.sh"
need_tool dpkg-deb "Debian package dpkg"
need_tool dpkg-shlibdeps "Debian package dpkg-dev"
mode=${1:?contents or unpacked}

out=$scratch/packages
"$QM_CPACK" --config "$QM_BUILD_DIR/CPackConfig.cmake" -B "$out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
daemon_deb=$out/quillmap_${QM_VERSION}_${arch}.deb
lib_deb=$out/libquillmap-reader0_${QM_VERSION}_${arch}.deb
dev_deb=$out/libquillmap-reader-dev_${QM_VERSION}_${arch}.deb
python_deb=""
[ -n "${QM_PYTHON:-}" ] && python_deb=$out/python3-quillmap_${QM_VERSION}_${arch}.deb
for deb in "$daemon_deb" "$lib_deb" "$dev_deb" $python_deb; do
  [ -f "$deb" ] || fail "cpack made no $(basename "$deb") (made: $(ls "$out"))"
  [ "$(dpkg-deb -f "$deb" Version)" = "$QM_VERSION" ] || fail "$(basename "$deb") has another version"
done

# The paths a package holds (directories left out), one per line without the leading ".".
paths() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|'; }
has() {  # package, extended regular expression
  paths "$1" | grep -qE "^$2\$" || fail "$(basename "$1") lacks $2; it holds:"$'\n'"$(paths "$1")"
}
lacks() {
  if paths "$1" | grep -qE "$2"; then fail "$(basename "$1") should not hold $2"; fi
}
depends_on() {  # package, dependency regular expression
  dpkg-deb -f "$1" Depends | grep -qE "(^|, )$2" ||
    fail "$(basename "$1") does not depend on $2: $(dpkg-deb -f "$1" Depends)"
}

if [ "$mode" = contents ]; then
  lib='/usr/lib(/[a-z0-9_-]+-linux-gnu)?'
  for p in /usr/sbin/quillmap /usr/bin/quillmap-cli /usr/lib/systemd/system/quillmap.service \
           /etc/quillmap/quillmap.conf /etc/logrotate.d/quillmap /usr/share/doc/quillmap/quillmap.conf.example \
           /usr/share/man/man8/quillmap.8 /usr/share/man/man5/quillmap.conf.5 /usr/share/man/man1/quillmap-cli.1; do
    has "$daemon_deb" "$p"
  done
  lacks "$daemon_deb" 'libquillmap_reader|/include/|quillmap_reader\.3'
  depends_on "$daemon_deb" 'libc6'
  depends_on "$daemon_deb" 'adduser'
  conffiles=$(dpkg-deb -I "$daemon_deb" conffiles)
  for c in /etc/quillmap/quillmap.conf /etc/logrotate.d/quillmap; do
    grep -qx "$c" <<<"$conffiles" || fail "$c is not a conffile: $conffiles"
  done
  postinst=$(dpkg-deb -I "$daemon_deb" postinst)
  grep -q 'getent passwd quillmap' <<<"$postinst" && grep -q 'adduser --system' <<<"$postinst" ||
    fail "the postinst does not create the system account quillmap"
  unit=$(dpkg-deb --fsys-tarfile "$daemon_deb" | tar -xO ./usr/lib/systemd/system/quillmap.service)
  grep -qx 'ExecStart=/usr/sbin/quillmap -c /etc/quillmap/quillmap.conf' <<<"$unit" ||
    fail "the packaged unit does not start /usr/sbin/quillmap with /etc/quillmap/quillmap.conf"
  dpkg-deb -x "$daemon_deb" "$scratch/daemon"
  for program in usr/sbin/quillmap usr/bin/quillmap-cli; do
    dynamic=$(readelf -d "$scratch/daemon/$program") || fail "readelf cannot read the packaged $program"
    if grep -qE 'RPATH|RUNPATH' <<<"$dynamic"; then fail "the packaged $program carries an RPATH"; fi
  done

  has "$lib_deb" "$lib/libquillmap_reader\.so\.0"
  has "$lib_deb" "$lib/libquillmap_reader\.so\.${QM_VERSION//./\\.}"
  [ "$(paths "$lib_deb" | wc -l)" = 2 ] || fail "libquillmap-reader0 holds more than the library:"$'\n'"$(paths "$lib_deb")"
  depends_on "$lib_deb" 'libstdc\+\+6'
  dpkg-deb -I "$lib_deb" shlibs | grep -q '^libquillmap_reader 0 libquillmap-reader0' ||
    fail "libquillmap-reader0 has no shlibs entry"

  for p in /usr/include/quillmap/quillmap_reader\.h /usr/include/quillmap/quillmap_reader\.hpp \
           "$lib/libquillmap_reader\.so" "$lib/libquillmap_reader\.a" "$lib/pkgconfig/quillmap-reader\.pc" \
           "$lib/cmake/quillmap_reader/quillmap_reader-config\.cmake" /usr/share/man/man3/quillmap_reader\.3; do
    has "$dev_deb" "$p"
  done
  lacks "$dev_deb" 'libquillmap_reader\.so\.0'
  depends_on "$dev_deb" "libquillmap-reader0 \(= ${QM_VERSION//./\\.}\)"

  if [ -n "$python_deb" ]; then
    has "$python_deb" '/usr/lib/python3/dist-packages/quillmap\.cpython-[0-9]+-[a-z0-9_-]+\.so'
    [ "$(paths "$python_deb" | wc -l)" = 1 ] || fail "python3-quillmap holds more than the module:"$'\n'"$(paths "$python_deb")"
    version=$("$QM_PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    depends_on "$python_deb" "python3 \(>= ${version//./\\.}~\)"
    depends_on "$python_deb" 'libc6'
  fi
  echo "PASS"
  exit 0
fi

[ "$mode" = unpacked ] || fail "unknown mode $mode"
need_tool pkg-config
root=$scratch/root
for deb in "$daemon_deb" "$lib_deb" "$dev_deb" $python_deb; do dpkg-deb -x "$deb" "$root"; done
check_version "$root/usr/bin/quillmap-cli"
check_version "$root/usr/sbin/quillmap"
[ -z "$python_deb" ] || check_python_module "$root/usr/lib/python3/dist-packages"

pc=$(find "$root" -name quillmap-reader.pc)
libdir=$(dirname "$(dirname "$pc")")
cat >"$scratch/prog.c" <<'C'
#include <stdio.h>
#include <quillmap_reader.h>
int main(void) { puts(quillmap_reader_strerror(QUILLMAP_READER_E_NO_SEGMENT)); return 0; }
C
# shellcheck disable=SC2046,SC2086
"$QM_CC" ${QM_CONSUMER_FLAGS:-} -o "$scratch/prog" "$scratch/prog.c" $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs quillmap-reader)
got=$(LD_LIBRARY_PATH=$libdir "$scratch/prog")
[ "$got" = "no segment for this data path (is the daemon running?)" ] || fail "the unpacked library said: $got"
echo "PASS"
