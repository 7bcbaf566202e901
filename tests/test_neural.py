"""Neural models: PyTorch's forward pass against the C++ core's, training
end to end on a tiny cipher, and decoding without PyTorch."""

import concurrent.futures
import itertools
import math
import random
import subprocess
import sys

import pytest

from tamsu import neural
from tamsu._neural import NeuralModel, rescore
from tamsu.lexicon import LexiconError

from train_data import CIPHER_DICT, WORDS, spell

TINY = neural.NeuralArchitecture(d_model=8, heads=2, d_ff=16,
                                 encoder_layers=2, decoder_layers=2)
TINY_LSTM = neural.LstmArchitecture(hidden=8, embedding=6, encoder_layers=2,
                                    decoder_layers=2)


@pytest.mark.parametrize("architecture, description", [
    (TINY, {"architecture": "transformer", "d_model": 8, "heads": 2,
            "d_ff": 16, "encoder_layers": 2, "decoder_layers": 2}),
    (TINY_LSTM, {"architecture": "lstm", "hidden": 8, "embedding": 6,
                 "encoder_layers": 2, "decoder_layers": 2})],
    ids=["transformer", "lstm"])
@pytest.mark.parametrize("reverse", [False, True])
def test_core_matches_pytorch(tmp_path, architecture, description, reverse):
    torch = pytest.importorskip("torch")
    torch.manual_seed(1)
    graphemes, phonemes = ["a", "b", "c"], ["A", "B", "C", "D"]
    module = neural.build_network(architecture, 4, 7)
    with torch.no_grad():
        for tensor in module.parameters():
            tensor.normal_(0, 0.5)
    module.eval()
    path = tmp_path / "tiny.tnn"
    neural.export_neural(module, path, architecture=architecture,
                         graphemes=graphemes, phonemes=phonemes, form="nfd",
                         reverse=reverse)
    model = NeuralModel(path)
    assert (model.graphemes, model.phonemes) == (("a", "b", "c"), tuple(phonemes))
    assert (model.grapheme_form, model.reversed) == ("nfd", reverse)
    assert model.hyper_parameters == description
    word = "abcab"
    candidates = [[], ["A"], ["D", "B", "C"], ["C", "C", "A", "B", "D", "A"]]
    order = -1 if reverse else 1
    source = torch.tensor([[" abc".index(c) for c in word[::order]]])
    expected = []
    for candidate in candidates:
        ids = [phonemes.index(p) + 3 for p in candidate[::order]]
        with torch.no_grad():
            log_probs = module(source, torch.tensor([[1, *ids]]))[0]
        expected.append(sum(float(log_probs[i, t])
                            for i, t in enumerate([*ids, 2])))
    assert model.score(word, candidates) == pytest.approx(expected, abs=1e-4)
    # The search's scores are the scorer's.
    paths = model.phoneticize(word, nbest=4, beam=6)
    assert [s for _, s in paths] == sorted((s for _, s in paths), reverse=True)
    assert model.score(word, [p for p, _ in paths]) == pytest.approx(
        [s for _, s in paths], abs=1e-5)
    # Words decoded side by side get what each gets alone.
    words = [word, "", "ba", "cccab", "xa", word]
    together = model.phoneticize_batch(words, 3, 4, threads=2)
    alone = [model.phoneticize(w, 3, 4) for w in words]
    assert [[p for p, _ in paths] for paths in together] == [
        [p for p, _ in paths] for paths in alone]
    assert [s for paths in together for _, s in paths] == pytest.approx(
        [s for paths in alone for _, s in paths], abs=1e-5)
    together = model.score_batch(words, [candidates] * 6, threads=2)
    assert sum(together, []) == pytest.approx(
        sum((model.score(w, candidates) for w in words), []), abs=1e-5)


def random_model(path, architecture, seed=1):
    """A tiny network of random weights over graphemes abc and phonemes
    ABCD, as a model file at `path`."""
    torch = pytest.importorskip("torch")
    torch.manual_seed(seed)
    module = neural.build_network(architecture, 4, 7)
    with torch.no_grad():
        for tensor in module.parameters():
            tensor.normal_(0, 0.5)
    neural.export_neural(module, path, architecture=architecture,
                         graphemes=["a", "b", "c"],
                         phonemes=["A", "B", "C", "D"])
    return NeuralModel(path)


WORDS_ABC = ["abcab", "b", "cccab", "ab", "bacca", "ca", "abcabcabc", "c"]
LISTS = [[list(p) for p in itertools.product("ABCD", repeat=n)][k::5]
         for n, k in [(1, 0), (2, 1), (3, 2), (2, 3), (3, 4)]]
LISTS = [[[], *lists] for lists in LISTS for _ in range(2)]  # with an empty
CANDIDATES = [LISTS[i % len(LISTS)][:12] for i in range(len(WORDS_ABC))]


def test_lstm_decoder_trains_as_nn_lstm_does():
    """The decoder's cell, written out with its step products' weight
    gradients taken once per batch, against nn.LSTM itself: the same
    log-probabilities and gradients, with two decoder layers and padding."""
    torch = pytest.importorskip("torch")
    from tamsu.neural_torch import PAD
    torch.manual_seed(3)
    module = neural.build_network(TINY_LSTM, 5, 7)
    source = torch.tensor([[3, 4, 2, 3], [4, 3, PAD, PAD]])
    target = torch.tensor([[1, 3, 5, 4], [1, 6, PAD, PAD]])

    def reference():
        # The decoder as nn.LSTM runs it, one step at a time.
        memory, keys, blocked = module.encode(source)
        embedded = module.dec.embed(target)
        feed, state, steps = memory.new_zeros(2, 8), None, []
        for t in range(target.shape[1]):
            top, state = module.dec.lstm(
                torch.cat([embedded[:, t], feed], -1).unsqueeze(1), state)
            top = top.squeeze(1)
            weights = ((keys @ top.unsqueeze(-1)).squeeze(-1)
                       .masked_fill(blocked, float("-inf")).softmax(-1))
            context = (weights.unsqueeze(1) @ memory).squeeze(1)
            feed = torch.tanh(module.comb(torch.cat([context, top], -1)))
            steps.append(feed)
        return torch.log_softmax(module.out(torch.stack(steps, 1)), -1)

    found = []
    for run in (reference, lambda: module(source, target)):
        module.zero_grad()
        log_probs = run()
        (log_probs * torch.linspace(0.1, 1, 7)).sum().backward()
        found.append((log_probs.detach(), {
            name: p.grad.clone() for name, p in module.named_parameters()}))
    (want, want_grads), (got, got_grads) = found
    torch.testing.assert_close(got, want)
    assert got_grads.keys() == want_grads.keys()
    for name, grad in want_grads.items():
        torch.testing.assert_close(got_grads[name], grad, msg=name)


@pytest.mark.parametrize("architecture", [TINY, TINY_LSTM],
                         ids=["transformer", "lstm"])
def test_a_word_scores_the_same_bits_in_any_batch(tmp_path, architecture):
    model = random_model(tmp_path / "m.tnn", architecture)
    alone = [model.score(w, c) for w, c in zip(WORDS_ABC, CANDIDATES)]
    searched = [model.phoneticize(w, 3, 4) for w in WORDS_ABC]
    for threads, order in [(1, slice(None)), (2, slice(None)),
                           (3, slice(None, None, -1))]:
        words, lists = WORDS_ABC[order], CANDIDATES[order]
        assert model.score_batch(words, lists, threads) == alone[order]
        assert model.phoneticize_batch(words, 3, 4, threads) == \
            searched[order]
        # A candidate scored beside others, or in a list of its own.
        single = [[c] for cs in lists for c in cs]
        spread = [w for w, cs in zip(words, lists) for _ in cs]
        assert model.score_batch(spread, single, threads) == [
            [s] for scores in alone[order] for s in scores]


@pytest.mark.parametrize("architecture", [TINY, TINY_LSTM],
                         ids=["transformer", "lstm"])
@pytest.mark.parametrize("keep, weight, spread", [
    (1, 0.4, 30), (3, 0.4, 30), (2, 0.9, 30), (1, 0.0, 30),
    (1, 0.5, 0.5), (2, 0.7, 0.5)])  # near-flat priors: the networks decide
@pytest.mark.parametrize("members", [1, 2])
def test_rescoring_with_a_bound_keeps_the_best_exactly(
        tmp_path, architecture, keep, weight, spread, members):
    models = [random_model(tmp_path / f"{seed}.tnn", architecture, seed)
              for seed in range(1, members + 1)]
    rng = random.Random(keep)
    priors = [sorted((spread * math.log(rng.random()) for _ in cs),
                     reverse=True)
              for cs in CANDIDATES]
    rng.shuffle(priors[0])  # the order of the list is not the prior's
    words = [WORDS_ABC] * members
    full = rescore(models, words, CANDIDATES, priors, weight)
    pruned = rescore(models, words, CANDIDATES, priors, weight, keep,
                     threads=2)

    def ranked(found, word):
        # (combined, list order) of the answers, best first.
        return sorted(((1 - weight) * g + weight * math.fsum(n) / members, c)
                      for c, (g, n, p) in enumerate(zip(
                          priors[word], zip(*found[word]), CANDIDATES[word]))
                      if p and None not in n)[::-1]
    left = 0
    for word in range(len(WORDS_ABC)):
        best = sorted(ranked(full, word), key=lambda a: (-a[0], a[1]))
        got = sorted(ranked(pruned, word), key=lambda a: (-a[0], a[1]))
        assert got[:keep] == best[:keep]
        for exact, found in zip(full[word], pruned[word]):
            assert [f for f in found if f is not None] == [
                e for e, f in zip(exact, found) if f is not None]
            left += found.count(None)
    assert left > 0  # the bound left candidates out
    # Alone, a word's candidates are scored, or left out, as in a batch.
    for word, w in enumerate(WORDS_ABC):
        assert rescore(models, [[w]] * members, [CANDIDATES[word]],
                       [priors[word]], weight, keep) == [pruned[word]]


@pytest.mark.parametrize("graphemes, phonemes, loads", [
    (["a", " "], ["A", "B"], True),  # words may hold spaces
    (["a", "b"], ["A", " "], False),  # pronunciations are space-separated
])
def test_only_a_grapheme_may_be_a_space(tmp_path, graphemes, phonemes,
                                         loads):
    pytest.importorskip("torch")
    module = neural.build_network(TINY_LSTM, 3, 5)
    path = tmp_path / "space.tnn"
    neural.export_neural(module, path, architecture=TINY_LSTM,
                         graphemes=graphemes, phonemes=phonemes)
    if not loads:
        with pytest.raises(ValueError, match="phoneme 4 holds a space"):
            NeuralModel(path)
        return
    model = NeuralModel(path)
    assert model.graphemes == tuple(graphemes)
    # The space is read as the grapheme it is, not left out.
    assert model.score("a a", [["A"]]) != model.score("aa", [["A"]])


def test_damaged_file_is_a_value_error(tmp_path):
    path = tmp_path / "model.tnn"
    path.write_bytes(b"TAMSU-NN" + bytes(100))
    with pytest.raises(ValueError, match=f"{path}: unsupported format"):
        NeuralModel(path)


def test_training_learns_a_cipher(cipher, tmp_path):
    report, output = cipher.report, cipher.folder / "cipher.tnn"
    assert report.dev_wer == 0 and report.dev_words == 13
    (tmp_path / "new").write_text("")  # the umask's permissions
    assert output.stat().st_mode == (tmp_path / "new").stat().st_mode
    assert [e.epoch for e in cipher.progress] == list(
        range(1, report.epochs + 1))
    model = NeuralModel(output)
    # One model serves several threads at once (decoding drops the GIL).
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        found = list(pool.map(lambda w: model.phoneticize(w)[0][0], WORDS))
    assert found == [spell(w).split() for w in WORDS]


@pytest.mark.parametrize("architecture", [TINY, TINY_LSTM],
                         ids=["transformer", "lstm"])
def test_a_model_file_reads_back_into_its_network(tmp_path, architecture):
    pytest.importorskip("torch")
    from tamsu.neural_torch import network_of
    module = neural.build_network(architecture, 4, 6)
    path = tmp_path / "tiny.tnn"
    neural.export_neural(module, path, architecture=architecture,
                         graphemes=["a", "b", "é"], phonemes=["A", "B", "C"],
                         form="nfc", reverse=True)
    file = neural.read_network(path)
    assert (file.architecture, file.graphemes, file.phonemes, file.form,
            file.reverse) == (architecture, ["a", "b", "é"],
                              ["A", "B", "C"], "nfc", True)
    again = neural.model_bytes(network_of(file), file.architecture,
                               file.graphemes, file.phonemes, file.form,
                               file.reverse)
    assert again == path.read_bytes()
    path.write_bytes(again[:-1] + bytes([again[-1] ^ 1]))
    with pytest.raises(ValueError, match="damaged"):
        neural.read_network(path)


def test_training_goes_on_from_a_model(cipher, tmp_path):
    lexicon, trained = cipher.folder / "cipher.dict", cipher.folder / "cipher.tnn"
    seen = []
    # Late in a long schedule the rate is small: the first epoch keeps
    # what the model knew (from scratch, it knows nothing yet).
    neural.train_neural(lexicon, tmp_path / "more.tnn", init=trained,
                        init_epochs=10000, epochs=1, dev_share=0.1,
                        batch_size=16, progress=seen.append)
    assert seen[0].dev_wer == 0
    other = tmp_path / "other.dict"
    other.write_text(lexicon.read_text() + "zzz\tZ Z Z\n")
    with pytest.raises(ValueError, match="its graphemes differ"):
        neural.train_neural(other, tmp_path / "x.tnn", init=trained,
                            epochs=1)


def test_training_is_deterministic_and_leaves_the_caller_alone(
        cipher, tmp_path):
    torch = pytest.importorskip("torch")
    cipher_lexicon = cipher.folder / "cipher.dict"
    saved = torch.get_num_threads()
    torch.set_num_threads(3)
    try:
        during = []
        neural.train_neural(cipher_lexicon, tmp_path / "0.tnn",
                            architecture=TINY, epochs=2, seed=5, threads=2,
                            progress=lambda _: during.append(
                                torch.get_num_threads()))
    finally:
        torch.set_num_threads(saved)
    assert during == [3, 3]
    # From a script without a __main__ guard, which never imports torch.
    code = ("import sys; from tamsu import neural; neural.train_neural("
            "sys.argv[1], sys.argv[2], architecture=neural.NeuralArchitecture"
            f"{tuple(vars(TINY).values())}, epochs=2, seed=5, threads=2); "
            "assert 'torch' not in sys.modules")
    subprocess.run([sys.executable, "-c", code, cipher_lexicon,
                    tmp_path / "1.tnn"], check=True)
    assert (tmp_path / "0.tnn").read_bytes() == (
        tmp_path / "1.tnn").read_bytes()


def interrupt(_):
    raise KeyboardInterrupt


class _Children(subprocess.Popen):
    """Popen that keeps its processes and whose exit does not wait after a
    KeyboardInterrupt (as when its quarter of a second runs out on a
    loaded machine)."""
    made = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._sigint_wait_secs = 0
        self.made.append(self)


@pytest.mark.parametrize("lexicon, progress, error", [
    ("", None, LexiconError), (CIPHER_DICT, interrupt, KeyboardInterrupt)],
    ids=["empty", "interrupt"])
def test_failed_training_leaves_no_file(tmp_path, monkeypatch, lexicon,
                                        progress, error):
    pytest.importorskip("torch")
    (tmp_path / "words.dict").write_text(lexicon)
    monkeypatch.setattr(_Children, "made", [])
    monkeypatch.setattr(subprocess, "Popen", _Children)
    with pytest.raises(error):
        neural.train_neural(tmp_path / "words.dict", tmp_path / "out.tnn",
                            architecture=TINY, epochs=10**6,
                            progress=progress)
    assert [p.name for p in tmp_path.iterdir()] == ["words.dict"]
    # The child is reaped, however long its end takes.
    assert _Children.made and all(
        child.returncode is not None for child in _Children.made)


def test_torch_stays_optional():
    code = ("import sys, tamsu, tamsu.neural, tamsu._neural, tamsu.g2p, "
            "tamsu.cli; assert 'torch' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)
