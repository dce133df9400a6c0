"""The step runner of scripts/test, and the free-threaded step on a clone with nothing beside it."""

import os
import shutil
import subprocess

import pytest

SCRIPTS = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "scripts")
pytestmark = pytest.mark.skipif(not (os.path.isdir(SCRIPTS) and shutil.which("bash")),
                                reason="needs the checkout's scripts and bash")


def run(script, cwd, **env):
    clean = {key: value for key, value in os.environ.items()
             if not key.startswith("MURKPLAY_") and key != "LD_PRELOAD"}
    return subprocess.run(["bash", script], cwd=cwd, env={**clean, **env}, capture_output=True, text=True,
                          timeout=60)


@pytest.fixture
def clone(tmp_path):
    """A checkout's scripts alone in a folder, with no shared/toolchains beside it."""
    shutil.copytree(SCRIPTS, tmp_path / "clone" / "scripts")
    return tmp_path / "clone"


@pytest.mark.parametrize("named", [False, True])
def test_the_free_threaded_step_skips_without_its_source_unless_one_is_named(clone, named):
    env = {"MURKPLAY_FT_TARBALL": str(clone / "missing.tar.xz")} if named else {}
    done = run("scripts/free-threaded", clone, **env)
    if named:
        assert done.returncode != 0
        assert "missing.tar.xz" in done.stderr and 'FAILED in step "free-threaded CPython: build' in done.stderr
        return
    assert done.returncode == 0, done.stderr
    reason = f"skipped: no free-threaded CPython source at {clone.parent}/shared/toolchains/"
    summary = done.stdout.split("summary ====")[1]
    assert reason in summary and "(0 passed, 1 skipped)" in summary
    assert not (clone / "build" / "cpython-ft").exists()


def test_steps_are_tabulated_and_the_failing_one_is_named(clone, tmp_path):
    script = clone / "scripts" / "try-steps"
    script.write_text("""set -Eeuo pipefail
source "$(dirname "$0")/lib/steps.bash"
steps_init try-steps
fails() { true; false; echo not reached; }
run_step one "a step that passes" true
run_step two "a step that skips" skip_step "nothing to do"
run_step three "a step left out" true
run_step four "a step that fails" fails
run_step five "a step after the failure" true
""")
    done = run(str(script), clone, MURKPLAY_STEPS="one,two,four,five")
    assert done.returncode == 1 and "not reached" not in done.stdout
    rows = [line.split(None, 1) for line in done.stdout.split("summary ====\n")[1].splitlines()]
    assert [(row[0], row[1].split("  ")[-1].strip()) for row in rows] == [
        ("one", "passed"), ("two", "skipped: nothing to do"), ("three", "skipped: not in MURKPLAY_STEPS"),
        ("four", "FAILED (exit 1)")]
    assert 'try-steps: FAILED in step "a step that fails [four]"' in done.stderr


def test_the_summary_lines_up_and_lists_counts_and_skip_reasons(clone, tmp_path):
    report = tmp_path / "report.xml"
    report.write_text("""<testsuites><testsuite>
<testcase name="a"/><testcase name="b"><skipped message="needs torch, which is not installed"/></testcase>
<testcase name="c"><skipped message="needs torch, which is not installed"/></testcase>
<testcase name="d"><skipped message="no GPU"/></testcase><testcase name="e"><failure message="x"/></testcase>
</testsuite></testsuites>""")
    script = clone / "scripts" / "try-steps"
    script.write_text(f"""set -Eeuo pipefail
source "$(dirname "$0")/lib/steps.bash"
steps_init try-steps
run_step short "a" junit_report {report}
run_step asan-python,typing,package "a label much longer than the others, as a step's label can be" true
""")
    done = run(str(script), clone)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split("summary ====\n")[1].splitlines()
    first, *details, second = lines[:4]
    assert first.startswith("  short  ") and first.endswith("s  passed (1 passed, 1 failed, 3 skipped)")
    assert second.startswith("  asan-python,typing,package  a label") and second.endswith("s  passed")
    # The label and the time line up whatever the lengths of the ids and labels.
    assert first.index(" a ") + 1 == second.index("a label")
    assert first.index("s  passed") == second.index("s  passed")
    indent = " " * (2 + len("asan-python,typing,package") + 4)
    assert details == [indent + "2 skipped: needs torch, which is not installed", indent + "1 skipped: no GPU"]
