#!/usr/bin/env bash
# clang-format for `make lint`, from Debian's packages when it is missing. The
# configuration in .clang-format is checked against Debian 12's version (14).
set -euo pipefail
command -v clang-format >/dev/null && exit 0
exec "$(dirname "$0")/apt-install.sh" clang-format
