#!/bin/sh
# Installs what tamsu needs (Debian packages), builds it into .venv, and
# decodes a few words, saying what each step does and how long it took.
# Safe to run again: it only installs what is missing and rebuilds what
# changed. The C++ test suites are left to ./test.sh, which builds them.
#
# python3-torch trains neural models; without libopenblas0-pthread it does
# its matrix work on the reference BLAS, about 25 times slower.
# python3-dask and python3-distributed run tamsu.dask_support (optional);
# wamerican is the word list of the benchmarks in bench/. python3-icu cuts
# running text into words and reads numbers (tamsu phonemize);
# python3-sklearn trains the homograph model (data/build_homographs.py),
# never needed to run tamsu. libgtest-dev and libgmock-dev are for
# ./test.sh's C++ suites, python3-sphinx and python3-myst-parser build the
# documentation in docs/.
set -eu
cd "$(dirname "$0")"

started=$(date +%s)
step_start=$started
# step NAME: announces a step; done_step: how long it took.
step() {
  step_start=$(date +%s)
  echo "setup: $*"
}
done_step() {
  echo "setup:   done in $(($(date +%s) - step_start)) s"
}

packages="g++ pkg-config libfst-dev libfst-tools python3-dev python3-venv \
meson ninja-build python3-mesonpy python3-pytest python3-numpy python3-tqdm \
python3-hypothesis libgtest-dev libgmock-dev \
mypy libeigen3-dev python3-torch libopenblas0-pthread python3-dask \
python3-distributed wamerican python3-icu python3-sklearn \
python3-sphinx python3-myst-parser"
step "1/3 Debian packages: checking the $(echo "$packages" | wc -w) tamsu needs"
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
if [ -n "$missing" ]; then
  echo "setup:   installing$missing (apt-get; a few minutes the first time)"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
else
  echo "setup:   all installed"
fi
done_step

if [ -d build ]; then
  step "2/3 build: rebuilding what changed in build/, installing into .venv"
else
  step "2/3 build: compiling the C++ core and the extension modules into" \
    "build/ and installing into .venv (4 to 8 minutes on two cores)"
fi
# Debian's interpreter, not whatever python3 comes first on PATH.
[ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
# meson-python keeps this file in the source tree; a stale one breaks the
# first build in a kept build folder.
[ -d build ] || rm -f .mesonpy-native-file.ini
# pyproject.toml's setup arguments leave the C++ suites out (-Dtests=disabled):
# a user's set-up needs neither GoogleTest nor the suites' build time.
.venv/bin/pip install --quiet --no-build-isolation \
  --config-settings=builddir=build .
done_step

step "3/3 check: decoding a few words with the installed tamsu"
.venv/bin/tamsu apply --nbest 2 hello world tomato phoneme tamsu
done_step

echo "setup: ready in $(($(date +%s) - started)) s: .venv/bin/tamsu," \
  ".venv/bin/python -c 'import tamsu'; ./test.sh runs every test"
