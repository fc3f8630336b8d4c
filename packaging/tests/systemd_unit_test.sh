#!/usr/bin/env bash
# The installed systemd unit passes `systemd-analyze verify`: its directives, its ExecStart= program
# and its Documentation= pages. The unit is installed with the prefix /usr into a stage, then
# pointed at the stage's daemon and configuration, since verify looks at the running system's files.
# shellcheck source=packaging/tests/lib.sh
source "$(dirname "$0")/lib.sh"
need_tool systemd-analyze "Debian package systemd"

stage=$scratch/stage
install_tree "$stage" /usr
unit=$stage/usr/lib/systemd/system/quillmap.service
[ -f "$unit" ] || fail "the unit was not installed under /usr/lib/systemd/system"
grep -qx "ExecStart=/usr/sbin/quillmap -c /etc/quillmap/quillmap.conf" "$unit" ||
  fail "the unit does not start /usr/sbin/quillmap with /etc/quillmap/quillmap.conf"
grep -qx "Type=forking" "$unit" || fail "the unit is not Type=forking"
pid_path=$(sed -n 's/^pid_path=//p' "$stage/etc/quillmap/quillmap.conf")
grep -qx "PIDFile=$pid_path" "$unit" || fail "PIDFile= is not the configuration's pid_path ($pid_path)"

mkdir -p "$scratch/units"
sed -e "s|^ExecStart=/usr/sbin/|ExecStart=$stage/usr/sbin/|" -e "s| -c /etc/| -c $stage/etc/|" \
  "$unit" >"$scratch/units/quillmap.service"
if MANPATH=$stage/usr/share/man systemd-analyze verify "$scratch/units/quillmap.service" \
     >"$scratch/verify.log" 2>&1 && ! grep -q . "$scratch/verify.log"; then
  echo "PASS"
else
  cat "$scratch/verify.log"
  fail "systemd-analyze verify reported the above"
fi
