"""The examples of the README and docs/ show what they print
(tools/readme_examples.py)."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tools"))

import readme_examples  # noqa: E402

PAGES = readme_examples.pages()


def test_every_page_with_examples_is_checked():
    names = [os.path.relpath(page, readme_examples.ROOT) for page in PAGES]
    assert names[0] == "README.md"
    assert {"docs/words.md", "docs/text.md"} <= set(names)


@pytest.mark.parametrize("page", PAGES, ids=lambda page: os.path.relpath(
    page, readme_examples.ROOT))
def test_examples_show_what_they_print(page, tmp_path, monkeypatch):
    with open(page, encoding="utf-8") as stream:
        text = stream.read()
    monkeypatch.chdir(tmp_path)
    assert readme_examples.regenerated(text).splitlines() == \
        text.splitlines(), \
        "examples are stale: run tools/readme_examples.py --update"
