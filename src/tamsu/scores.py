"""Probabilities from model scores: the one softmax every decoder and
combination shares."""

from __future__ import annotations

import math
from typing import Sequence

__all__ = ["shares"]


def shares(log_scores: Sequence[float]) -> list[float]:
    """Each score's share of their probability (a softmax of log scores,
    computed from the best so that long words' tiny probabilities do not
    underflow); [] for none."""
    if not log_scores:
        return []
    best = max(log_scores)
    exps = [math.exp(s - best) for s in log_scores]
    total = sum(exps)
    return [e / total for e in exps]
