"""`tamsu train`'s own options: the read summary, stress and graphemes."""

import subprocess
import sys

from tamsu.graphemes import grapheme_form


def test_train_summarises_strips_stress_and_records_the_form(tmp_path):
    lexicon = tmp_path / "l.dict"
    lexicon.write_text("about\tAH0 B AW1 T\nago\tAH0 G OW1\nbat\tB AE1 T\n",
                       encoding="utf-8")
    model = tmp_path / "m.fst"
    result = subprocess.run(
        [sys.executable, "-m", "tamsu", "train", str(lexicon), "-o",
         str(model), "--strip-stress", "--graphemes", "nfd"],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    first = result.stderr.splitlines()[0]
    assert first.startswith(f"tamsu: read {lexicon}: 3 entries of 3 words")
    assert "stress marks stripped" in first
    assert "NFD graphemes" in result.stderr
    assert grapheme_form(str(model)) == "nfd"
    applied = subprocess.run(
        [sys.executable, "-m", "tamsu", "apply", "-m", str(model), "bat"],
        capture_output=True, text=True, timeout=300)
    assert applied.stdout.split("\t")[-1].strip() == "B AE T"
