#!/usr/bin/env bash
# Builds the extension into BUILD_DIR (default build/dev) and lays out an
# importable package at BUILD_DIR/pkg/kestrix (the Python files are symlinked
# from src/kestrix, so edits to them need no rebuild).
#   scripts/dev-build.sh [BUILD_DIR] [extra cmake args...]
#   PYTHONPATH=BUILD_DIR/pkg python -m pytest
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/dev}"
shift || true
python="${PYTHON:-python3}"
cmake -S "$root" -B "$build" -G Ninja -DKESTRIX_PYTHON=ON -DPython_EXECUTABLE="$(command -v "$python")" "$@" >/dev/null
cmake --build "$build" --target _kestrix _native >/dev/null
pkg="$build/pkg/kestrix"
rm -rf "$pkg"
mkdir -p "$pkg"
for f in "$root"/src/kestrix/*; do ln -s "$f" "$pkg/"; done
cp "$build"/_kestrix*.so "$build"/_native*.so "$pkg/"
echo "$build/pkg"
