"""Plants realistic one-line slips in the code, one at a time, and counts
how many the test suite catches.

Each mutant is (file, exact original text, replacement, what it breaks).
The original must occur exactly once in its file, so a mutant that no
longer applies stops the run before anything is changed. For each mutant
the file is changed, the project rebuilt incrementally, the GoogleTest
suites run (C++ mutants only: they cannot see Python code), the package
reinstalled and pytest run with -x; then the file is restored, also on
Ctrl-C or a failure of this script.

    .venv/bin/python tools/mutate.py                # every mutant
    .venv/bin/python tools/mutate.py --list
    .venv/bin/python tools/mutate.py --only 3 17    # by number
    .venv/bin/python tools/mutate.py --root /tmp/other-checkout

Run it on a clean tree: it rebuilds into ROOT/build and installs into
ROOT/.venv, as ./test.sh does, and leaves both matching the restored code.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass


@dataclass(frozen=True)
class Mutant:
    path: str
    original: str
    replacement: str
    description: str


M = Mutant
MUTANTS = [
    # src/model: the model-file check, loading, cluster tables
    M("src/model/model_file_check.cc",
      "if (!texts.insert(text).second) {",
      "if (false && !texts.insert(text).second) {",
      "model file check: repeated symbol text accepted"),
    M("src/model/model.cc",
      "if (next < 0 || next >= num_states) {",
      "if (next < 0 || next > num_states) {",
      "load: arc to state NumStates() accepted (known gap)"),
    M("src/model/model.cc",
      "if (!fst || !log.empty()) {",
      "if (!fst) {",
      "load: OpenFst's logged read errors ignored"),
    M("src/model/model.cc",
      "model.veto_set = {0, 1, 2};",
      "model.veto_set = {0, 1};",
      "load: the skip symbol '_' is not vetoed"),
    M("src/model/model.cc",
      "if (num_arcs < 2) continue;",
      "if (num_arcs < 3) continue;",
      "load: states with two arcs left unsorted"),
    M("src/model/model.cc",
      'return "failed to read FST: " + error.detail;',
      'return "failed to load FST: " + error.detail;',
      "load: wrong word in the read-failure message"),
    M("src/model/cluster_table.cc",
      "table.parts_to_label[parts] = label;",
      "table.parts_to_label.emplace(parts, label);",
      "clusters: the first of two equal clusters wins, not the last"),
    # src/tokenize
    M("src/tokenize/tokenize.cc",
      "if (length > text.size() - pos) return 1;",
      "if (length >= text.size() - pos) return 1;",
      "tokenize: a multi-byte character ending the word split into bytes"),
    M("src/tokenize/tokenize.cc",
      "  append_label(text.substr(start), isyms, labels);\n  return labels;",
      "  if (start < text.size()) append_label(text.substr(start), isyms, "
      "labels);\n  return labels;",
      "tokenize: an empty piece after a final delimiter dropped"),
    M("src/tokenize/tokenize.cc",
      "\"' not found in input symbols table.",
      "\"' not found in input symbol table.",
      "tokenize: wrong word in the unknown-symbol message"),
    # src/fsa
    M("src/fsa/fsa.cc",
      "for (std::size_t k = 2; k <= spans; ++k) {",
      "for (std::size_t k = 2; k < spans; ++k) {",
      "fsa: the longest cluster span never tried"),
    # src/nbest: paths, selection, phonemes, dump, search, pipeline
    M("src/nbest/paths.cc",
      "if (use_threshold && weight > *threshold) continue;",
      "if (use_threshold && weight >= *threshold) continue;",
      "selection: a path weighing exactly threshold dropped (known gap)"),
    M("src/nbest/paths.cc",
      "if (kept >= beam) break;",
      "if (kept > beam) break;",
      "selection: one record more than beam"),
    M("src/nbest/paths.cc",
      "return low - std::log1p(std::exp(-(high - low)));",
      "return low + std::log1p(std::exp(-(high - low)));",
      "paths: log-add with the wrong sign"),
    M("src/nbest/paths.cc",
      "return arc.ilabel == 0 && arc.olabel == 0 && w <= kEpsilonWeightBand",
      "return arc.ilabel == 0 && w <= kEpsilonWeightBand",
      "paths: 0:x arcs of weight 0 taken for framing and dropped"),
    M("src/nbest/dump.cc",
      "for (fst::StdArc::StateId s = 0; s < fst.NumStates(); ++s) {",
      "for (fst::StdArc::StateId s = 1; s < fst.NumStates(); ++s) {",
      "dump: header arc count misses the first state's arcs"),
    M("src/nbest/search.cc",
      "static_cast<std::int32_t>(std::min(nshortest, kMaxShortestPaths));",
      "static_cast<std::int32_t>(nshortest);",
      "search: the path request wraps around int32"),
    M("src/nbest/pipeline.cc",
      "  if (options.nbest == 0) return fail(report, DecodeFailure::kNothingRequested);",
      "",
      "pipeline: nbest 0 still returns a path"),
    M("src/nbest/pipeline.cc",
      'write_fst(*lattice, word + ".lat.fst")',
      'write_fst(*lattice, word + ".lattice.fst")',
      "pipeline: the lattice dump gets the wrong name"),
    # src/python: binding, argument conversion, messages
    M("src/python/binder.cc",
      "if (converted == static_cast<unsigned long long>(-1) && "
      "PyErr_Occurred()) {",
      "if (converted == static_cast<unsigned long long>(-1)) {",
      "binding: 2**64-1 taken for a conversion failure"),
    M("src/python/decode_options.cc",
      "ok = convert_u64(value, name, options.beam);",
      "ok = convert_u64(value, name, options.nbest);",
      "binding: beam stored as nbest"),
    M("src/python/symbol_lookup.cc",
      "if (id < 0 || static_cast<std::size_t>(id) >= table.NumSymbols()) {",
      "if (id < 0 || static_cast<std::size_t>(id) > table.NumSymbols()) {",
      "binding: find_osym of one past the last label returns a text"),
    M("src/python/py_model.cc",
      '"tamsu::python::PyModel is unsendable, but sent to "',
      '"tamsu::python::PyModel is unsendable, but moved to "',
      "binding: wrong word in the thread-mismatch message"),
    M("src/python/py_model.cc",
      "const bool foreign = as_model(self)->owner != std::this_thread::get_id();",
      "const bool foreign = false;",
      "binding: a Model freed on a foreign thread"),
    M("src/python/py_path_data.cc",
      '"%.4f"',
      '"%.3f"',
      "PathData: repr with three decimals"),
    M("src/python/py_path_data.cc",
      '{"olabels", path_data_olabels,',
      '{"olabels", path_data_ilabels,',
      "PathData: olabels returns the input labels"),
    M("src/python/py_model.cc",
      "  return !raised;",
      "  return true;",
      "binding: an interrupted decoding reported as success"),
    M("src/python/py_model.cc",
      "    model->reference_route = false;",
      "    model->reference_route = true;",
      "binding: a new Model starts on OpenFst's route"),
    M("src/python/py_model.cc",
      "options.reference_route = self.reference_route;",
      "options.reference_route = false;",
      "binding: _set_route(model, 'openfst') ignored"),
    M("src/python/py_model.cc",
      'case DecodeRoute::kLatticeSearch: return "lattice";',
      'case DecodeRoute::kLatticeSearch: return "openfst";',
      "binding: _route names the lattice route 'openfst'"),
    M("src/nbest/pipeline.cc",
      "std::max<std::uint64_t>(count_paths(lattice), 2);",
      "count_paths(lattice);",
      "pipeline: a one-path lattice takes OpenFst's single-path route"),
    # src/train: alignment, n-grams, model FST
    M("src/train/model_fst.cc",
      "fst->SetStart(start == kNoNode ? state_of[0] : state_for(start));",
      "fst->SetStart(state_of[0]);",
      "train: start state is the empty history, not <s> (known gap)"),
    M("src/train/align.cc",
      "if (b == 0 && a > options.max_deleted) continue;",
      "if (b == 0 && a >= options.max_deleted) continue;",
      "align: no grapheme may be deleted"),
    M("src/train/ngram.cc",
      "if (count >= 3.0) return d[2];",
      "if (count > 3.0) return d[2];",
      "ngram: a count of 3 discounted as a count of 2"),
    # src/nbest/lattice_search, src/model/search_plan, fst_trust, src/diag
    M("src/nbest/lattice_search.cc",
      "kept = log_add(kept, probe.path_weight);",
      "kept = std::min(kept, probe.path_weight);",
      "lattice search: accumulate keeps the best repeat, not the sum"),
    M("src/nbest/lattice_search.cc",
      "if (result.collection.paths.size() >= nbest) return result;",
      "if (result.collection.paths.size() > nbest) return result;",
      "lattice search: one path more than nbest"),
    M("src/model/search_plan.cc",
      "return !std::isnan(w) && w != -std::numeric_limits<float>::infinity();",
      "return !std::isnan(w);",
      "search plan: a final weight of -inf accepted"),
    M("src/model/fst_trust.cc",
      "if (epsilons > 1) return std::nullopt;",
      "if (epsilons > 2) return std::nullopt;",
      "fst trust: a negative cycle through a second epsilon arc missed"),
    M("src/diag/cerr_router.cc",
      "    xsputn(&character, 1);\n",
      "",
      "cerr router: characters written one at a time (numbers) lost"),
    # src/tamsu: lexicon, evaluation, pool, cli
    M("src/tamsu/lexicon.py",
      "share = len(malformed) / (len(entries) + len(malformed))",
      "share = len(malformed) / len(entries)",
      "lexicon: malformed share over the good lines only (known gap)"),
    M("src/tamsu/lexicon.py",
      'stripped.startswith((";;;", "#"))',
      'stripped.startswith((";;;",))',
      "lexicon: '#' comment lines read as entries"),
    M("src/tamsu/decoding.py",
      "    if not options.stress:\n        scored = _without_stress(scored)",
      "    if not options.stress and len(scored) > 1:\n"
      "        scored = _without_stress(scored)",
      "decoding: a word's only answer keeps its stress with stress=False"),
    M("src/tamsu/evaluation.py",
      "report.phonemes += -length",
      "report.phonemes += len(hypothesis)",
      "evaluation: PER over the hypothesis length"),
    M("src/nbest/pipeline.cc",
      "if (model.search_plan.usable() && !options.write_fsts &&",
      "if (model.search_plan.usable() &&",
      "pipeline: a call asking for dumps takes the lattice search"),
    M("src/tamsu/cli/options.py",
      "if not ((low < value) if above else (low <= value)) or value > high:",
      "if not ((low < value) if above else (low < value)) or value > high:",
      "cli: the smallest allowed number of an option refused"),
    # src/tamsu: front end (G2P, normalisation, dictionary, apply)
    M("src/tamsu/normalise.py",
      "        if has_upper and not has_lower:",
      "        if has_upper:",
      "normalise: a mixed-case model gets words upper-cased"),
    M("src/tamsu/normalise.py",
      "            or unicodedata.category(character) == \"Cf\")",
      "            )",
      "normalise: a stray byte-order mark or soft hyphen kept at the edge"),
    M("src/tamsu/lexicon.py",
      "    folded = _VARIANT_MARKER.sub(\"\", word)",
      "    folded = word",
      "lexicon: CMU variant markers word(2) not folded into the word"),
    M("src/tamsu/lexicon.py",
      "        if phoneme.startswith(\"#\"):",
      "        if phoneme == \"#\":",
      "lexicon: a trailing comment '#word' read as phonemes"),
    # src/tamsu: text files and the files of a run
    M("src/tamsu/textfile.py",
      "        if b\"\\0\" in raw:",
      "        if False:",
      "textfile: a NUL in a UTF-8 line reaches the text"),
    M("src/tamsu/textfile.py",
      "                raw = readline(_BLOCK)",
      "                break",
      "textfile: the rest of an over-long line read as lines"),
    M("src/tamsu/textfile.py",
      "    return (bool(text) and 2 * text.count(\"\\n\") >= sample.count(b\"\\n\")",
      "    return (bool(text)",
      "textfile: UTF-8 text with a stray NUL taken for UTF-16"),
    M("src/tamsu/files.py",
      "        status = os.stat(path)",
      "        status = os.lstat(path)",
      "files: an output that links to an input not recognised"),
    M("src/tamsu/dictionary.py",
      "        if len(entries) != len(lines):",
      "        if len(entries) > len(lines):",
      "dictionary: variants of the shipped dictionary lost but the last"),
    M("src/tamsu/decoding.py",
      "    weight = math.log(len(variants))",
      "    weight = -math.log(len(variants))",
      "g2p: dictionary variants weighted log(share), not -log(share)"),
    M("src/tamsu/decoding.py",
      "        if j == 0 and i + 1 < len(a):",
      "        if i + 1 < len(a):",
      "decoding: a compound's combinations queued twice and repeated"),
    M("src/tamsu/ensemble.py",
      "else [math.exp(shift - weight) for _, weight in paths])",
      "else [math.exp(-weight) for _, weight in paths])",
      "ensemble: long words' joint probabilities underflow and tie"),
    M("src/tamsu/decoders.py",
      "depth=options.nbest), delim, options)",
      "depth=1), delim, options)",
      "g2p: an ensemble asked for n answers gives one per member"),
    M("src/tamsu/decoders.py",
      "common = frozenset.intersection(*(a.graphemes for a in alphabets))",
      "common = frozenset.union(*(a.graphemes for a in alphabets))",
      "g2p: an ensemble passes graphemes one member lacks to it"),
    M("src/tamsu/decoding.py",
      "    lossy = bool(removed) and not options.partial",
      "    lossy = False",
      "decoding: partial=False still answers a word that lost characters"),
    M("src/tamsu/decoding.py",
      "    kept = variants if options.all_variants else \\",
      "    kept = variants if True else \\",
      "decoding: nbest does not cap dictionary variants"),
    M("src/tamsu/normalise.py",
      "        form = alphabet.form if alphabet.recorded else None",
      "        form = None",
      "normalise: off, the model's recorded NFD form is not applied"),
    M("src/tamsu/cli/__init__.py",
      "        os.dup2(devnull, sys.stdout.fileno())\n        return 0",
      "        os.dup2(devnull, sys.stdout.fileno())\n        return 1",
      "cli: a reader that stops early (head) fails the run"),
    M("src/tamsu/cli/apply.py",
      "            word = word.replace(character, escape)",
      "            pass",
      "apply: a tab in a word breaks the --oov report's lines"),
    M("src/tamsu/cli/apply.py",
      "            if answer.word in written:",
      "            if False:",
      "apply: a repeated word written twice in a lexicon"),
]


def check_applicable(root: str) -> list[str]:
    problems = []
    for number, mutant in enumerate(MUTANTS, start=1):
        path = os.path.join(root, mutant.path)
        try:
            with open(path, encoding="utf-8") as f:
                count = f.read().count(mutant.original)
        except OSError as error:
            problems.append(f"#{number} {mutant.path}: {error}")
            continue
        if count != 1:
            problems.append(f"#{number} {mutant.path}: original text found "
                            f"{count} times: {mutant.original!r}")
    return problems


def run(command: list[str], root: str, timeout: float) -> str:
    """'pass', 'fail' or 'timeout'."""
    try:
        result = subprocess.run(command, cwd=root, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timeout"
    return "pass" if result.returncode == 0 else "fail"


def commands(root: str) -> dict[str, list[str]]:
    python = os.path.join(root, ".venv", "bin", "python")
    return {
        "build": ["meson", "compile", "-C", "build", "-j", "2"],
        "gtest": ["meson", "test", "-C", "build", "--num-processes", "2"],
        "install": [os.path.join(root, ".venv", "bin", "pip"), "install",
                    "--quiet", "--no-build-isolation",
                    "--config-settings=builddir=build",
                    "--config-settings=compile-args=-j2", "."],
        "pytest": [python, "-X", "dev", "-m", "pytest", "-x", "-q",
                   "-p", "no:cacheprovider", "tests"],
    }


def judge(mutant: Mutant, root: str, timeout: float) -> str:
    """Where the mutant was caught ('gtest', 'pytest', ...) or 'survived'."""
    steps = commands(root)
    if not mutant.path.endswith(".py"):
        outcome = run(steps["build"], root, timeout)
        if outcome != "pass":
            return f"build {outcome}"
        outcome = run(steps["gtest"], root, timeout)
        if outcome != "pass":
            return f"gtest ({outcome})"
    outcome = run(steps["install"], root, timeout)
    if outcome != "pass":
        return f"install {outcome}"
    outcome = run(steps["pytest"], root, timeout)
    if outcome != "pass":
        return f"pytest ({outcome})"
    return "survived"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.path.dirname(
        os.path.dirname(os.path.abspath(__file__))))
    parser.add_argument("--only", type=int, nargs="+", metavar="N")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--timeout", type=float, default=900.0,
                        help="seconds per step; a hang counts as caught")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the results as JSON")
    args = parser.parse_args()
    root = os.path.abspath(args.root)

    problems = check_applicable(root)
    if problems:
        print("mutants that no longer apply:\n  " + "\n  ".join(problems),
              file=sys.stderr)
        return 2
    if args.list:
        for number, mutant in enumerate(MUTANTS, start=1):
            print(f"{number:2d} {mutant.path}: {mutant.description}")
        return 0

    # SIGTERM as well as Ctrl-C must reach the `finally` that restores.
    # Setting SIGINT also undoes an inherited "ignore" (a background job),
    # which the suites' own Ctrl-C tests would otherwise inherit and fail.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    chosen = args.only or range(1, len(MUTANTS) + 1)
    results = []
    started = time.monotonic()
    try:
        for number in chosen:
            mutant = MUTANTS[number - 1]
            path = os.path.join(root, mutant.path)
            with open(path, encoding="utf-8") as f:
                original = f.read()
            t0 = time.monotonic()
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original.replace(mutant.original,
                                             mutant.replacement, 1))
                verdict = judge(mutant, root, args.timeout)
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
            results.append({"number": number, "path": mutant.path,
                            "description": mutant.description,
                            "verdict": verdict})
            print(f"{number:2d} {verdict:16s} {time.monotonic() - t0:6.1f}s  "
                  f"{mutant.path}: {mutant.description}", flush=True)
    finally:
        # Leave the build and the installed package matching the sources.
        run(commands(root)["install"], root, args.timeout)

    caught = [r for r in results if r["verdict"] != "survived"]
    survivors = [r for r in results if r["verdict"] == "survived"]
    print(f"\nscore: {len(caught)} of {len(results)} caught "
          f"({time.monotonic() - started:.0f} s)")
    for r in survivors:
        print(f"  survived #{r['number']}: {r['path']}: {r['description']}")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
