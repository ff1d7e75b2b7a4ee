#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet.
# Usage: scripts/ensure-packages.sh [--i386] PACKAGE...
set -euo pipefail
need_i386=0
if [ "${1:-}" = "--i386" ]; then need_i386=1; shift; fi
missing=()
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
if [ "$need_i386" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "Installing missing packages: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# Another installation may hold the package manager's lock (an unattended upgrade, a second
# build): wait for it rather than fail.
lock_wait=(-o DPkg::Lock::Timeout=900)
$SUDO apt-get "${lock_wait[@]}" update -qq
$SUDO apt-get "${lock_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
