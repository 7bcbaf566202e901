#!/bin/sh
# Rebuilds what changed, then runs every test: the C++ core's GoogleTest
# suites and the Python suites, then mypy over the package's types.
set -eu
cd "$(dirname "$0")"
# -Dtests=enabled: the C++ suites, which ./setup.sh leaves out, are built
# here (by meson test) and a missing GoogleTest is an error.
.venv/bin/pip install --quiet --no-build-isolation \
  --config-settings=builddir=build \
  --config-settings=setup-args=-Dtests=enabled .
status=0
meson test -C build --print-errorlogs || status=$?
.venv/bin/python -X dev -m pytest -q tests "$@" || status=$?
# The package and a typed client pass mypy in strict mode.
MYPYPATH=src mypy --strict src/tamsu tests/typed_client.py || status=$?
exit $status
