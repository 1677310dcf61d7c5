#!/usr/bin/env bash
# Installs the built wheel into a fresh virtual environment of each given
# Python and checks that it works there: import, a Kestrix round trip through
# bytes, a Collection add/search/save/load, the console script. Nothing is
# compiled and nothing is fetched (the wheel has no dependencies), so each
# install takes seconds; the time of each is printed.
#
#   scripts/wheel-smoke.sh [WHEEL] [PYTHON...]
#
# WHEEL defaults to the one in dist/; the Pythons default to the oldest and
# newest the package supports, from pyenv (3.8 and 3.13), else python3.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
wheel="${1:-$(ls "$root"/dist/kestrix_db-*.whl 2>/dev/null | head -1)}"
shift || true
if [ ! -f "$wheel" ]; then
  echo "wheel-smoke: no wheel (make wheel builds one into dist/)" >&2
  exit 1
fi
pythons=("$@")
if [ "${#pythons[@]}" -eq 0 ]; then
  for p in /root/.pyenv/versions/3.8.*/bin/python /root/.pyenv/versions/3.13.*/bin/python; do
    [ -x "$p" ] && pythons+=("$p")
  done
  [ "${#pythons[@]}" -gt 0 ] || pythons=(python3)
fi
work="$root/build/wheel-smoke"
rm -rf "$work"
mkdir -p "$work/run"

smoke='
import os, sys, tempfile
import kestrix
from kestrix import Collection, Kestrix

here = os.path.dirname(kestrix.__file__)
assert "site-packages" in here, f"not the installed package: {here}"

def vector(seed):
    # A fixed pattern per seed, no NumPy: the wheel needs nothing else.
    return [1.0 if (seed * 7919 + c * 104729) % 11 < 5 else -1.0 for c in range(kestrix.DIMENSION)]

db = Kestrix()
for i in range(50):
    db.insert(i, vector(i))
again = Kestrix.deserialize(db.serialize())
assert again.serialize() == db.serialize() and len(again) == 50
assert again.search_scan(vector(7), 1) == [(7, 1.0)]

col = Collection()
col.add(list(range(100, 200)), [vector(i) for i in range(100)])
assert col.search(vector(3), k=1) == [(103, 1.0)]
with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "smoke.kxc")
    col.save(path)
    loaded = Collection.load(path)
assert len(loaded) == 100 and loaded.search(vector(3), k=1) == [(103, 1.0)]
print(f"ok: Python {sys.version.split()[0]}, kestrix {kestrix.__version__} from {here}")
'

failed=0
for python in "${pythons[@]}"; do
  version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  venv="$work/py$version"
  "$python" -m venv "$venv"
  start=$EPOCHREALTIME
  # --no-index: the wheel alone, as a machine without a compiler or a network gets it.
  if ! "$venv/bin/python" -m pip install --quiet --no-index --disable-pip-version-check "$wheel"; then
    echo "wheel-smoke: Python $version: install FAILED" >&2
    failed=1
    continue
  fi
  seconds=$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }")
  echo "wheel-smoke: Python $version: pip install ${seconds}s"
  # Run away from the source tree, so only the installed package can be imported.
  if ! (cd "$work/run" && "$venv/bin/python" -c "$smoke") ||
    ! "$venv/bin/kestrix" --help | head -1 | grep -q "^usage: kestrix "; then
    echo "wheel-smoke: Python $version: FAILED" >&2
    failed=1
  fi
done
exit "$failed"
