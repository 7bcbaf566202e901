"""Integer options that would not fit their C++ fields are refused, never
wrapped around."""

import pytest

from tamsu import _train
from tamsu.training import train


@pytest.mark.parametrize("option, value, allowed", [
    ("order", 2**32 + 7, "1 and 32"),
    ("max_graphemes", 2**32 + 1, "1 and 8"),
    ("iterations", 2**32 + 1, "1 and 4294967295"),
    ("max_ngrams", 2**64 + 1, "0 and 18446744073709551615"),
    ("max_ngrams", -1, "0 and 18446744073709551615"),
])
def test_train_refuses_out_of_range_options(tmp_path, option, value, allowed):
    message = f"{option} must be between {allowed}"
    with pytest.raises(ValueError, match=message):
        train([("cat", "K AE T")], tmp_path / "m.fst", **{option: value})
    # The binding refuses what its fields cannot hold.
    with pytest.raises(OverflowError, match=f"{option} must be between 0 "):
        _train.train_model([], str(tmp_path / "m.fst"), **{option: value})
