"""tamsu.G2P: normalisation, dictionary first, warnings, threads."""

import gc
import itertools
import math
import os
import pickle
import subprocess
import sys
import tracemalloc
import unicodedata
import warnings
from concurrent.futures import ThreadPoolExecutor

import hypothesis
import hypothesis.strategies as st
import pytest

import tamsu
from tamsu.normalise import Alphabet, Normalised, normalise, plain_spelling

from conftest import compile_model
from train_data import LEXICON


def letter_model(directory, name, graphemes):
    """One state: each letter reads as itself upper-cased, ' and - as _."""
    phonemes = sorted({g.upper() for g in graphemes if g.isalpha()})
    arcs = "".join(f"0 0 {g} {g.upper() if g.isalpha() else '_'} 1.0\n"
                   for g in graphemes) + "0 0.5\n"
    return compile_model(directory, name, arcs, ["<eps>", "|", "_", *graphemes],
                         ["<eps>", "|", "_", *phonemes])


LOWER = list("abcdefghijklmnopqrstuvwxyz")
JAMO = [chr(c) for c in [*range(0x1100, 0x1176), *range(0x11A8, 0x11C3)]]


@pytest.fixture(scope="module")
def english(tmp_path_factory):
    return letter_model(tmp_path_factory.mktemp("en"), "en", LOWER + ["'"])


@pytest.mark.parametrize("symbols, word, parts, removed", [
    # One case only: words take it; both: kept, a missing letter falls back.
    (LOWER, "Hello", ("hello",), ""),
    (list("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), "hello", ("HELLO",), ""),
    (LOWER + ["A", "B"], "Abc", ("Abc",), ""),
    (LOWER[:3] + ["D"], "dab", ("Dab",), ""),
    # Known accented letters kept (NFC); marks alone: the model spells NFD,
    # unless a marker says otherwise; jamo blocks taken apart.
    (LOWER + ["é"], "cafe\u0301", ("café",), ""),
    (LOWER + ["\u0301"], "café", ("cafe\u0301",), ""),
    (LOWER + ["\u0301", "<tamsu:nfc>"], "cafe\u0301", ("cafe",), ""),
    (JAMO, "한", (unicodedata.normalize("NFD", "한"),), ""),
    # Unknown accents fall back to the base letter; edge punctuation goes,
    # inner apostrophes (also typographic) and hyphens stay when known.
    (LOWER, "Naïve", ("naive",), ""),
    (LOWER + ["'"], "\u201cO\u2019Neill,\u201d", ("o'neill",), ""),
    (LOWER, "O'Neill", ("oneill",), ""),
    (LOWER + ["-"], "Well-known", ("well-known",), ""),
    (LOWER, "well\u2010known", ("well", "known"), ""),
    (LOWER, "ice  cream", ("ice", "cream"), ""),
    # Unknown characters are removed and listed once, in order.
    (LOWER, "x€y€z$", ("xyz",), "€$"),
    (LOWER, "€€", ("",), "€"),
    (LOWER, "\ufeffhello", ("hello",), ""),
    # Edge punctuation the model spells stays next to the word; what it
    # does not spell goes, also beyond what stays.
    (LOWER + ["."], "(B.),", ("b.",), ""),
    (LOWER + ["'"], "tryin\u2019", ("tryin'",), ""),
    (LOWER + ["'", "."], "'...'", ("",), ""),
])
def test_normalisation_follows_the_alphabet(symbols, word, parts, removed):
    alphabet = Alphabet.of_symbols(["<eps>", "|", "_", *symbols])
    result = normalise(word, alphabet)
    assert (result.parts, result.removed) == (parts, removed)


def test_kept_edge_punctuation_is_also_looked_up_without_it():
    alphabet = Alphabet.of_symbols(["<eps>", "|", "_", *LOWER, "."])
    assert normalise("Café.", alphabet).keys == (
        "Café.", "café.", "café", "cafe.", "cafe")


@hypothesis.settings(max_examples=400, deadline=None, database=None)
@hypothesis.given(st.text("aAbB9'-` \u00e9.\u2019", max_size=6),
                  st.sampled_from([LOWER + ["'", "-", "`", " "],
                                   ["A", "B", "9"], LOWER + ["A", "B"]]),
                  st.sampled_from(["", "."]), st.booleans())
def test_plain_words_take_a_short_cut(word, symbols, delim, enabled):
    """What the short cut spells, normalise spells the same way."""
    alphabet = Alphabet.of_symbols(["<eps>", "|", "_", *symbols], delim)
    spelled = plain_spelling(word, alphabet, enabled=enabled)
    if spelled is not None:
        keys = tuple(dict.fromkeys([word, spelled]))
        assert normalise(word, alphabet, enabled=enabled) == Normalised(
            keys, (spelled,), "")
    assert plain_spelling("Ab9", Alphabet.of_symbols(
        ["<eps>", "|", "_", *LOWER, "9"])) == "ab9"


def test_alphabet_units():
    # Clusters and reserved labels are no graphemes; a marker sets the form.
    alphabet = Alphabet.of_symbols(["<eps>", "|", "_", "c", "h", "c|h", "<s>",
                                    "<tamsu:nfd>"])
    assert alphabet.graphemes == {"c", "h"} and alphabet.form == "nfd"
    # Delimited graphemes are whole units; a two-character delimiter never
    # cuts.
    alphabet = Alphabet.of_symbols(["<eps>", "|", "_", "ch", "a", "t"],
                                   delim=".")
    result = normalise("\"CH.a.x.t.\"", alphabet)
    assert (result.parts, result.removed) == (("ch.a.t",), "x")
    whole = Alphabet.of_symbols(["<eps>", "|", "_", "a..b"], delim="..")
    assert normalise("a..b", whole).parts == ("a..b",)


def strings(pronunciations):
    return [(str(p), p.source, p.rank) for p in pronunciations]


def test_dictionary_first_then_model(english, tmp_path):
    dictionary = tmp_path / "small.dict"
    dictionary.write_text("# a comment\nthe\tDH AH\nthe(2)\tDH IY\n"
                          "Ok\tOW K EY\ncafe\tK AE F EY\n"
                          "ab\tAH0 B EY1\nab(2)\tAE1 B\nab(3)\tAH1 B EY0\n"
                          "ipa\tˈɪ p ˌə\nipa(2)\tɪ ˈ p ə\n",
                          encoding="utf-8")
    g2p = tamsu.G2P(english, dictionary, nbest=2)
    # nbest variants, in dictionary order, equal shares, found case-folded.
    the = g2p("The")
    assert strings(the) == [("DH AH", "dictionary", 1),
                            ("DH IY", "dictionary", 2)]
    assert [(p.probability, p.word) for p in the] == [(0.5, "The")] * 2
    assert strings(tamsu.G2P(english, dictionary)("the")) == strings(the)[:1]
    assert tamsu.G2P(english, dictionary, all_variants=True)("The") == the
    # As given first ("Ok"), then as the model spells it ("café" -> cafe).
    assert strings(g2p("Ok")) == [("OW K EY", "dictionary", 1)]
    assert strings(g2p("café")) == [("K AE F EY", "dictionary", 1)]
    # Not in the dictionary: the model, with shares that add up to 1.
    tab = g2p("tab")
    assert strings(tab) == [("T A B", "model", 1)]
    assert tab[0].probability == pytest.approx(1.0)
    # Without stress, variants that differed only in stress become one.
    plain = tamsu.G2P(english, dictionary, stress=False)
    assert [(str(p), p.probability) for p in plain("ab")] == [("AH B EY", 0.5)]
    # IPA's marks go too, on a segment or standing alone.
    assert [(str(p), p.probability) for p in plain("ipa")] == [("ɪ p ə", 1.0)]
    # The default with a model other than the shipped one: no dictionary.
    assert strings(tamsu.G2P(english)("the")) == [("T H E", "model", 1)]


def test_compounds_join_their_parts(english, tmp_path):
    g2p = tamsu.G2P(english, tamsu.PronunciationDictionary(
        {"ice": ["AY S"], "cream": ["K R IY M", "K R EH M"]}), nbest=2)
    assert strings(g2p("ice-cream")) == [("AY S K R IY M", "dictionary", 1),
                                         ("AY S K R EH M", "dictionary", 2)]
    assert strings(g2p("ice-box")) == [("AY S B O X", "model", 1)]
    # A model that spells hyphens still reads a compound of dictionary
    # words from the dictionary; any other compound goes to it whole.
    hyphens = letter_model(tmp_path, "hyphens", LOWER + ["-"])
    g2p = tamsu.G2P(hyphens, g2p.dictionary)
    assert strings(g2p("Ice-cream"))[0] == ("AY S K R IY M", "dictionary", 1)
    assert strings(g2p("ice-box")) == [("I C E B O X", "model", 1)]


def test_compounds_keep_the_nbest_likeliest_combinations(tmp_path):
    # Two readings per letter: "abcdefghi" has 512 paths.
    arcs = "".join(f"0 0 {c} {c.upper()} 1.0\n0 0 {c} X 1.5\n"
                   for c in LOWER[:9]) + "0 0\n"
    g2p = tamsu.G2P(compile_model(tmp_path, "two", arcs, ["<eps>", "|", "_",
        *LOWER[:9]], ["<eps>", "|", "_", "X", *"ABCDEFGHI"]), nbest=2**63,
        beam=300)  # as many records per word as one search gives
    tracemalloc.start()
    answers = g2p("abcdefghi abcdefghi")
    assert tracemalloc.get_traced_memory()[1] < 5e6  # never all 90,000
    tracemalloc.stop()
    part = g2p("abcdefghi")
    full = sorted(((a, b) for a in part for b in part),
                  key=lambda ab: -ab[0].probability * ab[1].probability)
    assert [p.phonemes for p in answers] == [
        a.phonemes + b.phonemes for a, b in full[:300]]


def test_probability_mass_keeps_the_best_until_it_is_covered(english):
    variants = tamsu.PronunciationDictionary({"x": ["A", "B", "C", "D"]})
    g2p = tamsu.G2P(english, variants, probability_mass=0.5, nbest=4)
    assert [str(p) for p in g2p("x")] == ["A", "B"]
    for bad in (0.0, 1.5):
        with pytest.raises(ValueError, match="probability_mass"):
            tamsu.G2P(english, probability_mass=bad)


def test_unknown_characters_warn_once_and_never_reach_the_model(english,
                                                                capfd):
    g2p = tamsu.G2P(english)
    with pytest.warns(tamsu.UnknownCharacterWarning) as caught:
        result = g2p("a€b€")
    assert len(caught) == 1 and "'€'" in str(caught[0].message)
    assert caught[0].filename == __file__  # blames the caller's line
    assert strings(result) == [("A B", "model", 1)]
    with pytest.warns(tamsu.UnknownCharacterWarning):
        assert g2p("€") == []
    with pytest.warns(tamsu.UnknownCharacterWarning, match="no answer"):
        assert tamsu.G2P(english, partial=False)("a€b") == []
    # The model's own "Symbol: ... not found" lines never appear.
    assert capfd.readouterr().err == ""


def test_undecodable_and_overlong_words_are_skipped(english):
    g2p = tamsu.G2P(english)
    for word, reason in [("caf\udce9", "not valid UTF-8"), ("a" * 257,
                                                           "longer than 256")]:
        with pytest.warns(tamsu.SkippedWordWarning, match=reason):
            assert g2p(word) == []
    assert len(g2p("a" * tamsu.MAX_WORD_LENGTH)) == 1


# All planes, with surrogates, combining marks and controls made common.
ANY_TEXT = st.text(st.one_of(st.characters(blacklist_categories=()), *(
    st.characters(whitelist_categories=[c]) for c in ("Cs", "Mn", "Cc"))))


@hypothesis.settings(max_examples=300, deadline=None, database=None)
@hypothesis.given(ANY_TEXT)
def test_any_string_is_answered_or_skipped_with_a_warning(english, word):
    g2p = tamsu.G2P(english)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        answers = [g2p(word), *g2p.map([word])]
    assert all(issubclass(w.category, tamsu.G2PWarning) for w in caught)
    if any(w.category is tamsu.SkippedWordWarning for w in caught):
        assert answers == [[], []]


def test_any_threshold_is_applied():
    # Model's own methods read 99 or more as no threshold at all.
    word = "pneumonoultramicroscopicsilicovolcanoconiosis"  # weighs 113.06
    assert tamsu.G2P("en_us-ngram", None, threshold=110)(word) == []
    assert tamsu.G2P("en_us-ngram", None, threshold=120)(word)


def test_bad_arguments_fail_early(english, tmp_path):
    with pytest.raises(TypeError):
        tamsu.G2P(english)(5)
    for bad in (0, 2**64):
        with pytest.raises(ValueError, match="nbest must be from 1"):
            tamsu.G2P(english, nbest=bad)
    with pytest.raises(ValueError, match="threshold must be a number"):
        tamsu.G2P(english, threshold=math.nan)
    broken = tmp_path / "broken.dict"
    broken.write_bytes(b"ok\tOW K\ncaf\xe9\tK\n")
    with pytest.raises(ValueError, match="broken.dict:2: not UTF-8"):
        tamsu.G2P(english, broken)


def test_one_front_end_serves_a_thread_pool(english):
    """Eight threads hammer one G2P, which shares its one model."""
    words = ["abc", "cab", "bad", "dab", "c€ab"] * 40
    g2p = tamsu.G2P(english)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tamsu.UnknownCharacterWarning)
        expected = [strings(g2p(w)) for w in words]
        with ThreadPoolExecutor(8) as pool:
            assert [strings(r) for r in pool.map(g2p, words)] == expected


@pytest.mark.parametrize("jobs", [1, 2])
def test_map_streams_in_order(english, jobs):
    # A G2P travels as its settings (the copy loads its own model).
    g2p = pickle.loads(pickle.dumps(tamsu.G2P(english)))
    words = (w for w in ["ab", "ba", "", "c€ab"] * 300)
    with pytest.warns(tamsu.UnknownCharacterWarning, match="c€ab"):
        results = [[str(p) for p in r]
                   for r in g2p.map(words, jobs=jobs, chunk_size=7)]
    assert results == [["A B"], ["B A"], [], ["C A B"]] * 300


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("bad, error", [(None, OSError), (5, TypeError)])
def test_a_failing_word_source_keeps_every_answer_before_it(english, jobs,
                                                            bad, error):
    def words():
        yield from ["ab", "ba"] * 5  # two chunks and a part of the third
        if bad is not None:
            yield bad
        raise OSError("disk gone")

    got = []
    with pytest.raises(error):
        for answer in tamsu.G2P(english).answers(words(), jobs=jobs,
                                                 chunk_size=2):
            got.append(str(answer.pronunciations[0]))
    assert got == ["A B", "B A"] * 5


def test_a_shipped_model_is_stored_where_no_other_user_can_write(english):
    from tamsu import dask_support
    shipped = pickle.loads(pickle.dumps(dask_support._Shipped(
        tamsu.G2P(english), ship_model=True)))
    dask_support._cache.clear()
    folder = os.stat(os.path.dirname(shipped.front_end().model_path))
    assert (folder.st_uid, folder.st_mode & 0o777) == (os.getuid(), 0o700)


# Debian's distributed 2022.12 uses asyncio as Python 3.11 deprecates, and
# on a loaded machine leaves a socket of its own to the collector.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_dask_cluster_pronounces_like_g2p(english):
    subprocess.run([sys.executable, "-c", "import sys, tamsu, tamsu.text, "
                    "tamsu.cli; assert not {'dask', 'distributed', 'icu'} & "
                    "set(sys.modules)"], check=True)
    distributed = pytest.importorskip("distributed")
    import dask
    import dask.bag
    import dask.dataframe
    import pandas
    from tamsu.dask_support import (answers, phonemize_bag,
                                    phonemize_series, pronounce_bag,
                                    pronounce_series)
    g2p = tamsu.G2P(english)
    words = ["abc", "cab", "bad", "", "dab", "c'ab"] * 20
    best = [" ".join(a.pronunciations[0].phonemes) if a.pronunciations
            else "" for a in g2p.answers(words)]
    many = ["".join(w) for w in itertools.product("abcd", repeat=4)]
    # Starting processes on a loaded machine can take far longer than
    # the defaults allow (30 s).
    with dask.config.set({"distributed.comm.timeouts.connect": "300s",
                          "distributed.comm.timeouts.tcp": "300s"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                     dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        # 52 tasks, six in flight at a time: answered in input order.
        assert [strings(a.pronunciations) for a in answers(
            g2p, many, cluster.scheduler_address, chunk_size=5)] == [
            strings(a.pronunciations) for a in g2p.answers(many)]
        bag = dask.bag.from_sequence(words, npartitions=6)
        assert pronounce_bag(bag, g2p, jobs=2).compute() == list(
            zip(words, best))
        column = dask.dataframe.from_pandas(pandas.Series(words), 4)
        assert list(pronounce_series(column, g2p,
                                     ship_model=True).compute()) == best
        texts = ["abc, cab.", "", "dab 2"] * 4
        tokens = list(g2p.phonemize_many(texts, language="en"))
        assert phonemize_bag(dask.bag.from_sequence(texts, npartitions=3),
                             g2p, language="en").compute() == tokens
        assert list(phonemize_series(dask.dataframe.from_pandas(
            pandas.Series(texts), 2), g2p, language="en").compute()) == \
            ["A B C | , | C A B | .", "", "D A B | T W O"] * 4
        apply = [sys.executable, "-m", "tamsu", "apply", "-m", english,
                 *words[1:6]]
        assert subprocess.run(apply + ["--scheduler", cluster.scheduler_address],
                              capture_output=True, check=True).stdout == \
            subprocess.run(apply, capture_output=True, check=True).stdout
        # One front end per worker and way of shipping, however many tasks.
        built = client.run(lambda: len(tamsu.dask_support._cache))
        assert len(built) == 2 and set(built.values()) <= {1, 2}
    gc.collect()  # its sockets, here, under this test's filters


# Ties and stress: "a" reads AH1, AH0 (the same but for stress) or EY1 at
# one weight; "c" K or S at one weight; "b" B, or silent at a cost.
TIES_ISYMS = ["<eps>", "|", "_", "a", "b", "c", "-", "'"]
TIES_OSYMS = ["<eps>", "|", "_", "AH1", "AH0", "EY1", "B", "K", "S"]
TIES_ARCS = """
    0 0 a AH1 1.0
    0 0 a AH0 1.0
    0 0 a EY1 1.0
    0 0 b B 0.5
    0 0 b _ 3.0
    0 0 c K 0.5
    0 0 c S 0.5
    0 0 - _ 0.0
    0 0 ' _ 0.0
    0 0.25
"""


@pytest.fixture(scope="module")
def kinds(tmp_path_factory, flat):
    """A front end's model of each kind, with the letters of its words."""
    here = tmp_path_factory.mktemp("kinds")
    ties = compile_model(here, "ties", TIES_ARCS, TIES_ISYMS, TIES_OSYMS)
    trio = [str(here / f"{name}.fst") for name in ("l1", "l2", "r1")]
    for path, graphemes, reverse in zip(trio, (1, 2, 1), (0, 0, 1)):
        tamsu.train(LEXICON, path, order=4, max_graphemes=graphemes,
                    reverse=bool(reverse), progress=False)
    return {"n-gram": (ties, "abc"), "ensemble": (trio, "acfhinopt"),
            "bundle": (str(flat / "rescore.bundle"), "abcdehix")}


@pytest.mark.parametrize("kind", ["n-gram", "ensemble", "bundle"])
def test_a_word_is_answered_alike_alone_and_in_a_stream(kinds, kind):
    model, letters = kinds[kind]
    words = st.text(st.sampled_from(letters + "-'X"), min_size=1,
                    max_size=8)
    dictionaries = st.dictionaries(
        st.text(st.sampled_from(letters), min_size=1, max_size=3),
        st.lists(st.sampled_from(["AH1 B", "AH0 B", "EY1", "K S"]),
                 min_size=1, max_size=3), max_size=4)

    @hypothesis.settings(max_examples=25, deadline=None, derandomize=True)
    @hypothesis.given(words=st.lists(words, min_size=1, max_size=4),
                      entries=st.none() | dictionaries,
                      nbest=st.integers(1, 4), beam=st.integers(1, 5),
                      mass=st.none() | st.floats(0.05, 1.0),
                      threshold=st.none() | st.floats(0.0, 12.0),
                      stress=st.booleans())
    def agree(words, entries, nbest, beam, mass, threshold, stress):
        dictionary = (None if entries is None
                      else tamsu.PronunciationDictionary(entries))
        g2p = tamsu.G2P(model, dictionary, nbest=nbest, beam=beam,
                        probability_mass=mass, threshold=threshold,
                        stress=stress)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", tamsu.G2PWarning)
            alone = [g2p(word) for word in words]
            assert list(g2p.map(words, jobs=2, chunk_size=1)) == alone
            assert list(g2p.map(words, jobs=1)) == alone
        if not stress:
            assert not any(c.isdigit() for answers in alone
                           for p in answers for c in "".join(p.phonemes))

    agree()
