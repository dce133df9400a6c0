"""Every fenced ``python`` example of README.md and of the pages of docs/ runs as written.

Each block runs in a fresh namespace, in a scratch directory, with its line numbers those of
its page. Sizes shrink only by the substitutions in SHRINK, plain text replacements that must
each still match an example. A block is skipped only when it stops at an import of a package
that is not installed here (an optional extra); any other error fails it.
"""

import glob
import importlib.util
import os
import re

import pytest

ROOT = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir)
PAGES = [os.path.join(ROOT, "README.md"), *sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))]

# (text in an example, what the test runs instead): fewer games and steps, same code.
SHRINK = [
    ("murkplay_rl.GameBatch(256, max_plies=300", "murkplay_rl.GameBatch(16, max_plies=300"),
    ("for _ in range(1000):", "for _ in range(30):"),
    ("while len(recorder.records) < 256:", "while len(recorder.records) < 16:"),
]


def examples(page):
    """(id, path, first line, code) of every fenced python block of a page, the id from the page
    and the heading above the block."""
    found, heading, counts = [], "top", {}
    name = os.path.splitext(os.path.basename(page))[0]
    lines = open(page, encoding="utf-8").read().splitlines()
    number = 0
    while number < len(lines):
        line = lines[number]
        if line.startswith("#"):
            heading = re.sub(r"[^a-z0-9]+", "-", line.lstrip("#").strip().lower()).strip("-")
        elif line.startswith("```"):  # any fenced block, skipped whole: its comments are no headings
            end = lines.index("```", number + 1)
            if line.strip() == "```python":
                counts[heading] = counts.get(heading, 0) + 1
                found.append((f"{name}:{heading}-{counts[heading]}", os.path.abspath(page), number + 2,
                              "\n".join(lines[number + 1:end])))
            number = end
        number += 1
    return found


EXAMPLES = [example for page in PAGES if os.path.exists(page) for example in examples(page)]


def shrink(code):
    for text, smaller in SHRINK:
        code = code.replace(text, smaller)
    return code


def test_every_shrinking_still_matches_an_example():
    if not EXAMPLES:
        pytest.skip("README.md is not beside the tests")
    for text, _ in SHRINK:
        assert any(text in code for *_, code in EXAMPLES), f"no example contains {text!r}"


def missing_package(error):
    """The top-level name of the package whose absence raised ``error``, None for other errors."""
    while error is not None:
        if isinstance(error, ImportError) and error.name:
            top = error.name.partition(".")[0]
            if top not in ("murkplay", "murkplay_rl") and importlib.util.find_spec(top) is None:
                return top
        error = error.__cause__
    return None


@pytest.mark.parametrize("path, first_line, code", [example[1:] for example in EXAMPLES],
                         ids=[example[0] for example in EXAMPLES])
def test_readme_example_runs(path, first_line, code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    compiled = compile("\n" * (first_line - 1) + shrink(code), path, "exec")
    try:
        exec(compiled, {"__name__": "__readme__"})
    except ImportError as error:
        package = missing_package(error)
        if package is None:
            raise
        pytest.skip(f"needs {package}, which is not installed here: {error}")


def anchors(page):
    """The anchors of a page's headings, as the Markdown renderers of code hosts make them."""
    text = re.sub(r"```.*?```", "", open(page, encoding="utf-8").read(), flags=re.S)
    return {re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
            for line in text.splitlines() if line.startswith("#")}


def test_every_page_is_linked_from_the_readme_and_every_link_resolves():
    if not os.path.exists(PAGES[0]):
        pytest.skip("README.md is not beside the tests")
    linked = set()
    for page in PAGES:
        text = re.sub(r"```.*?```", "", open(page, encoding="utf-8").read(), flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            assert os.path.exists(path), f"{os.path.basename(page)} links to {target}, which is missing"
            assert not anchor or anchor in anchors(path), f"{os.path.basename(page)}: no heading for {target}"
            if page == PAGES[0]:
                linked.add(os.path.realpath(path))
    unlinked = [page for page in PAGES[1:] if os.path.realpath(page) not in linked]
    assert not unlinked, f"pages the README does not link: {unlinked}"
