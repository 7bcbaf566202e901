"""The distributions: OpenFst's configure option, the self-contained wheel in
a bare virtual environment, the licence files in the wheel and the sdist.
Slow, so run by .ci/run, which builds the wheel and sdist it names in
TAMSU_WHEEL and TAMSU_SDIST."""

import os
import subprocess
import tarfile
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(
    "TAMSU_WHEEL" not in os.environ,
    reason="needs the wheel and sdist that .ci/run builds")

ROOT = Path(__file__).resolve().parent.parent

SMOKE = """
import pathlib, sys, tamsu
assert not [p for p in sys.path if "-packages" in p and sys.prefix not in p]
print(tamsu.G2P()("Zyxtrel")[0])
tamsu.train([("cab", "K AE B"), ("bac", "B AE K"), ("ab", "AE B")] * 3,
            "tiny.fst", order=2)
print(tamsu.G2P("tiny.fst", dictionary=None)("ba")[0])
print(*pathlib.Path(tamsu.__file__).parent.glob("_*.so"), sep="\\n")
"""


@pytest.mark.parametrize("value, chosen", [
    ("system", "system"), ("auto", "system"),
    ("bundled", "bundled 1.8.3 (static)")])
def test_openfst_option_chooses_the_library(tmp_path, value, chosen):
    setup = subprocess.run(
        ["meson", "setup", tmp_path, f"-Dopenfst={value}",
         "-Dtests=disabled"],
        cwd=ROOT, capture_output=True, text=True, check=True)
    assert f"Message: OpenFst: {chosen}\n" in setup.stdout


def test_wheel_works_alone_in_a_bare_venv(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", venv], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index",
                    os.environ["TAMSU_WHEEL"]], check=True)
    lines = subprocess.run([python, "-I", "-c", SMOKE], cwd=tmp_path,
                           capture_output=True, text=True,
                           check=True).stdout.splitlines()
    assert lines[:2] == ["Z IH1 K S T R AH0 L", "B AE"]
    assert {"_tamsu", "_train"} <= {Path(path).name.split(".")[0]
                                    for path in lines[2:]}
    for extension in lines[2:]:
        libraries = subprocess.run(["ldd", extension], capture_output=True,
                                   text=True, check=True).stdout
        assert "libfst" not in libraries and "not found" not in libraries


def test_licences_are_in_the_wheel_and_the_sdist():
    wheel = zipfile.ZipFile(os.environ["TAMSU_WHEEL"]).namelist()
    sdist = tarfile.open(os.environ["TAMSU_SDIST"]).getnames()
    for name in ["LICENSE", "NOTICE", "COPYING.OpenFst"]:
        assert f"tamsu/{name}" in wheel
    for name in ["LICENSE", "NOTICE", "subprojects/openfst.wrap"]:
        assert f"{sdist[0].split('/')[0]}/{name}" in sdist
    # OpenFst's source is fetched at build time, never shipped.
    assert not [n for n in sdist if "packagecache" in n or "openfst-1" in n]
