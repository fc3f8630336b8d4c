#!/usr/bin/env bash
# Builds quillmap and runs it in the foreground with run/quillmap.conf (all paths inside run/).
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build"
mkdir -p "$top/run"
conf="$top/run/quillmap.conf"
if [ ! -f "$conf" ]; then
  sed "s|@RUN@|$top/run|g" "$top/daemon/quillmap.conf.example" > "$conf"
fi
exec "$top/build/daemon/quillmap" -D -c "$conf" "$@"
