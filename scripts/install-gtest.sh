#!/usr/bin/env bash
# GoogleTest for the C++ unit tests, from Debian's packages when it is missing.
set -euo pipefail
if [ -f /usr/include/gtest/gtest.h ] && ls /usr/lib/*/libgtest.a >/dev/null 2>&1; then
  exit 0
fi
exec "$(dirname "$0")/apt-install.sh" libgtest-dev
