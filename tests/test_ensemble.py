"""Several models decoding together."""

import math

import pytest

from tamsu.ensemble import combine_posteriors

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
