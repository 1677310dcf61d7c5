#!/usr/bin/env bash
# clang-format for `make lint`, from Debian's packages when it is missing. The
# configuration in .clang-format is checked against Debian 12's version (14).
set -euo pipefail
command -v clang-format >/dev/null && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "clang-format is missing: install it (as root: apt-get install -y clang-format)" >&2
  exit 1
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-format >/dev/null
