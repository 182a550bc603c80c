import io
import os
import shutil
import subprocess
import sys

import pandas as pd
import pytest

import corvatel
from corvatel import cli
from cli_runner import run


@pytest.fixture(scope="module")
def example():
    return corvatel.datasets.example()


@pytest.fixture
def files(tmp_path, example):
    example.to_csv(tmp_path / "trials.csv", index=False)
    corvatel.datasets.example_truth().to_csv(tmp_path / "truth.csv", index=False)
    return tmp_path


def test_fit_writes_the_fits_of_the_table(files, capsys):
    status, _, err = run(capsys, "fit", files / "trials.csv", "--by", "subject", "condition", "--method", "ez",
                         "-o", files / "fits.csv")
    assert (status, err) == (0, "")
    expected = corvatel.fit(pd.read_csv(files / "trials.csv"), by=["subject", "condition"], method="ez")
    pd.testing.assert_frame_equal(pd.read_csv(files / "fits.csv", keep_default_na=False, na_values=[""]).drop(
        columns=["warning", "error"]), expected.drop(columns=["warning", "error"]), check_dtype=False)


def test_fit_of_a_table_named_and_coded_differently(files, example, capsys):
    other = pd.DataFrame({"participant": example["subject"], "difficulty": example["condition"],
                          "response": example["choice"].astype(float), "rt_ms": example["rt"] * 1000.0})
    other.to_parquet(files / "lab.parquet")
    status, _, err = run(capsys, "fit", files / "lab.parquet", "--by", "participant", "difficulty",
                         "--choice", "response", "--upper", "1", "--rt", "rt_ms", "--rt-unit", "ms",
                         "--method", "sim", "--max-iters", "2", "-o", files / "fits.parquet")
    assert (status, err) == (0, "")
    expected = corvatel.fit(other, by=["participant", "difficulty"], choice="response", upper=1.0, rt="rt_ms",
                            rt_unit="ms", max_iters=2)
    pd.testing.assert_frame_equal(pd.read_parquet(files / "fits.parquet"), expected, check_dtype=False)


def test_standard_input_to_standard_output(files, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO((files / "trials.csv").read_text()))
    status, out, _ = run(capsys, "fit", "-", "--by", "subject", "--method", "ez", "-o", "-")
    assert status == 0
    fits = pd.read_csv(io.StringIO(out))
    assert fits["subject"].tolist() == ["s1", "s2", "s3", "s4"] and fits["n_valid"].tolist() == [600] * 4


def test_simulate_one_set_and_a_table(files, capsys):
    status, _, _ = run(capsys, "simulate", "--drift", "1", "--boundary", "1.5", "--start", "0.5", "--t0", "0.3",
                       "-n", "100", "--seed", "3", "-o", files / "one.csv")
    assert status == 0
    expected = corvatel.simulate_data({"drift": 1.0, "boundary": 1.5, "start": 0.5, "t0": 0.3}, 100, 3)
    pd.testing.assert_frame_equal(pd.read_csv(files / "one.csv"), expected)
    status, _, _ = run(capsys, "simulate", "--params", files / "truth.csv", "-n", "50", "--seed", "4",
                       "-o", files / "many.parquet")
    assert status == 0
    expected = corvatel.simulate_data(pd.read_csv(files / "truth.csv"), 50, 4)
    pd.testing.assert_frame_equal(pd.read_parquet(files / "many.parquet"), expected)


def test_simulate_reports_trials_at_the_cap(files, capsys):
    status, _, err = run(capsys, "simulate", "--drift", "0", "--boundary", "4", "--start", "0.5", "--t0", "0.1",
                         "--noise-sd", "0.2", "-n", "20", "--seed", "3", "-o", files / "slow.csv")
    assert status == 0 and "hit the 10 s cap and were left out" in err


def test_recover_writes_table_and_summary(files, capsys):
    status, _, err = run(capsys, "recover", "--params", files / "truth.csv", "--n-trials", "200", "--reps", "2",
                         "--method", "ez", "--seed", "5", "-o", files / "rec.csv", "--plot", files / "rec.png")
    assert status == 0 and "rmse" in err and "drift_rate" in err
    expected = corvatel.recover(pd.read_csv(files / "truth.csv"), 200, method="ez", reps=2, seed=5)
    table = pd.read_csv(files / "rec.csv", keep_default_na=False, na_values=[""])
    pd.testing.assert_frame_equal(table.drop(columns=["warning", "error"]), expected.drop(columns=["warning", "error"]),
                                  check_dtype=False)
    assert (files / "rec.png").read_bytes()[:4] == b"\x89PNG"


def write(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    return path


@pytest.mark.parametrize("name, content, extra, message", [
    ("missing.csv", None, [], "missing.csv: no such file"),
    ("empty.csv", "", [], "empty.csv: the file is empty"),
    ("noheader.csv", "0.5,1\n0.6,0\n", [], "noheader.csv: the first line is not a header of column names"),
    ("binary.csv", b"\x00\xff\xfe\x81" * 50, [], "binary.csv: not a readable CSV file"),
    ("notes.txt", "a,b\n", [], "notes.txt: not a .csv or .parquet file"),
    ("bad.parquet", "not parquet", [], "bad.parquet: not a readable Parquet file"),
    ("trials.csv", "keep", ["--by", "subjet"],
     "trials.csv: fit: column 'subjet' not found; the table has columns: 'subject', 'condition', 'trial'"),
    ("coded.csv", "subject,choice,rt\n1,1,0.5\n1,2,0.6\n1,0,0.7\n", [],
     "coded.csv: choice column 'choice' must be bool or coded 0/1"),
    ("times.csv", "subject,choice,rt\n1,1,0.5\n1,0,\n1,0,-0.7\n1,1,0.4\n", [],
     "times.csv: response-time column 'rt' has 2 NaN, infinite or negative value(s) (rows 3, 4); "
     "pass --drop-invalid to drop those rows"),
])
def test_data_errors_exit_1_with_one_line(files, capsys, name, content, extra, message):
    path = files / name
    if content not in (None, "keep"):
        write(path, content)
    status, out, err = run(capsys, "fit", path, "--method", "ez", "-o", files / "fits.csv", *extra)
    assert status == 1 and out == ""
    assert err.count("\n") == 1 and err.startswith("corvatel fit: error: ") and message in err
    assert "Traceback" not in err
    assert not (files / "fits.csv").exists()


@pytest.mark.parametrize("argv, message", [
    (["fit", "trials.csv"], "the following arguments are required: -o/--output"),
    (["fit", "trials.csv", "--method", "mle", "-o", "f.csv"], "invalid choice: 'mle'"),
    (["fit", "trials.csv", "-o", "fits.txt"], "-o fits.txt: the file name must end in .csv, .parquet"),
    (["fit", "trials.csv", "-o", "f.csv", "--plot", "fig.gif"], "--plot fig.gif: the file name must end in .png"),
    (["simulate", "--drift", "1", "--boundary", "1", "--start", "0.5", "-n", "5", "--seed", "1", "-o", "-"],
     "missing --t0 (or give --params)"),
    (["simulate", "--params", "truth.csv", "--drift", "1", "-n", "5", "--seed", "1", "-o", "-"],
     "give either --params or --drift/--boundary/--start/--t0, not both"),
    (["simulate", "--drift", "x", "-n", "5", "--seed", "1", "-o", "-"], "--drift wants a number, not 'x'"),
    (["recover", "--params", "truth.csv", "--n-trials", "0", "-o", "-"], "wants a positive integer, not '0'"),
    (["recover", "--params", "truth.csv", "--n-trials", "5", "--seed", "-1", "-o", "-"],
     "wants an integer from 0 to 2**64 - 1"),
])
def test_usage_errors_exit_2(files, capsys, monkeypatch, argv, message):
    monkeypatch.chdir(files)
    status, _, err = run(capsys, *argv)
    assert status == 2 and message in err


def test_data_error_in_a_parameter_table(files, capsys):
    write(files / "p.csv", "drift,boundary,start,t0\n1,1,0.5,0.3\n1,-1,0.5,0.3\n")
    status, _, err = run(capsys, "simulate", "--params", files / "p.csv", "-n", "5", "--seed", "1", "-o", "-")
    assert status == 1 and "p.csv: params column 'boundary' must be positive (rows 3: -1.0)" in err


def test_missing_pyarrow_is_named(files, capsys, monkeypatch):
    def no_pyarrow(*args, **kwargs):
        raise ImportError("Unable to find a usable engine")

    monkeypatch.setattr(pd, "read_parquet", no_pyarrow)
    write(files / "t.parquet", "x")
    status, _, err = run(capsys, "fit", files / "t.parquet", "-o", "-")
    assert status == 1 and "needs pyarrow: pip install 'corvatel[parquet]'" in err


def test_failed_write_leaves_nothing_behind(tmp_path):
    target = tmp_path / "out.csv"
    target.write_text("old contents")

    def half_then_fail(path):
        with open(path, "w") as handle:
            handle.write("half a ta")
        raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        cli.write_atomically(str(target), half_then_fail)
    assert target.read_text() == "old contents" and os.listdir(tmp_path) == ["out.csv"]
    cli.write_atomically(str(target), lambda path: open(path, "w").close())
    umask = os.umask(0)
    os.umask(umask)
    assert target.read_text() == "" and target.stat().st_mode & 0o777 == 0o666 & ~umask


def test_missing_output_folder_is_refused_before_work(files, capsys):
    status, _, err = run(capsys, "fit", files / "trials.csv", "-o", files / "no" / "fits.csv")
    assert status == 1 and "does not exist" in err and err.count("\n") == 1


@pytest.mark.parametrize("command", ["fit", "simulate", "recover"])
def test_help_shows_worked_examples(capsys, command):
    status, out, _ = run(capsys, command, "--help")
    assert status == 0 and "examples:" in out and f"corvatel {command} " in out


def test_console_script_and_module_entry_point(files):
    script = shutil.which("corvatel", path=os.path.dirname(sys.executable))
    assert script is not None
    for launcher in ([script], [sys.executable, "-m", "corvatel"]):
        done = subprocess.run(launcher + ["fit", str(files / "trials.csv"), "--method", "ez", "-o", "-"],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        assert pd.read_csv(io.StringIO(done.stdout))["n_valid"].tolist() == [2400]
    done = subprocess.run([sys.executable, "-m", "corvatel", "fit", "nothing.csv", "-o", "-"],
                          capture_output=True, text=True, cwd=files)
    assert done.returncode == 1 and done.stderr == "corvatel fit: error: nothing.csv: no such file\n"


def test_upper_follows_the_column_type():
    frame = pd.DataFrame({"b": [True, False], "i": [1, 2], "f": [1.0, 0.0], "s": ["yes", "no"]})
    assert cli.coerce_upper(frame, "b", "false") is False
    assert cli.coerce_upper(frame, "i", "2") == 2 and cli.coerce_upper(frame, "f", "1") == 1.0
    assert cli.coerce_upper(frame, "s", "yes") == "yes"
    with pytest.raises(cli.DataError, match="choice column 'f' holds numbers"):
        cli.coerce_upper(frame, "f", "yes")


@pytest.mark.slow
def test_module_alone_still_runs_the_demo():
    done = subprocess.run([sys.executable, "-m", "corvatel"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"corvatel {corvatel.__version__}\n") and "fit_sim:" in done.stdout
