"""Prints, one per line, what a development environment installs from PyPI:
the build tools, the run-time dependencies and the requirements of the named
extras of pyproject.toml (default: test). pyproject.toml stays the one list.

    python scripts/requirements.py test docs
"""

import pathlib
import sys
import tomllib

project = tomllib.loads((pathlib.Path(__file__).parent.parent / "pyproject.toml").read_text())
# The module is installed without build isolation, so the build tools come
# first; cmake and ninja are what scikit-build-core drives.
wanted = list(project["build-system"]["requires"]) + ["cmake", "ninja"]
wanted += project["project"]["dependencies"]
extras = project["project"]["optional-dependencies"]
for name in sys.argv[1:] or ["test"]:
    wanted += extras[name]
print("\n".join(dict.fromkeys(wanted)))
