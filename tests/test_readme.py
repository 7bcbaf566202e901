"""The README's examples show what they print (tools/readme_examples.py)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tools"))

import readme_examples  # noqa: E402


def test_readme_examples_show_what_they_print(tmp_path, monkeypatch):
    with open(readme_examples.README, encoding="utf-8") as stream:
        text = stream.read()
    assert len(readme_examples.blocks(text)) >= 3
    monkeypatch.chdir(tmp_path)
    assert readme_examples.regenerated(text).splitlines() == \
        text.splitlines(), \
        "README examples are stale: run tools/readme_examples.py --update"
