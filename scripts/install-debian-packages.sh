#!/bin/sh
# Installs those Debian packages listed in the given file that are missing;
# does nothing, quickly, when all of them are already there.
set -eu
list=$1
missing=""
for package in $(grep -v '^#' "$list"); do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0
echo "Installing Debian packages:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
