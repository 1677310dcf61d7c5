#!/usr/bin/env bash
# GoogleTest for the C++ unit tests, from Debian's packages when it is missing.
set -euo pipefail
if [ -f /usr/include/gtest/gtest.h ] && ls /usr/lib/*/libgtest.a >/dev/null 2>&1; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "GoogleTest is missing: install libgtest-dev (as root: apt-get install -y libgtest-dev)" >&2
  exit 1
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
