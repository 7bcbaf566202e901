"""Models trained right to left, alone and beside a left-to-right one."""

import pytest

from tamsu import Model, train
from tamsu.ensemble import Ensemble
from tamsu.graphemes import is_reversed

from train_data import LEXICON


@pytest.mark.parametrize("delim", ["", "."])
def test_reversed_model_reads_and_answers_the_right_way_round(tmp_path,
                                                              delim):
    # A "." delimiter cuts "ph" into one grapheme: words are reversed by
    # graphemes, not characters.
    lexicon = [(delim.join(word) if delim else word, phonemes)
               for word, phonemes in LEXICON]
    if delim:
        lexicon = [(w.replace("p.h", "ph"), p) for w, p in lexicon]
    forward = str(tmp_path / "forward.fst")
    backward = str(tmp_path / "backward.fst")
    train(lexicon, forward, order=4, delim=delim, progress=False)
    report = train(lexicon, backward, order=4, delim=delim, reverse=True,
                   progress=False)
    assert report.options["reverse"] is True
    assert not is_reversed(Model(forward, delim))
    assert is_reversed(Model(backward, delim))
    alone = Ensemble([backward], delim=delim, depth=1)
    for word, phonemes in lexicon:
        assert alone.pronounce(word)[0][0] == tuple(phonemes.split()), word
    pair = Ensemble([forward, backward], delim=delim, depth=2)
    word = "p.h.o.n.e".replace("p.h", "ph") if delim else "phone"
    assert pair.pronounce(word)[0][0] == ("F", "OW", "N")
