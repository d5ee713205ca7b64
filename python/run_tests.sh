#!/bin/sh
# Runs the Python companion's tests from the repository root with the
# system Python, which sees Debian's python3-numpy, python3-matplotlib and
# python3-pytest. They test the package and commands in $PHASEFIT_PYTHON_DIR
# (ctest names the build's copy, BUILD/python), else those in python/.
set -eu
cd "$(dirname "$0")/.."
export PYTHONDONTWRITEBYTECODE=1
export MPLBACKEND=Agg
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests "$@"
