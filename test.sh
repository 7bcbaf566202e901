#!/bin/sh
# Rebuilds what changed, then runs every test: the C++ core's GoogleTest
# suites and the Python suites.
set -eu
cd "$(dirname "$0")"
.venv/bin/pip install --quiet --no-build-isolation \
  --config-settings=builddir=build .
status=0
meson test -C build --print-errorlogs || status=$?
.venv/bin/python -X dev -m pytest -q tests "$@" || status=$?
exit $status
