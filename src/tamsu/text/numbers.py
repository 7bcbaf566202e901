"""Numbers and common symbols read as words, in the text's language.

The words come from ICU's rule-based number spell-out (``%spellout-cardinal``,
``%spellout-ordinal``, ``%spellout-numbering-year`` and their gendered
forms), which knows far more languages than any table here could; this
module only decides what a number is and glues on the few words ICU does
not give: the decimal point's word is ICU's own (spelled out from 0.5),
while percent, currency, time, range and sign words come from a small
table for English, French, German and Spanish. In another language numbers
are still read (cardinals, decimals, years, digit by digit), and the forms
the table lacks stay as they are written.

What a number token may be, matched on ICU's tokens without white space
between them:

- a cardinal ``2``, ``3,500`` (the language's grouping separator), or
  digit by digit ``007``, or longer than 15 digits (where ICU's arithmetic
  ends); more than :data:`MAX_DIGITS` digits are not read;
- a decimal ``3.5``, ``3,5`` (the language's decimal separator);
- a year: four digits from 1000 to 2099 standing alone (``1984``), read by
  ``%spellout-numbering-year`` ("nineteen eighty-four");
- an ordinal ``21st`` (English), ``2e``, ``1er``, ``1re`` (French), ``3.``
  followed by a word (German), ``2º``, ``1.ª`` (Spanish);
- a percentage ``50%``, an amount ``$3.50``, ``€20``, ``20€``, a time
  ``10:30``, a range ``1990-2000``, a signed number ``-5``, ``+5``;
- letters and digits in one word (``mp3``, ``3D``): the digits read, the
  letters kept.
"""

from __future__ import annotations

import functools
import re
import threading
import unicodedata
from typing import Final, NamedTuple, Sequence

from tamsu.text.tokens import Kind, Span, icu

__all__ = ["MAX_DIGITS", "read_numbers", "reads_numbers", "spell_number"]

MAX_DIGITS: Final = 256
"""The longest number, in digits, that is read (digit by digit beyond 15
digits); a longer one is left unread, with a warning, as a word longer
than :data:`tamsu.MAX_WORD_LENGTH` is."""
# ICU's spell-out goes through double arithmetic: exact below 2**53.
_EXACT_DIGITS = 15
_DASHES = ("-", "\u2013", "\u2212")  # hyphen-minus, en dash, minus sign


class _Words(NamedTuple):
    """The words a language's numbers need that ICU does not give."""
    percent: list[str]
    # symbol: (one, many, hundredth, hundredths); a hundredth of None has none
    currencies: dict[str, tuple[str, str, str | None, str | None]]
    and_: list[str]  # between an amount's whole units and its hundredths
    to: list[str]  # of a range
    minus: list[str]
    plus: list[str]
    time: tuple[str, ...]
    """On the hour, minutes 1 to 9, other minutes: "{h}" and "{m}" stand
    for the hour's and the minutes' words."""
    symbols: dict[str, tuple[str, ...]]


# The languages whose number words the tables below complete (ICU codes),
# in the order of the tables' columns; several words are separated by
# spaces.
_LANGUAGES: Final = ("en", "fr", "de", "es")
_PLAIN: Final = {
    "percent": ("percent", "pour cent", "Prozent", "por ciento"),
    "and": ("and", "et", "und", "con"),
    "to": ("to", "à", "bis", "a"),
    "minus": ("minus", "moins", "minus", "menos"),
    "plus": ("plus", "plus", "plus", "más"),
}
# A currency's one, many, hundredth and hundredths.
_CURRENCIES: Final = {
    "$": ("dollar dollars cent cents", "dollar dollars cent cents",
          "Dollar Dollar Cent Cent", "dólar dólares centavo centavos"),
    "€": ("euro euros cent cents", "euro euros centime centimes",
          "Euro Euro Cent Cent", "euro euros céntimo céntimos"),
    "£": ("pound pounds penny pence", "livre livres penny pence",
          "Pfund Pfund Penny Pence", "libra libras penique peniques"),
    "¥": ("yen yen", "yen yens", "Yen Yen", "yen yenes"),
}
# Symbols standing alone.
_SYMBOLS: Final = {
    "&": ("and", "et", "und", "y"),
    "+": ("plus", "plus", "plus", "más"),
    "=": ("equals", "égale", "gleich", "igual a"),
    "@": ("at", "arobase", "at", "arroba"),
    "%": _PLAIN["percent"],
    "°": ("degrees", "degrés", "Grad", "grados"),
}
_TIMES: Final = (
    ("{h} o'clock", "{h} oh {m}", "{h} {m}"),
    ("{h} heures", "{h} heures {m}", "{h} heures {m}"),
    ("{h} Uhr", "{h} Uhr {m}", "{h} Uhr {m}"),
    ("{h} en punto", "{h} y {m}", "{h} y {m}"),
)


@functools.cache
def _table(language: str) -> _Words | None:
    """The words `language` (an ICU code) adds to ICU's, or None."""
    if language not in _LANGUAGES:
        return None
    column = _LANGUAGES.index(language)

    def plain(name: str) -> list[str]:
        return _PLAIN[name][column].split()

    currencies: dict[str, tuple[str, str, str | None, str | None]] = {}
    for symbol, names in _CURRENCIES.items():
        one, many, *small = names[column].split()
        hundredth, hundredths = small if small else (None, None)
        currencies[symbol] = (one, many, hundredth, hundredths)
    return _Words(plain("percent"), currencies,
                  plain("and"), plain("to"), plain("minus"), plain("plus"),
                  _TIMES[column], {symbol: tuple(words[column].split())
                                   for symbol, words in _SYMBOLS.items()})


# Ordinal endings written after the digits, by language: the ending and
# whether it is feminine.
_ORDINAL_ENDINGS: Final = {
    "en": {"st": False, "nd": False, "rd": False, "th": False},
    "fr": {"e": False, "er": False, "re": True, "ère": True, "ème": False,
           "eme": False, "ᵉ": False},
    "es": {"º": False, "ª": True, ".º": False, ".ª": True, "°": False},
}
# Languages whose years are read as plain numbers: ICU's French year
# rule says "dix-neuf-cent quatre-vingt-quatre", where most say "mille neuf
# cent ..." (bench/number_readers.py).
_YEARS_COUNTED: Final = frozenset({"fr"})
# Languages that write an ordinal as the number and a full stop ("3.").
_STOP_ORDINALS: Final = frozenset({"de", "da", "nb", "no", "fi", "cs", "sk",
                                   "pl", "hu", "tr", "sl", "hr", "sr", "et",
                                   "lv", "is", "fo"})
_ORDINAL_WORD = re.compile(r"(\d+)(\D+)", re.ASCII)
_DIGITS_AND_LETTERS = re.compile(r"\d+|\D+", re.ASCII)


class _Speller:
    """ICU's spell-out for one language. ICU's formatters are not to be
    shared between threads: each thread gets its own (see _speller)."""

    def __init__(self, language: str) -> None:
        module = icu()
        locale = module.Locale(language)
        self.format = module.RuleBasedNumberFormat(
            module.URBNFRuleSetTag.SPELLOUT, locale)
        names = {self.format.getRuleSetName(i)
                 for i in range(self.format.getNumberOfRuleSetNames())}

        def first(*choices: str) -> str | None:
            return next((c for c in choices if c in names), None)

        # A number standing alone is counted ("veintiuno", "einhunderteins");
        # before a noun (an amount) it agrees with it ("veintiún euros").
        self.counting = first("%spellout-numbering",
                              "%spellout-cardinal") or ""
        self.cardinal = first("%spellout-cardinal",
                              "%spellout-cardinal-masculine",
                              "%spellout-numbering") or ""
        self.ordinal = first("%spellout-ordinal",
                             "%spellout-ordinal-masculine")
        self.ordinal_feminine = first("%spellout-ordinal-feminine",
                                      "%spellout-ordinal")
        self.year = (first("%spellout-numbering-year") if language not in
                     _YEARS_COUNTED else None) or self.counting
        symbols = module.DecimalFormatSymbols(locale)
        self.decimal = str(symbols.getSymbol(
            module.DecimalFormatSymbols.kDecimalSeparatorSymbol))
        self.group = str(symbols.getSymbol(
            module.DecimalFormatSymbols.kGroupingSeparatorSymbol))
        # The decimal point's word(s): ICU's reading of 0.5 without those
        # of 0 and 5.
        half = self._spelled(0.5, self.counting)
        zero, five = (self._spelled(n, self.counting) for n in (0, 5))
        self.point = half[len(zero):len(half) - len(five)]

    def _spelled(self, value: float, rule: str) -> list[str]:
        text = self.format.format(value, rule) if rule else \
            self.format.format(value)
        return str(text).replace("\xad", "").split()

    def number(self, digits: str, rule: str | None = None) -> list[str]:
        """The words of whole number `digits` (ASCII), counted unless
        `rule` says otherwise; digit by digit with a leading zero or
        beyond ICU's exact range."""
        if len(digits) > _EXACT_DIGITS or (len(digits) > 1
                                           and digits[0] == "0"):
            return [word for digit in digits
                    for word in self._spelled(int(digit), self.counting)]
        return self._spelled(int(digits), rule or self.counting)

    def decimal_number(self, whole: str, fraction: str) -> list[str]:
        """A decimal as ICU reads one: the fraction digit by digit."""
        return self.number(whole or "0") + self.point + [
            word for digit in fraction for word in self.number(digit)]


_local = threading.local()


def _speller(language: str) -> _Speller:
    spellers: dict[str, _Speller] = _local.__dict__.setdefault(
        "spellers", {})
    speller = spellers.get(language)
    if speller is None:
        speller = spellers[language] = _Speller(language)
    return speller


@functools.cache
def reads_numbers(language: str) -> bool:
    """Whether ICU spells out numbers in `language` (an ICU code)."""
    module = icu()
    # The names of the locales it has rules for ("en", "en_IN", ...).
    return language in {str(name).split("_")[0] for name in
                        module.RuleBasedNumberFormat.getAvailableLocales()}


def _ascii_digits(text: str) -> str:
    """`text` with the decimal digits of any script as ASCII digits."""
    if text.isascii():
        return text
    return "".join(str(unicodedata.decimal(c)) if c.isdecimal() else c
                   for c in text)


def _parsed(text: str, speller: _Speller) -> tuple[str, str | None] | None:
    """(whole digits, fraction digits or None) of a number written with
    the language's separators, or None when it is not one such number."""
    whole, point, fraction = text.partition(speller.decimal)
    if point and (not fraction.isdigit() or not fraction.isascii()):
        return None
    # Languages with a decimal comma group with a full stop in print,
    # whatever ICU's own grouping mark (French: a narrow space).
    group = "." if speller.decimal == "," else speller.group
    if group and group in whole:
        groups = whole.split(group)
        if not 1 <= len(groups[0]) <= 3 or groups[0][0] == "0" or any(
                len(group) != 3 for group in groups[1:]):
            return None
        whole = "".join(groups)
    if not whole or not (whole.isdigit() and whole.isascii()):
        return None
    return whole, fraction if point else None


def spell_number(text: str, language: str, *, kind: str = "cardinal",
                 feminine: bool = False) -> list[str]:
    """The words of the number written `text` in `language` (an ICU
    code): `kind` "cardinal", "ordinal" or "year". Separators that are
    not the language's own split it into numbers read one after the other.
    Raises ValueError for what holds no digit."""
    speller = _speller(language)
    digits = _ascii_digits(text)
    parsed = _parsed(digits, speller)
    if parsed is None:
        pieces = re.findall(r"\d+", digits, re.ASCII)
        if not pieces:
            raise ValueError(f"not a number: {text!r}")
        return [w for piece in pieces for w in speller.number(piece)]
    whole, fraction = parsed
    if fraction is not None:
        return speller.decimal_number(whole, fraction)
    if kind == "ordinal":
        rule = speller.ordinal_feminine if feminine else speller.ordinal
        if rule is not None and len(whole) <= _EXACT_DIGITS:
            return speller.number(whole.lstrip("0") or "0", rule)
    if kind == "year":
        return speller.number(whole, speller.year)
    return speller.number(whole)


def _is_year(text: str) -> bool:
    return len(text) == 4 and text.isdigit() and text.isascii() and \
        "1000" <= text <= "2099"


class _Cursor:
    """The spans, with what lies next to each (no white space between)."""

    def __init__(self, text: str, spans: Sequence[Span]) -> None:
        self.text = text
        self.spans = spans

    def at(self, i: int) -> str:
        span = self.spans[i]
        return self.text[span.start:span.end]

    def joined(self, i: int, j: int) -> bool:
        """Whether span i ends where span j starts (both exist)."""
        return 0 <= i < len(self.spans) and 0 <= j < len(self.spans) and \
            self.spans[i].end == self.spans[j].start

    def is_(self, i: int, kind: Kind, *texts: str) -> bool:
        return 0 <= i < len(self.spans) and self.spans[i].kind == kind and \
            (not texts or self.at(i) in texts)


def read_numbers(text: str, spans: list[Span], language: str) -> list[Span]:
    """`spans` with every number, and the symbols and endings written with
    it, made one token carrying its words, and symbols of the language's
    table given theirs; `language` is an ICU code. A number too long to
    read keeps no words (``words=()``)."""
    if not reads_numbers(language):
        return spans
    table = _table(language)
    endings = _ORDINAL_ENDINGS.get(language, {})
    cursor = _Cursor(text, spans)
    out: list[Span] = []
    i = 0
    while i < len(spans):
        span = spans[i]
        if span.kind == "number" and not any(
                c.isalpha() for c in text[span.start:span.end]):
            taken, merged = _number(cursor, i, out, language, table)
            out.append(merged)
            i += taken
            continue
        if span.kind in ("word", "number") and span.words is None and any(
                c.isdigit() for c in text[span.start:span.end]):
            out.append(_word_with_digits(cursor, i, language, endings))
        elif span.kind in ("symbol", "punctuation") and table is not None \
                and span.end - span.start == 1 and \
                text[span.start] in table.symbols:
            out.append(span._replace(kind="symbol",
                                     words=table.symbols[text[span.start]]))
        else:
            out.append(span)
        i += 1
    return out


def _word_with_digits(cursor: _Cursor, i: int, language: str,
                      endings: dict[str, bool]) -> Span:
    span = cursor.spans[i]
    written = _ascii_digits(cursor.at(i))
    if len(written) > MAX_DIGITS:
        return span
    ordinal = _ORDINAL_WORD.fullmatch(written)
    if ordinal and ordinal.group(2).lower() in endings:
        return span._replace(kind="number", words=tuple(spell_number(
            ordinal.group(1), language, kind="ordinal",
            feminine=endings[ordinal.group(2).lower()])))
    words: list[str] = []
    for piece in _DIGITS_AND_LETTERS.findall(written):
        words.extend(spell_number(piece, language) if piece[0].isdigit()
                     else [piece])
    return span._replace(kind="word", words=tuple(words))


def _number(cursor: _Cursor, i: int, out: list[Span], language: str,
            table: _Words | None) -> tuple[int, Span]:
    """The token a number at span i makes with what is written next to
    it, and how many spans it took from i on; it may also take the last
    span of `out` (a currency or a sign written before it)."""
    span = cursor.spans[i]
    written = _ascii_digits(cursor.at(i))
    if sum(c.isdigit() for c in written) > MAX_DIGITS:
        return 1, span._replace(words=())
    start, end, taken = span.start, span.end, 1
    if table is not None:
        if cursor.joined(i, i + 1) and cursor.is_(i + 1, "punctuation", ":") \
                and cursor.joined(i + 1, i + 2) and cursor.is_(i + 2,
                                                              "number"):
            words = _time(written, _ascii_digits(cursor.at(i + 2)),
                          language, table)
            if words is not None:
                return 3, Span(start, cursor.spans[i + 2].end, "number",
                               tuple(words))
        if cursor.joined(i, i + 1) and cursor.is_(i + 1, "punctuation",
                                                  *_DASHES) \
                and cursor.joined(i + 1, i + 2) and cursor.is_(
                    i + 2, "number") and not _signed(cursor, i):
            last = _ascii_digits(cursor.at(i + 2))
            kind = "year" if _is_year(written) and _is_year(last) \
                else "cardinal"
            return 3, Span(start, cursor.spans[i + 2].end, "number", tuple(
                spell_number(written, language, kind=kind) + table.to +
                spell_number(last, language, kind=kind)))
    prefix: list[str] = []
    before = out[-1] if out and out[-1].end == start else None
    currency = None
    if table is not None and before is not None and before.kind in (
            "symbol", "punctuation"):
        mark = cursor.text[before.start:before.end]
        if mark in table.currencies:
            currency = table.currencies[mark]
        elif mark in _DASHES + ("+",) and (len(out) < 2 or
                                           out[-2].end < before.start):
            prefix = table.plus if mark == "+" else table.minus
        if currency is not None or prefix:
            start = before.start
            out.pop()
    if table is not None and currency is None and cursor.joined(i, i + 1) \
            and cursor.at(i + 1) in table.currencies:
        currency = table.currencies[cursor.at(i + 1)]
        end, taken = cursor.spans[i + 1].end, 2
    if currency is not None:
        assert table is not None
        return taken, Span(start, end, "number", tuple(
            prefix + _amount(written, language, currency, table)))
    if table is not None and cursor.joined(i, i + 1) and \
            cursor.at(i + 1) == "%":
        return 2, Span(start, cursor.spans[i + 1].end, "number", tuple(
            prefix + spell_number(written, language) + table.percent))
    ordinal = _ordinal_after(cursor, i, language)
    if ordinal is not None:
        feminine, count = ordinal
        return 1 + count, Span(start, cursor.spans[i + count].end, "number",
                               tuple(prefix + spell_number(
                                   written, language, kind="ordinal",
                                   feminine=feminine)))
    kind = "year" if not prefix and _is_year(written) else "cardinal"
    return taken, Span(start, end, "number",
                       tuple(prefix + spell_number(written, language,
                                                   kind=kind)))


def _signed(cursor: _Cursor, i: int) -> bool:
    """Whether the number at span i is the end of a range (1-2-3)."""
    return cursor.joined(i - 1, i) and cursor.is_(i - 1, "punctuation",
                                                  *_DASHES)


def _ordinal_after(cursor: _Cursor, i: int, language: str
                   ) -> tuple[bool, int] | None:
    """(feminine, spans taken after i) of an ordinal ending written after
    the number at span i, or None."""
    if not cursor.joined(i, i + 1):
        return None
    endings = _ORDINAL_ENDINGS.get(language, {})
    mark = cursor.at(i + 1)
    if mark == "." and cursor.joined(i + 1, i + 2) and \
            "." + cursor.at(i + 2) in endings:
        return endings["." + cursor.at(i + 2)], 2
    if mark in endings:
        return endings[mark], 1
    # "am 3. Mai": a full stop followed by a word, not the end of a
    # sentence.
    if language in _STOP_ORDINALS and mark == "." and \
            i + 2 < len(cursor.spans) and not cursor.joined(i + 1, i + 2) \
            and cursor.spans[i + 2].kind in ("word", "number"):
        return False, 1
    return None


def _time(hours: str, minutes: str, language: str,
          table: _Words) -> list[str] | None:
    if not (hours.isdigit() and len(hours) <= 2 and int(hours) <= 24
            and len(minutes) == 2 and minutes.isdigit()
            and int(minutes) < 60):
        return None
    on_hour, early, late = table.time
    template = (on_hour if minutes == "00" else early if minutes[0] == "0"
                else late)
    return template.format(
        h=" ".join(spell_number(str(int(hours)), language)),
        m=" ".join(spell_number(str(int(minutes)), language))).split()


def _amount(written: str, language: str,
            currency: tuple[str, str, str | None, str | None],
            table: _Words) -> list[str]:
    one, many, hundredth, hundredths = currency
    speller = _speller(language)
    parsed = _parsed(written, speller)
    if parsed is None:
        return spell_number(written, language) + [many]
    whole, fraction = parsed
    if fraction is not None and (len(fraction) != 2 or hundredth is None):
        return spell_number(written, language) + [many]
    words = speller.number(whole, speller.cardinal) + [
        one if whole.lstrip("0") == "1" else many]
    if fraction is not None and fraction != "00":
        assert hundredth is not None and hundredths is not None
        cents = fraction.lstrip("0")
        words += table.and_ + speller.number(cents, speller.cardinal) + [
            hundredth if cents == "1" else hundredths]
    return words
