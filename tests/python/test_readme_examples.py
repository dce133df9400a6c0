"""Every fenced ``python`` example of README.md runs as written.

Each block runs in a fresh namespace, in a scratch directory, with its line numbers those of
the README. Sizes shrink only by the substitutions in SHRINK, plain text replacements that must
each still match an example. A block is skipped only when it stops at an import of a package
that is not installed here (an optional extra); any other error fails it.
"""

import importlib.util
import os
import re

import pytest

README = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")

# (text in an example, what the test runs instead): fewer games and steps, same code.
SHRINK = [
    ("murkplay_rl.GameBatch(256, max_plies=300", "murkplay_rl.GameBatch(16, max_plies=300"),
    ("for _ in range(1000):", "for _ in range(30):"),
    ("while len(recorder.records) < 256:", "while len(recorder.records) < 16:"),
]


def examples():
    """(id, first line, code) of every fenced python block, the id from the heading above it."""
    if not os.path.exists(README):
        return []
    found, heading, counts = [], "top", {}
    lines = open(README, encoding="utf-8").read().splitlines()
    number = 0
    while number < len(lines):
        line = lines[number]
        if line.startswith("#"):
            heading = re.sub(r"[^a-z0-9]+", "-", line.lstrip("#").strip().lower()).strip("-")
        elif line.startswith("```"):  # any fenced block, skipped whole: its comments are no headings
            end = lines.index("```", number + 1)
            if line.strip() == "```python":
                counts[heading] = counts.get(heading, 0) + 1
                found.append((f"{heading}-{counts[heading]}", number + 2, "\n".join(lines[number + 1:end])))
            number = end
        number += 1
    return found


EXAMPLES = examples()


def shrink(code):
    for text, smaller in SHRINK:
        code = code.replace(text, smaller)
    return code


def test_every_shrinking_still_matches_an_example():
    if not EXAMPLES:
        pytest.skip("README.md is not beside the tests")
    for text, _ in SHRINK:
        assert any(text in code for _, _, code in EXAMPLES), f"no README example contains {text!r}"


def missing_package(error):
    """The top-level name of the package whose absence raised ``error``, None for other errors."""
    while error is not None:
        if isinstance(error, ImportError) and error.name:
            top = error.name.partition(".")[0]
            if top not in ("murkplay", "murkplay_rl") and importlib.util.find_spec(top) is None:
                return top
        error = error.__cause__
    return None


@pytest.mark.parametrize("first_line, code", [example[1:] for example in EXAMPLES],
                         ids=[example[0] for example in EXAMPLES])
def test_readme_example_runs(first_line, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    compiled = compile("\n" * (first_line - 1) + shrink(code), os.path.abspath(README), "exec")
    try:
        exec(compiled, {"__name__": "__readme__"})
    except ImportError as error:
        package = missing_package(error)
        if package is None:
            raise
        pytest.skip(f"needs {package}, which is not installed here: {error}")
