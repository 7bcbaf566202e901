"""ICU's spell-out against num2words on a sample of numbers, side by side.

    .venv/bin/python bench/number_readers.py

For each language (English, French, German, Spanish) and kind (cardinal,
ordinal, year, decimal), prints both readings where they differ and how
many agree; the README says which reads better. num2words (Debian's
python3-num2words) is only measured here, never used by tamsu.
"""

import num2words

from tamsu.text.numbers import spell_number

SAMPLE = {
    "cardinal": ["0", "7", "21", "101", "999", "1000", "1984", "2005",
                 "71000", "1000000", "123456789"],
    "ordinal": ["1", "2", "3", "11", "21", "100", "1001"],
    "year": ["1066", "1900", "1984", "2000", "2005", "2024"],
    "decimal": ["3.5", "0.25", "12.05"],
}
LANGUAGES = ["en", "fr", "de", "es"]


def ours(text, language, kind):
    if kind == "decimal":
        whole, fraction = text.split(".")
        separator = "." if language == "en" else ","
        return " ".join(spell_number(whole + separator + fraction, language))
    return " ".join(spell_number(text, language, kind=kind))


def theirs(text, language, kind):
    if kind == "decimal":
        return num2words.num2words(float(text), lang=language)
    return num2words.num2words(int(text), lang=language,
                               to={"cardinal": "cardinal",
                                   "ordinal": "ordinal",
                                   "year": "year"}[kind])


def main():
    for language in LANGUAGES:
        for kind, numbers in SAMPLE.items():
            same = 0
            for text in numbers:
                a = ours(text, language, kind)
                try:
                    b = theirs(text, language, kind)
                except (NotImplementedError, KeyError, TypeError) as error:
                    b = f"({type(error).__name__})"
                if a.replace("-", " ") == b.replace("-", " "):
                    same += 1
                else:
                    print(f"{language} {kind:8} {text:>10}  ICU: {a}  |  "
                          f"num2words: {b}")
            print(f"{language} {kind}: {same} of {len(numbers)} alike")


if __name__ == "__main__":
    main()
