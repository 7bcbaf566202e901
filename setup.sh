#!/bin/sh
# Installs what tamsu needs (Debian packages), builds it into .venv, and
# decodes a few words. python3-torch trains neural models; without
# libopenblas0-pthread it does its matrix work on the reference BLAS,
# about 25 times slower. Safe to run again: it only installs what is missing.
# python3-dask and python3-distributed run tamsu.dask_support (optional);
# wamerican is the word list of the benchmarks in bench/. python3-icu cuts
# running text into words and reads numbers (tamsu phonemize);
# python3-sklearn trains the homograph model (data/build_homographs.py),
# never needed to run tamsu.
set -eu
cd "$(dirname "$0")"

packages="g++ pkg-config libfst-dev libfst-tools python3-dev python3-venv \
meson ninja-build python3-mesonpy python3-pytest python3-numpy python3-tqdm \
python3-hypothesis libgtest-dev libgmock-dev \
mypy libeigen3-dev python3-torch libopenblas0-pthread python3-dask \
python3-distributed wamerican python3-icu python3-sklearn"
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
if [ -n "$missing" ]; then
  echo "Installing Debian packages:$missing"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
fi

# Debian's interpreter, not whatever python3 comes first on PATH.
[ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
# meson-python keeps this file in the source tree; a stale one breaks the
# first build in a kept build folder.
[ -d build ] || rm -f .mesonpy-native-file.ini
.venv/bin/pip install --quiet --no-build-isolation \
  --config-settings=builddir=build \
  --config-settings=setup-args=-Dtests=enabled .

.venv/bin/tamsu apply --nbest 2 hello world tomato phoneme tamsu
