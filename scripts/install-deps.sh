#!/usr/bin/env bash
# Installs the Debian packages that building and testing quillmap needs, when any is missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libbenchmark-dev libprotobuf-c-dev protobuf-c-compiler libyaml-dev
          pkg-config liblmdb-dev redis-server redis-tools libgeoip-dev geoip-database
          systemd logrotate groff-base dpkg-dev python3-dev python3-pytest
          libcurl4-openssl-dev nlohmann-json3-dev libssl-dev etcd-server etcd-client "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
