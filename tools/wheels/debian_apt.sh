#!/usr/bin/env bash
# apt-get with a private state under build/, so that the host's apt configuration stays as it is:
# the package lists of bookworm and sid for amd64 and arm64, and bookworm's source packages, from
# the archive the host's apt uses. Files land in the current folder.
#
#   tools/wheels/debian_apt.sh download libpython3.15-dev:arm64
#   tools/wheels/debian_apt.sh source --download-only python3.11
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
apt=$root/build/debian-apt
options=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=- -o Dir::State::Lists="$apt/lists"
         -o Dir::Cache="$apt/cache" -o Dir::State::status=/dev/null -o Debug::NoLocking=1
         -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 -o Acquire::Check-Valid-Until=false)
# The package lists are read again once a day.
if [ ! -e "$apt/updated" ] || [ -n "$(find "$apt/updated" -mmin +1440)" ]; then
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  for suite in bookworm sid; do
    echo "deb [arch=amd64,arm64 signed-by=$keyring] $mirror $suite main"
  done > "$apt/sources.list"
  echo "deb-src [signed-by=$keyring] $mirror bookworm main" >> "$apt/sources.list"
  apt-get "${options[@]}" update -qq
  touch "$apt/updated"
fi
# apt's download user cannot write into build/; the warning that it fetched as root says no more.
apt-get "${options[@]}" -qq "$@" 2>&1 | { grep -v unsandboxed || true; }
