"""Several models decoding together; models trained right to left."""

import math

import pytest

from tamsu import Model, train
from tamsu.ensemble import Ensemble, combine_posteriors
from tamsu.graphemes import is_reversed

from train_data import LEXICON

A, B, C = ("A",), ("B",), ("C",)


def test_posteriors_are_normalised_per_model_then_summed():
    third = math.log(3.0)
    ranked = combine_posteriors([[(A, 0.0), (B, third)], [(B, 5.0)]])
    # Model one: A 3/4, B 1/4; model two: B 1. Halved and summed.
    assert [p for p, _ in ranked] == [B, A]
    assert [s for _, s in ranked] == pytest.approx([0.625, 0.375])
    weighted = combine_posteriors([[(A, 0.0), (B, third)], [(B, 5.0)]],
                                  weights=[0.9, 0.1])
    assert weighted[0][0] == A
    # Without normalisation the joint probabilities add up as they are.
    joint = combine_posteriors([[(A, 1.0)], [(C, 0.8)], [(A, 1.5)]],
                               normalise=False)
    assert joint[0][0] == A  # e^-1 + e^-1.5 > e^-0.8
    # Long words: exp(-1000) is 0.0, yet B still outranks A.
    joint = combine_posteriors([[(A, 1000.0)], [(B, 1000.2)], [(B, 1000.3)]],
                               normalise=False)
    assert joint[0][0] == B


@pytest.mark.parametrize("delim", ["", "."])
def test_reversed_model_reads_and_answers_the_right_way_round(tmp_path,
                                                              delim):
    # With "." "ph" is one grapheme: words reverse by graphemes.
    lexicon = [(delim.join(w).replace("p.h", "ph"), p) for w, p in LEXICON]
    backward = str(tmp_path / "b.fst")
    train(lexicon, backward, order=4, delim=delim, reverse=True,
          progress=False)
    assert is_reversed(Model(backward, delim))
    alone = Ensemble([backward], delim=delim, depth=1)
    for word, phonemes in lexicon:
        assert alone.pronounce(word)[0][0] == tuple(phonemes.split()), word
