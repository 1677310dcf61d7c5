"""Prints the requirements of the package's optional extras named on the
command line, one a line, for `pip install -r`: the tools of a venv whose
suites run against a build that is not installed there, or that is installed
later.

    python scripts/extras.py test [docs ...]
"""

import sys

import tomllib

with open("pyproject.toml", "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
for name in sys.argv[1:]:
    print("\n".join(extras[name]))
