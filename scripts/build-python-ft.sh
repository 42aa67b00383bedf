#!/usr/bin/env bash
# Builds the free-threaded CPython 3.13 (python3.13t) once and caches it;
# prints its path on the last line. See scripts/build-python.sh.
exec "$(dirname "$0")/build-python.sh" ft
