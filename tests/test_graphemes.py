"""Grapheme forms: chosen from the data, recorded in the model, applied."""

import unicodedata

import pytest

from tamsu import Model, evaluate, train
from tamsu.graphemes import choose_form, grapheme_form

from train_data import write_lexicon

# A tiny Korean lexicon: every syllable is one precomposed character.
KOREAN = [
    ("가감", "k a ɡ a m"), ("감기", "k a m ɡ i"), ("기가", "k i ɡ a"),
    ("가기", "k a ɡ i"), ("감감", "k a m ɡ a m"), ("기감", "k i ɡ a m"),
    ("나기", "n a ɡ i"), ("나감", "n a ɡ a m"), ("기나", "k i n a"),
]


@pytest.mark.parametrize("words, form", [
    (["café", "été", "garçon", "père", "noël", "fête"], "nfc"),
    ([w for w, _ in KOREAN] + ["한국어", "사람", "학교", "물건"], "nfd"),
    # Vowels with tone marks: many rare composed letters, few parts.
    ([f"m{v}" for v in "aàáảãạeèéẻẽẹiìíỉĩịoòóỏõọuùúủũụ"], "nfd"),
])
def test_choose_form(words, form):
    assert choose_form(words) == form


def test_the_model_records_its_form_and_evaluation_applies_it(tmp_path):
    path = str(tmp_path / "ko.fst")
    report = train(KOREAN, path, order=3, max_graphemes=1, progress=False)
    assert report.graphemes == "nfd"
    model = Model(path)
    assert grapheme_form(model) == "nfd" == grapheme_form(path)
    # The model reads jamo: a precomposed syllable is no symbol of it.
    assert model.find_isym("가") is None
    assert model.find_isym(unicodedata.normalize("NFD", "가")[0]) is not None
    # Words given precomposed are decomposed before decoding.
    result = evaluate(path, write_lexicon(tmp_path / "ko.dict", KOREAN))
    assert (result.no_pronunciation, result.word_errors) == (0, 0)
