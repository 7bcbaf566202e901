"""Integer options of training and decoding that would not fit their C++
fields are refused, never wrapped around."""

import pytest

from tamsu import _train
from tamsu.cli import build_parser
from tamsu.training import train

LEXICON = [("cat", "K AE T"), ("tack", "T AE K")]


@pytest.mark.parametrize("option, value, allowed", [
    ("order", 2**32 + 7, "1 and 32"),
    ("order", 0, "1 and 32"),
    ("max_graphemes", 2**32 + 1, "1 and 8"),
    ("max_phonemes", 2**32 + 2, "1 and 8"),
    ("max_deleted", 2**32, "0 and 8"),
    ("iterations", 2**32 + 1, "1 and 4294967295"),
    ("threads", 2**32 + 1, "1 and 64"),
    ("max_ngrams", 2**64 + 1, "0 and 18446744073709551615"),
    ("max_ngrams", -1, "0 and 18446744073709551615"),
])
def test_train_refuses_out_of_range_options(tmp_path, option, value, allowed):
    output = tmp_path / "model.fst"
    message = f"{option} must be between {allowed}"
    with pytest.raises(ValueError, match=message):
        train(LEXICON, output, progress=False, **{option: value})
    assert not output.exists()


@pytest.mark.parametrize("option, value", [
    ("order", 2**32 + 7), ("max_graphemes", -1), ("max_ngrams", 2**64 + 1)])
def test_the_binding_refuses_values_its_fields_cannot_hold(tmp_path, option,
                                                           value):
    entries = [(["c", "a", "t"], ["K", "AE", "T"])]
    with pytest.raises(OverflowError, match=f"{option} must be between 0"):
        _train.train_model(entries, str(tmp_path / "m.fst"), **{option: value})


@pytest.mark.parametrize("args", [
    ["train", "lex.txt", "-o", "out.fst", "--max-ngrams",
     "18446744073709551617"],
    ["train", "lex.txt", "-o", "out.fst", "--order", "4294967303"],
    ["train", "lex.txt", "-o", "out.fst", "--max-graphemes", "4294967297"],
    ["apply", "--nbest", "99999999999999999999999", "cat"],
    ["apply", "--beam", "18446744073709551616", "cat"],
    ["apply", "--jobs", "100000", "cat"],
])
def test_the_command_line_reports_a_usage_error(capsys, args):
    # Parsing only: should the check go, nothing runs with such values.
    with pytest.raises(SystemExit) as exit:
        build_parser().parse_args(args)
    assert exit.value.code == 2
    assert "must be between" in capsys.readouterr().err
