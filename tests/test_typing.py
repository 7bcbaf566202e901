"""The installed package's types reach mypy (py.typed and the stubs)."""

import os
import shutil
import subprocess
import sys

import pytest

CLIENT = """
import tamsu
g2p = tamsu.G2P()
best: tamsu.Pronunciation = g2p("hello")[0]
phonemes: list[str] = best.phonemes
label: str = tamsu.Model("m.fst").find_isym("a")
weight: str = tamsu.Model("m.fst").phoneticize_paths("a")[0].path_weight
g2p(5)
"""


def test_mypy_sees_the_installed_types(tmp_path):
    mypy = shutil.which("mypy")
    if mypy is None:
        pytest.skip("mypy is not installed")
    client = tmp_path / "client.py"
    client.write_text(CLIENT)
    # Outside the source tree: the package is found where it is installed.
    result = subprocess.run(
        [mypy, "--strict", "--no-incremental",
         f"--python-executable={sys.executable}", str(client)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
        env={**os.environ, "MYPYPATH": ""})
    errors = [line.split(": error: ")[1] for line in
              result.stdout.splitlines() if ": error: " in line]
    assert errors == [
        'Incompatible types in assignment (expression has type '
        '"Tuple[str, ...]", variable has type "List[str]")  [assignment]',
        'Incompatible types in assignment (expression has type '
        '"Optional[int]", variable has type "str")  [assignment]',
        'Incompatible types in assignment (expression has type "float", '
        'variable has type "str")  [assignment]',
        'Argument 1 to "__call__" of "G2P" has incompatible type "int"; '
        'expected "str"  [arg-type]',
    ], result.stdout
