"""A second decoder made of OpenFst's command-line tools, for differential
tests of the whole pipeline.

The word acceptor is written as text and compiled with fstcompile, composed
with the arc-sorted model by fstcompose, searched by fstshortestpath and read
back through fstprint. Everything after the search (walking the paths,
making them distinct by phonemes, log-adding, selection) is redone here in
plain Python with single-precision arithmetic, so that the tools and this
module together form an independent implementation to compare tamsu with.

Also generates the small random backoff models the comparison runs on.
"""

import dataclasses
import math
import os
import random
import shlex
import subprocess

import numpy

f32 = numpy.float32
VETO = frozenset((0, 1, 2))
BAND = f32(2.0 ** -10)
INF = f32(math.inf)


# ---------------------------------------------------------------- models

@dataclasses.dataclass
class RandomModel:
    """A small model as AT&T text plus both symbol lists (labels 0, 1, ...)."""

    isyms: list
    osyms: list
    lines: list       # AT&T text lines, symbols by text
    delim: str        # the delimiter the model is loaded and decoded with
    graphemes: list   # the plain input symbols words are made of
    clusters: list    # the input cluster texts, e.g. "c|h"

    def text(self):
        return "\n".join(self.lines) + "\n"


# Weights of epsilon-to-epsilon arcs and final weights: inside the band
# [-2^-10, 2^-10] (both ends included), just outside it, and well outside.
IN_BAND = ["0", "0.0005", "-0.0004", "0.0009765625", "-0.0009765625"]
NEAR_BAND = ["0.0009766", "-0.0009766", "0.002"]


def _cost(rng, low=0.05, high=3.0):
    # Four decimals survive fstcompile and fstprint exactly in single
    # precision, and make exact ties between different paths rare.
    return f"{rng.uniform(low, high):.4f}"


def random_model(seed, delim="", quiet=False):
    """A backoff-shaped model: state 0 is the root; every other state backs
    off to a lower state over an epsilon:epsilon arc, and input-epsilon
    arcs only lead to lower states, so the lattice stays acyclic.

    A `quiet` model mostly outputs nothing (epsilon or the skip symbol), so
    that many paths spell the same phonemes and the search must be asked
    again for more paths."""
    rng = random.Random(seed)
    graphemes = ["a", "c", "h", "s", "t"]
    graphemes += rng.sample(["b", "e", "é", "o"], rng.randint(1, 3))
    if delim:
        graphemes.append("qu")  # a multi-character grapheme
    clusters = [c for c in ("c|h", "s|h", "t|h", "s|c|h")
                if rng.random() < 0.8] or ["c|h"]
    phonemes = rng.sample(["A", "B", "E", "K", "S", "T", "H", "O", "CH",
                           "SH", "TH"], rng.randint(6, 9))
    out_clusters = [c for c in ("K|S", "T|S", "K|_", "A|A")
                    if all(p in phonemes or p == "_" for p in c.split("|"))]
    isyms = ["<eps>", "|", "_"] + graphemes + clusters
    osyms = ["<eps>", "|", "_"] + phonemes + out_clusters
    inputs = graphemes + clusters
    outputs = ["<eps>", "_"] + phonemes + out_clusters

    num_states = rng.randint(3, 6)
    lines = []
    for state in range(num_states):
        arcs = {}  # (input, output) -> (next state, weight): pairs are unique
        # The root, which every state backs off to, knows nearly every
        # grapheme: most words can be decoded, a few cannot.
        coverage = 0.97 if state == 0 else 0.35
        for symbol in inputs:
            if rng.random() >= coverage:
                continue
            if quiet and rng.random() < 0.85:
                choices = ["<eps>", "_"]
            else:
                choices = rng.sample(outputs, rng.randint(1, 3))
            for output in choices:
                arcs[(symbol, output)] = (rng.randrange(num_states),
                                          _cost(rng))
        if state > 0:
            weight = rng.choice(IN_BAND + NEAR_BAND + [_cost(rng, 0.01, 1.5)])
            arcs[("<eps>", "<eps>")] = (rng.randrange(state), weight)
            if rng.random() < 0.5:
                arcs[("<eps>", rng.choice(phonemes + ["_"]))] = (
                    rng.randrange(state), _cost(rng, 0.5, 3.0))
        # File order: random, except that arcs with equal input labels stay
        # in increasing order of output label. Sorting by input label then
        # gives one order whether the sort is stable or compares
        # (input, output) like OpenFst's fstarcsort.
        keys = list(arcs)
        rng.shuffle(keys)
        for symbol in dict.fromkeys(k[0] for k in keys):
            slots = [i for i, k in enumerate(keys) if k[0] == symbol]
            same = sorted((keys[i] for i in slots),
                          key=lambda k: osyms.index(k[1]))
            for i, key in zip(slots, same):
                keys[i] = key
        for key in keys:
            target, weight = arcs[key]
            lines.append(f"{state} {target} {key[0]} {key[1]} {weight}")
    finals = [0] + [s for s in range(1, num_states) if rng.random() < 0.6]
    for state in finals:
        weight = rng.choice(IN_BAND + NEAR_BAND + [_cost(rng, 0.01, 2.0)] * 4)
        lines.append(f"{state} {weight}")
    return RandomModel(isyms, osyms, lines, delim, graphemes, clusters)


def random_word(rng, model):
    """Graphemes, often running into a cluster's parts, and now and then a
    piece that is not a symbol (tokenization drops it)."""
    pieces = []
    for _ in range(rng.choice([1, 1, 2, 3, 3, 4, 4, 5, 5, 6, 7, 8])):
        roll = rng.random()
        if roll < 0.3:
            pieces += rng.choice(model.clusters).split("|")
        elif roll < 0.34:
            pieces.append("x" if not model.delim else "zz")
        else:
            pieces.append(rng.choice(model.graphemes))
    if not model.delim:
        return "".join(pieces)
    word = model.delim.join(pieces)
    if rng.random() < 0.1:  # two delimiters in a row: an empty piece
        word = word.replace(model.delim, model.delim * 2, 1)
    return word


# ------------------------------------------------- symbols and the acceptor

@dataclasses.dataclass
class ClusterTable:
    label_to_parts: dict
    parts_to_label: dict
    max_parts: int


def cluster_table(symbols):
    """Label 1's text is the separator; every label from 2 up maps to its
    parts (itself when it is no cluster); the highest label wins a key."""
    index = {text: label for label, text in enumerate(symbols)}
    table = ClusterTable({}, {}, 1)
    if len(symbols) < 2:
        return table
    separator = symbols[1]
    for label in range(2, len(symbols)):
        text = symbols[label]
        if separator in text:
            pieces = text.split(separator) if separator else list(text)
            parts = tuple(index[p] for p in pieces if p and p in index)
        else:
            parts = (label,)
        table.max_parts = max(table.max_parts, len(parts))
        table.parts_to_label[parts] = label
        table.label_to_parts[label] = parts
    return table


def tokenize(word, delim, symbols):
    index = {text: label for label, text in enumerate(symbols)}
    if not delim:
        pieces = list(word)
    elif len(delim) == 1:
        pieces = word.split(delim)
    else:  # compared one character at a time: never matches
        pieces = [word]
    return [index[p] for p in pieces if p in index]


def acceptor_text(labels, inputs, symbols):
    """The word acceptor as AT&T text: per state the grapheme arc first, then
    cluster arcs by increasing span; weights 0; final state n."""
    n = len(labels)
    lines = []
    for i in range(n):
        grapheme = symbols[labels[i]]
        lines.append(f"{i} {i + 1} {grapheme} {grapheme} 0")
        for span in range(2, inputs.max_parts + 1):
            if i + span > n:
                break
            label = inputs.parts_to_label.get(tuple(labels[i:i + span]))
            if label is not None:
                lines.append(f"{i} {i + span} {symbols[label]} "
                             f"{symbols[label]} 0")
    lines.append(f"{n} 0")
    return "\n".join(lines) + "\n"


# ------------------------------------------------------------ the tools

@dataclasses.dataclass
class Printed:
    """An FST as fstprint shows it: arcs in stored order, start state first."""

    start: object  # None when fstprint printed nothing (no start state)
    arcs: dict     # state -> [(next state, ilabel, olabel, weight)]
    finals: dict   # state -> weight


def parse_printed(text):
    printed = Printed(None, {}, {})
    for line in text.splitlines():
        fields = line.split("\t")
        state = int(fields[0])
        if printed.start is None:
            printed.start = state
        if len(fields) >= 4:
            weight = f32(fields[4]) if len(fields) > 4 else f32(0)
            printed.arcs.setdefault(state, []).append(
                (int(fields[1]), int(fields[2]), int(fields[3]), weight))
        else:
            weight = f32(fields[1]) if len(fields) > 1 else f32(0)
            printed.finals[state] = weight
    return printed


class ToolRunner:
    """Runs fstcompile | fstcompose once per word and fstshortestpath |
    fstprint once per (word, request size), in batches: one shell script
    per batch and core, instead of one process chain per call."""

    def __init__(self, directory, model_path, isyms_path):
        self.directory = str(directory)
        self.sorted_model = os.path.join(self.directory, "model.sorted.fst")
        self.isyms_path = isyms_path
        subprocess.run(["fstarcsort", "--sort_type=ilabel", model_path,
                        self.sorted_model], check=True)
        self.results = {}  # (word id, k) -> Printed
        self.lattices = set()
        self.acceptors = {}  # word id -> acceptor text

    def _path(self, word_id, suffix):
        return os.path.join(self.directory, f"w{word_id}.{suffix}")

    def add_word(self, word_id, text):
        self.acceptors[word_id] = text

    def run(self, requests):
        """Computes every (word id, k) of `requests` not yet known."""
        todo = sorted(set(requests) - set(self.results))
        if not todo:
            return
        scripts = [["set -e -o pipefail"], ["set -e -o pipefail"]]
        for word_id, k in todo:
            script = scripts[word_id % 2]
            if word_id not in self.lattices:
                self.lattices.add(word_id)
                source = self._path(word_id, "txt")
                with open(source, "w", encoding="utf-8") as f:
                    f.write(self.acceptors[word_id])
                symbols = shlex.quote(self.isyms_path)
                script.append(
                    f"fstcompile --isymbols={symbols} --osymbols={symbols} "
                    f"--keep_isymbols --keep_osymbols {shlex.quote(source)} | "
                    f"fstcompose - {shlex.quote(self.sorted_model)} "
                    f"{shlex.quote(self._path(word_id, 'lat'))}")
            script.append(
                f"fstshortestpath --nshortest={k} --delta=1e-6 --unique=false "
                f"{shlex.quote(self._path(word_id, 'lat'))} | "
                f"fstprint --numeric --show_weight_one "
                f"> {shlex.quote(self._path(word_id, f'k{k}'))}")
        processes = [subprocess.Popen(["bash", "-c", "\n".join(s)],
                                      stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True)
                     for s in scripts if len(s) > 1]
        for process in processes:
            out, err = process.communicate()
            if process.returncode != 0:
                raise RuntimeError(f"OpenFst tools failed: {err}{out}")
        for word_id, k in todo:
            with open(self._path(word_id, f"k{k}"), encoding="utf-8") as f:
                self.results[(word_id, k)] = parse_printed(f.read())


# ------------------------------------------- reading and selecting paths

@dataclasses.dataclass
class Record:
    path_weight: object = f32(0)
    path_weights: list = dataclasses.field(default_factory=list)
    ilabels: list = dataclasses.field(default_factory=list)
    olabels: list = dataclasses.field(default_factory=list)
    uniques: list = dataclasses.field(default_factory=list)

    def lists(self):
        return (self.ilabels, self.olabels,
                [float(w) for w in self.path_weights])


def log_add(a, b):
    """-log(e^-a + e^-b) in single precision; an infinity is neutral."""
    a, b = f32(a), f32(b)
    if math.isinf(a):
        return b
    if math.isinf(b):
        return a
    low, high = min(a, b), max(a, b)
    with numpy.errstate(under="ignore"):
        return f32(low - numpy.log1p(numpy.exp(-(high - low))))


def walk(printed, first_arc):
    """A path's arcs: the start arc, then the first arc of each state until
    a final state or a state without arcs."""
    arcs = [first_arc]
    state = first_arc[0]
    while state not in printed.finals and printed.arcs.get(state):
        arc = printed.arcs[state][0]
        arcs.append(arc)
        state = arc[0]
    return arcs


def record_of(arcs, outputs):
    record = Record()
    for _, ilabel, olabel, weight in arcs:
        if ilabel == 0 and olabel == 0 and weight <= BAND and \
                weight + BAND >= 0:
            continue  # the search's framing arcs and near-zero epsilons
        record.uniques += [p for p in outputs.label_to_parts.get(olabel, ())
                           if p not in VETO]
        record.ilabels.append(ilabel)
        record.olabels.append(olabel)
        record.path_weights.append(weight)
        record.path_weight = f32(weight + record.path_weight)
    return record


@dataclasses.dataclass
class Collection:
    order: list       # distinct uniques, as tuples, first seen first
    paths: dict       # uniques -> Record
    totals: list      # full cost of each walked path and of the next one
    records: list     # the Record of each path in `totals`
    walked: int       # how many paths were walked


def collect(printed, outputs, nbest, accumulate):
    """Walks the start arcs best first until `nbest` distinct sequences are
    held; the path after the last walked one is read but not collected."""
    collection = Collection([], {}, [], [], 0)
    for arc in printed.arcs.get(printed.start, []):
        arcs = walk(printed, arc)
        record = record_of(arcs, outputs)
        collection.totals.append(sum(float(a[3]) for a in arcs))
        collection.records.append(record)
        if len(collection.order) >= nbest:
            break
        collection.walked += 1
        key = tuple(record.uniques)
        if key in collection.paths:
            if accumulate:
                kept = collection.paths[key]
                kept.path_weight = log_add(kept.path_weight,
                                           record.path_weight)
        else:
            collection.order.append(key)
            collection.paths[key] = record
    return collection


def search(nbest, accumulate, outputs):
    """The attempt loop, as a generator: yields each request size k and is
    sent the printed search result for it; returns the last collection."""
    k = max(8 * nbest, 16)
    cap = max(256 * nbest, 1024)
    collection = Collection([], {}, [], [], 0)
    while True:
        printed = yield k
        if printed.start is None:
            return collection
        collection = collect(printed, outputs, nbest, accumulate)
        if k >= cap or len(collection.order) >= nbest:
            return collection
        k = min(cap, 2 * k)


def normalised_weights(collection):
    """(w - T, cumulative mass after it) per collected sequence, in order."""
    total = INF
    for key in collection.order:
        total = log_add(total, collection.paths[key].path_weight)
    cum = INF
    shifted = []
    for key in collection.order:
        weight = f32(collection.paths[key].path_weight - total)
        cum = log_add(cum, weight)
        shifted.append((weight, cum))
    return shifted


def select(collection, beam, threshold, pmass):
    threshold = f32(threshold)
    use_pmass = 99.0 > pmass
    use_threshold = f32(99.0) > threshold
    shifted = normalised_weights(collection) if use_pmass else None
    selected = []
    for position, key in enumerate(collection.order):
        record = collection.paths[key]
        weight = record.path_weight
        cum = INF
        if use_pmass:
            weight, cum = shifted[position]
        if use_threshold and weight > threshold:
            continue
        selected.append(dataclasses.replace(record, path_weight=weight))
        if use_pmass and pmass > float(cum):
            break
        if len(selected) >= beam:
            break
    return selected, len(selected) < len(collection.order)


def tie_positions(collection, tolerance=1e-5):
    """Positions i of walked paths whose full cost ties with path i + 1's
    while their records differ: there the library's order is arbitrary."""
    ties = []
    totals, records = collection.totals, collection.records
    for i in range(len(totals) - 1):
        close = abs(totals[i] - totals[i + 1]) <= \
            tolerance * max(1.0, abs(totals[i]))
        if close and (records[i].lists(), records[i].uniques) != \
                (records[i + 1].lists(), records[i + 1].uniques):
            ties.append(i)
    return ties
