#!/usr/bin/env bash
# Installs Debian packages for the build and test scripts: as root only, quietly,
# waiting for another apt run to let go of its lock instead of failing at once.
#   scripts/apt-install.sh [--missing] PACKAGE...
# --missing: only those not installed yet, and nothing at all (not even an
# index update) when every one is.
set -euo pipefail
if [ "${1:-}" = --missing ]; then
  shift
  missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ "${#missing[@]}" -gt 0 ] || exit 0
  set -- "${missing[@]}"
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: $* (as root: apt-get install -y $*)" >&2
  exit 1
fi
wait_lock=(-o DPkg::Lock::Timeout=600)
apt-get "${wait_lock[@]}" update -qq
DEBIAN_FRONTEND=noninteractive apt-get "${wait_lock[@]}" install -y -qq "$@" >/dev/null
