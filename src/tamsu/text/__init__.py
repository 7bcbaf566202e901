"""Running text: sentences in, pronounced tokens with their offsets out.

:meth:`tamsu.G2P.phonemize` and :meth:`tamsu.G2P.phonemize_many` are the
way in; the records are :class:`Token` and :class:`Reading`. The modules:
:mod:`tamsu.text.tokens` (ICU's word breaks, offsets in characters),
:mod:`tamsu.text.numbers` (numbers and symbols as words, ICU's spell-out),
:mod:`tamsu.text.abbreviations` (English abbreviations and initialisms),
:mod:`tamsu.text.phonemize` (the words of many texts through the front end
in batches). ICU is imported when the first text is read.
"""

from tamsu.text.phonemize import Reading, ReadingSource, Token
from tamsu.text.tokens import Kind

__all__ = ["Kind", "Reading", "ReadingSource", "Token"]
