"""Every example of the README runs, prints what the README says it prints
and type-checks."""

import contextlib
import doctest
import io
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

import corvatel

README = Path(__file__).resolve().parents[1] / "README.md"
FENCE = re.compile(r"^```(\w+)\n(.*?)^```", re.S | re.M)


def blocks(language):
    return [body for lang, body in FENCE.findall(README.read_text()) if lang == language]


MAIN_GUARD = 'if __name__ == "__main__":'


def scripts():
    """The python blocks that are scripts (not >>> sessions), in order."""
    return [b for b in blocks("python") if not b.lstrip().startswith(">>>")]


def guarded(block):
    """Whether a script runs its work under a main guard: a script file of
    its own, not a piece of the README run in one namespace."""
    return any(line.startswith(MAIN_GUARD) for line in block.splitlines())


def expected_output(block):
    """The comment lines right after a print(...) statement, with '# '
    removed; None unless every print of the block has them."""
    lines, expected, prints, documented = block.splitlines(), [], 0, 0
    after_print, in_print = False, False
    for line in (line.strip() for line in lines):
        if line.startswith("print(") or in_print:
            prints += not in_print
            in_print = line.count("(") > line.count(")") if not in_print else not line.rstrip().endswith(")")
            after_print = not in_print
            if not in_print:
                documented_here = False
            continue
        if after_print and line.startswith("#"):
            expected.append(line[2:] if line.startswith("# ") else line[1:])
            if not documented_here:
                documented, documented_here = documented + 1, True
            continue
        after_print = False
    return "\n".join(expected) + "\n" if prints and prints == documented else None


# The contaminated example's plain fits are flagged, and fit warns that they
# are; the hierarchical example's short chains earn the sampler's warnings,
# which the README shows.
@pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups flagged:UserWarning")
@pytest.mark.filterwarnings(r"ignore:max r_hat .* above 1.01:UserWarning")
@pytest.mark.filterwarnings(r"ignore:\d+ divergent transitions:UserWarning")
@pytest.mark.slow
def test_python_examples_run_and_print_what_they_say(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace: dict = {}
    checker = doctest.OutputChecker()
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    checked = 0
    for block in [b for b in scripts() if not guarded(b)]:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(block, str(README), "exec"), namespace)
        want = expected_output(block)
        if want is not None:
            assert checker.check_output(want, out.getvalue(), flags), \
                f"README block printed:\n{out.getvalue()}\nnot:\n{want}"
            checked += 1
    assert checked >= 4
    assert Path("fit_check.png").stat().st_size > 10_000 and Path("recovery.png").exists()


@pytest.mark.slow
def test_scripts_with_a_main_guard_run_as_files(tmp_path):
    # As a user pastes them: a file run by Python, whose worker processes
    # import it again (an exec'd string would hide a missing guard).
    checker = doctest.OutputChecker()
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    files = [b for b in scripts() if guarded(b)]
    assert files, "the Dask example lost its main guard"
    for number, block in enumerate(files):
        script = tmp_path / f"readme_script_{number}.py"
        script.write_text(block)
        done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, cwd=tmp_path,
                              timeout=300)
        assert done.returncode == 0, done.stderr
        want = expected_output(block)
        assert want is not None and checker.check_output(want, done.stdout, flags), done.stdout


def test_doctest_sessions():
    for block in [b for b in blocks("python") if b.lstrip().startswith(">>>")]:
        test = doctest.DocTestParser().get_doctest(block, {"corvatel": corvatel}, "README", str(README), 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        assert runner.failures == 0 and runner.tries > 0


def test_command_line_examples(tmp_path):
    # In an empty folder: every file the examples read, an example makes first.
    examples = [line for b in blocks("bash") for line in b.splitlines() if line.startswith("corvatel ")]
    assert len(examples) >= 4
    command = os.path.join(os.path.dirname(sys.executable), "corvatel")
    for example in examples:
        done = subprocess.run([command] + shlex.split(example)[1:], cwd=tmp_path, capture_output=True, text=True)
        assert done.returncode == 0, f"{example}: {done.stderr}"
    for output in ["truth.csv", "trials.csv", "fits.csv", "fit_check.png", "lab.csv", "fits.parquet",
                   "recovery.csv", "recovery.png"]:
        assert (tmp_path / output).stat().st_size > 0
    assert not [name for name in os.listdir(tmp_path) if name.startswith(".")]


@pytest.mark.slow
def test_examples_and_package_type_check(tmp_path):
    pytest.importorskip("mypy")
    readme = tmp_path / "readme_examples.py"
    readme.write_text("\n".join(scripts()))
    typed = Path(__file__).with_name("typed_example.py")
    # PyMC, which the Bayesian example imports, ships no type information.
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
            "--disable-error-code", "import-untyped"]
    # The examples, then the installed package's own bodies (mypy takes
    # files or a package, not both).
    for target in ([str(readme), str(typed)], ["-p", "corvatel"]):
        done = subprocess.run([*mypy, "--allow-untyped-globals", *target], capture_output=True, text=True, cwd=tmp_path)
        assert done.returncode == 0, done.stdout + done.stderr


# The example table has a group of perfect accuracy: fit warns that it is flagged.
@pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups flagged:UserWarning")
def test_typed_example_runs(tmp_path):
    sys.path.insert(0, str(Path(__file__).parent))
    try:
        import typed_example
    finally:
        sys.path.pop(0)
    summary = typed_example.main(str(tmp_path))
    assert list(summary["parameter"]) == ["drift_rate", "boundary_separation", "non_decision_time"]
