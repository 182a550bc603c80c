import argparse
import errno
import fcntl
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import warnings

import pandas as pd
import pytest

import corvatel
from corvatel import _fitting, cli
from cli_runner import COMMAND, default_sigint, run


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


def test_contaminants_pass_through_simulate_and_recover(tmp_path, capsys):
    status, _, _ = run(capsys, "simulate", "--drift", "1", "--boundary", "1.5", "--start", "0.5", "--t0", "0.3",
                       "--p-outlier", "0.2", "--outlier-window", "4,6", "-n", "300", "--seed", "2",
                       "-o", tmp_path / "trials.csv")
    expected = corvatel.simulate_data({"drift": 1.0, "boundary": 1.5, "start": 0.5, "t0": 0.3, "p_outlier": 0.2}, 300,
                                      2, outlier_window=(4.0, 6.0))
    assert status == 0
    assert pd.read_csv(tmp_path / "trials.csv")["rt"].tolist() == expected["rt"].tolist()
    truth = pd.DataFrame({"drift": [1.0], "boundary": [1.5], "start": [0.5], "t0": [0.3], "p_outlier": [0.1]})
    truth.to_csv(tmp_path / "truth.csv", index=False)
    status, _, _ = run(capsys, "recover", "--params", tmp_path / "truth.csv", "--n-trials", "200", "--method", "ml",
                       "--p-outlier", "free", "--outlier-window", "0,4", "--seed", "3", "-o", tmp_path / "rec.csv")
    expected = corvatel.recover(truth, 200, method="ml", seed=3, p_outlier="free", outlier_window=(0.0, 4.0))
    assert status == 0
    table = pd.read_csv(tmp_path / "rec.csv")
    assert table["p_outlier"].tolist() == expected["p_outlier"].tolist()
    assert table["true_p_outlier"].tolist() == [0.1]
    status, _, err = run(capsys, "recover", "--params", tmp_path / "truth.csv", "--n-trials", "200", "--method", "ez",
                         "--p-outlier", "free", "-o", tmp_path / "rec.csv")
    assert status == 2 and "--p-outlier applies to --method ml only" in err


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
    # pandas would fit the first and call the second "rt.1".
    ("twice.csv", "subject,choice,rt,rt\na,1,0.5,500\na,0,0.6,600\n", [],
     "twice.csv: column 'rt' appears 2 times in the header; rename or drop the copies"),
    # pandas would make the first column the index and shift the others.
    ("wide.csv", "choice,rt\n1,0.5,0.7\n0,0.6\n", [], "wide.csv: line 2 has 3 fields, the header names 2"),
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
    # Decided before the table is read: its file need not exist.
    (["fit", "absent.csv", "--min-rt", "3", "--max-rt", "1", "-o", "-"],
     "--min-rt must be below --max-rt; got --min-rt 3.0, --max-rt 1.0"),
    (["fit", "absent.csv", "--method", "ml", "--depends-on", "drift=condition", "-o", "-"],
     "--depends-on: 'drift' is not a parameter of model 'ddm'"),
    (["fit", "absent.csv", "--method", "ml", "--by", "subject", "--depends-on", "drift_rate=subject", "-o", "-"],
     "--depends-on: column 'subject' is also a by column"),
    (["simulate", "--drift", "1", "--boundary", "-1", "--start", "0.5", "--t0", "0.3", "-n", "5", "--seed", "1",
      "-o", "-"], "--boundary must be positive, not -1"),
    (["simulate", "--drift", "1", "--boundary", "1", "--start", "0.5", "--t0", "0.3", "--st", "1", "-n", "5",
      "--seed", "1", "-o", "-"], "--st must be at most 2 * t0, not 1"),
    (["fit", "absent.csv", "--method", "bayes", "--subject", "subject", "--max-groups", "3", "-o", "s.csv"],
     "--max-groups does not apply to --method bayes"),
    # One place for two outputs: the second would replace the first.
    (["fit", "absent.csv", "--method", "bayes", "-o", "same.csv", "--participants", "./same.csv"],
     "-o and --participants both write to ./same.csv"),
    (["fit", "absent.csv", "--method", "bayes", "-o", "-", "--participants", "-"],
     "-o and --participants both write to -"),
    # An output over an input: the table would be lost to its results.
    (["fit", "trials.csv", "--method", "ez", "-o", "./trials.csv"],
     "-o would replace the input TRIALS trials.csv; write the results to another file"),
    (["fit", "trials.csv", "--method", "bayes", "-o", "s.csv", "--participants", "trials.csv"],
     "--participants would replace the input TRIALS trials.csv"),
    (["simulate", "--params", "truth.csv", "-n", "5", "--seed", "1", "-o", "truth.csv"],
     "-o would replace the input --params truth.csv"),
    (["recover", "--params", "truth.csv", "--n-trials", "5", "-o", "truth.csv"],
     "-o would replace the input --params truth.csv"),
])
def test_usage_errors_exit_2(files, capsys, monkeypatch, argv, message):
    monkeypatch.chdir(files)
    inputs = {name: (files / name).read_bytes() for name in ("trials.csv", "truth.csv")}
    status, _, err = run(capsys, *argv)
    assert status == 2 and message in err
    assert {name: (files / name).read_bytes() for name in inputs} == inputs


def test_data_error_in_a_parameter_table(files, capsys):
    write(files / "p.csv", "drift,boundary,start,t0\n1,1,0.5,0.3\n1,-1,0.5,0.3\n")
    status, _, err = run(capsys, "simulate", "--params", files / "p.csv", "-n", "5", "--seed", "1", "-o", "-")
    assert status == 1 and "p.csv: params column 'boundary' must be positive (rows 3: -1.0)" in err


# Each layout with the lines of its two bad response times (-0.5); blank
# lines, and lines of spaces and tabs, are lines of the file too.
LINE_LAYOUTS = {
    "blank lines": ("choice,rt\n1,0.5\n\n\n0,-0.5\n1,0.6\n0,-0.5\n", "rows 5, 7"),
    "spaces and tabs": ("choice,rt\n1,0.5\n  \t\n0,-0.5\n \n0,-0.5\n", "rows 4, 6"),
    "blank lines above the header, CRLF": ("\r\n\r\nchoice,rt\r\n0,-0.5\r\n\r\n0,-0.5\r\n", "rows 4, 6"),
    "a field of two lines": ('note,choice,rt\n"two\nlines",1,0.5\nx,0,-0.5\n\n,0,-0.5\n', "rows 4, 6"),
    # pandas drops the comma that begins a line after a blank line ended
    # by a lone carriage return, moving -0.5 into the choice column.
    "lone carriage returns": ("note,choice,rt\r,1,0.5\r\r,0,-0.5\r,0,-0.5\r", "rows 4, 5"),
}


@pytest.mark.parametrize("source", ["file", "standard input"])
@pytest.mark.parametrize("layout", LINE_LAYOUTS)
def test_rows_in_messages_are_the_lines_of_the_csv_file(files, capsys, monkeypatch, source, layout):
    content, rows = LINE_LAYOUTS[layout]
    if source == "file":
        path = write(files / "t.csv", content.encode())
    else:
        # As POSIX Python opens standard input: carriage returns kept.
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(content.encode()), newline="\n"))
        path = "-"
    status, _, err = run(capsys, "fit", path, "--method", "ez", "-o", "-")
    assert status == 1
    assert f"response-time column 'rt' has 2 NaN, infinite or negative value(s) ({rows}); " in err


def test_a_dot_is_a_missing_time_but_a_level_as_written(files, capsys):
    # SPSS and SAS write "." for a missing value: it made the whole column
    # text, and the error listed its first numbers.
    write(files / "dot.csv", "subject,choice,rt\n.,1,0.5\n.,0,.\n.,1,0.7\n.,0,0.4\n.,1,0.8\n")
    status, _, err = run(capsys, "fit", files / "dot.csv", "--by", "subject", "--method", "ez", "-o", "-")
    assert status == 1 and "response-time column 'rt' has 1 NaN, infinite or negative value(s) (rows 3)" in err
    status, out, _ = run(capsys, "fit", files / "dot.csv", "--by", "subject", "--method", "ez", "--drop-invalid",
                         "-o", "-")
    fits = pd.read_csv(io.StringIO(out), dtype={"subject": str})
    assert status == 0 and fits[["subject", "n_dropped", "n_valid"]].values.tolist() == [[".", 1, 4]]


@pytest.mark.parametrize("separator, name", [(";", "semicolons"), ("\t", "tabs")])
def test_a_file_separated_otherwise_than_by_commas_says_so(files, capsys, separator, name):
    # A spreadsheet's export with decimal commas: "line 2 has 2 fields".
    lines = ["subject;choice;rt", "s1;1;0,5", "s1;0;0,6"]
    write(files / "semi.csv", "\n".join(line.replace(";", separator) for line in lines) + "\n")
    status, _, err = run(capsys, "fit", files / "semi.csv", "--method", "ez", "-o", "-")
    assert status == 1 and f"the file looks separated by {name}, not commas" in err


def test_rows_that_end_in_empty_fields_keep_their_columns(files, capsys):
    # A comma at the end of every line: pandas took the first column for
    # the rows' names and moved every value one column to the left.
    plain = (files / "trials.csv").read_text().splitlines()
    write(files / "commas.csv", "\n".join([plain[0]] + [line + "," for line in plain[1:]]) + "\n")
    fitted = [run(capsys, "fit", files / name, "--by", "subject", "--method", "ez", "-o", "-")
              for name in ("trials.csv", "commas.csv")]
    assert fitted[1] == fitted[0] and fitted[0][0] == 0


def key_table(example, column, levels):
    """The example's trials with `column` set to `levels` in turn, row by row."""
    return example.assign(**{column: [levels[i % len(levels)] for i in range(len(example))]})


# CSV keys as written (the file's text), with the fits' rows in the order
# expected; "" is an empty cell, a missing key.
CSV_KEYS = {
    "participant ids": ("subject", ["2", "007", "1", "10", "01", "001"], ["--by", "subject", "--method", "ez"],
                        ["001", "01", "1", "2", "007", "10"]),
    "levels named like missing values": ("condition", ["None", "NA", "", "null"],
                                         ["--by", "condition", "--method", "ez"], ["NA", "None", "null", ""]),
    "--dropna": ("condition", ["None", "NA", ""], ["--by", "condition", "--method", "ez", "--dropna"],
                 ["NA", "None"]),
    "--depends-on levels": ("coh", ["1", "01", "1.0"], ["--by", "subject", "--method", "ml",
                                                        "--depends-on", "drift_rate=coh"], ["01", "1", "1.0"]),
}


@pytest.mark.parametrize("case", CSV_KEYS)
def test_group_keys_of_a_csv_file_are_read_as_written(files, example, capsys, case):
    column, levels, options, expected = CSV_KEYS[case]
    table = key_table(example, column, levels)
    if column == "coh":
        table = table[table["subject"] == "s1"]
    table.to_csv(files / "keys.csv", index=False)
    status, out, _ = run(capsys, "fit", files / "keys.csv", *options, "-o", "-")
    assert status == 0
    fits = pd.read_csv(io.StringIO(out), dtype=str, keep_default_na=False)
    assert fits[column].tolist() == expected
    per_level = len(table) // len(levels)
    assert fits["n_valid"].astype(int).tolist() == [per_level] * len(expected)


@pytest.mark.parametrize("command", [
    ["simulate", "--params", "{truth}", "-n", "20", "--seed", "1"],
    ["recover", "--params", "{truth}", "--n-trials", "100", "--method", "ez"],
], ids=["simulate", "recover"])
def test_labels_of_a_parameter_table_are_read_as_written(files, capsys, command):
    write(files / "p.csv", "subject,condition,drift,boundary,start,t0\n007,NA,1,1.5,0.5,0.3\n7,None,1,1.5,0.5,0.3\n")
    argv = [a.format(truth=files / "p.csv") for a in command]
    status, out, _ = run(capsys, *argv, "-o", "-")
    assert status == 0
    table = pd.read_csv(io.StringIO(out), dtype=str, keep_default_na=False)
    assert table[["subject", "condition"]].drop_duplicates().values.tolist() == [["007", "NA"], ["7", "None"]]


@pytest.mark.parametrize("suffix, levels", [(".csv", "True,False"), (".parquet", "True,False"),
                                            (".parquet", "true,false"), (".parquet", "1,0")])
def test_order_of_a_true_false_column(files, example, capsys, suffix, levels):
    table = example.assign(congruent=example["trial"] % 2 == 0)
    if suffix == ".csv":
        table.to_csv(files / "t.csv", index=False)
    else:
        table.to_parquet(files / "t.parquet")
    status, out, _ = run(capsys, "fit", files / f"t{suffix}", "--by", "congruent", "--method", "ez",
                         "--order", f"congruent={levels}", "-o", "-")
    assert status == 0
    assert pd.read_csv(io.StringIO(out))["congruent"].tolist() == [True, False]


@pytest.mark.parametrize("message, said", [
    ("simulate: 100000000000 trials need more memory than this machine can give",
     "simulate: 100000000000 trials need more memory than this machine can give"),
    ("", "out of memory"),
], ids=["library message", "no message"])
@pytest.mark.parametrize("argv, owner, name", [
    (["simulate", "--params", "{files}/truth.csv", "-n", "5", "--seed", "1"], corvatel, "simulate_data"),
    (["recover", "--params", "{files}/truth.csv", "--n-trials", "5"], corvatel, "recover"),
], ids=["simulate", "recover"])
def test_running_out_of_memory_is_one_line_and_writes_nothing(files, capsys, monkeypatch, argv, owner, name,
                                                              message, said):
    def too_big(*args, **kwargs):
        raise MemoryError(message)

    monkeypatch.setattr(owner, name, too_big)
    before = sorted(os.listdir(files))
    status, out, err = run(capsys, *[a.format(files=files) for a in argv], "-o", files / "out.csv")
    assert (status, out, err) == (1, "", f"corvatel {argv[0]}: error: {said}\n")
    assert sorted(os.listdir(files)) == before


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


def test_the_moment_fit_examples_of_fit_help_run_on_the_example_trials(tmp_path, capsys, monkeypatch):
    # Two of them named columns (response, coh) that no example table has.
    monkeypatch.chdir(tmp_path)
    for argv in (["example", "-o", "trials.csv"], ["example", "lab", "-o", "lab.csv"]):
        assert run(capsys, *argv)[0] == 0
    _, text, _ = run(capsys, "fit", "--help")
    lines = [line.split("corvatel fit ")[1] for line in re.sub(r"\\\n\s+", " ", text).splitlines()
             if line.startswith("  corvatel fit ")]
    commands = [line.split() for line in lines
                if ("--method ez" in line or "--method" not in line) and not ("-o -" in line or "--workers" in line or
                                                                            "--scheduler" in line)]
    assert len(commands) == 2
    for argv in commands:
        if "--plot" in argv:
            pytest.importorskip("matplotlib")
        status, _, err = run(capsys, "fit", *argv)
        assert status == 0, (argv, err)


def test_max_groups_sets_the_panels_of_the_fit_check(files, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    drawn = []
    monkeypatch.setattr(cli, "save_figure", lambda figure, path: drawn.append(figure))
    status, _, _ = run(capsys, "fit", files / "trials.csv", "--by", "subject", "condition", "--method", "ez",
                       "-o", files / "fits.csv", "--plot", files / "check.png", "--max-groups", "3")
    panels = [ax for ax in drawn[0].subfigs[0].axes if ax.get_visible()]
    assert status == 0 and len(panels) == 3 and "(first 3 of 12 groups)" in drawn[0].subfigs[0]._suptitle.get_text()


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


# Output paths that cannot be written, each with what the message says.
# The folder that refuses files takes the `refusing` fixture.
UNWRITABLE = {
    "missing folder": ("no/out", "the folder '{files}/no' does not exist"),
    "folder is a file": ("trials.csv/out", "'{files}/trials.csv' is not a folder"),
    "target is a folder": ("taken", "is a folder"),
    "folder refuses files": ("{refusing}/out", "cannot write in the folder '{refusing}' (permission denied)"),
}

# Each command with an output of each kind, and the library call that does
# its work (replaced by one that fails the test if it is reached).
COMMANDS = {
    "fit -o": (["fit", "{files}/trials.csv", "--method", "ez", "-o", "{out}.csv"], _fitting.FitRequest, "run"),
    "fit --plot": (["fit", "{files}/trials.csv", "--method", "ez", "-o", "-", "--plot", "{out}.png"],
                   _fitting.FitRequest, "run"),
    "recover -o": (["recover", "--params", "{files}/truth.csv", "--n-trials", "50", "-o", "{out}.parquet"],
                   corvatel, "recover"),
    "recover --plot": (["recover", "--params", "{files}/truth.csv", "--n-trials", "50", "-o", "{files}/rec.csv",
                        "--plot", "{out}.svg"], corvatel, "recover"),
    "simulate -o": (["simulate", "--params", "{files}/truth.csv", "-n", "5", "--seed", "1", "-o", "{out}.csv"],
                    corvatel, "simulate_data"),
    "example -o": (["example", "-o", "{out}.csv"], corvatel.datasets, "example"),
    "example contaminated -o": (["example", "contaminated", "-o", "{out}.csv"], corvatel.datasets,
                                "example_contaminated"),
}


@pytest.fixture
def refusing(tmp_path):
    """A folder in which creating a file fails (root may write anywhere
    but in /sys)."""
    folder = tmp_path / "locked"
    folder.mkdir()
    folder.chmod(0o500)
    try:
        for candidate in (folder, "/sys"):
            try:
                os.close(os.open(os.path.join(candidate, "probe"), os.O_WRONLY | os.O_CREAT | os.O_EXCL))
            except PermissionError:
                yield str(candidate)
                return
            os.unlink(os.path.join(candidate, "probe"))
        pytest.skip("no folder here refuses new files")
    finally:
        folder.chmod(0o700)


def dot_files(folder):
    return sorted(name for name in os.listdir(folder) if name.startswith("."))


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("fault", UNWRITABLE)
def test_an_output_that_cannot_be_written_stops_the_command_before_any_work(files, capsys, monkeypatch, refusing,
                                                                           command, fault):
    argv, owner, name = COMMANDS[command]
    path, message = UNWRITABLE[fault]
    (files / "taken.csv").mkdir()
    for suffix in (".png", ".parquet", ".svg"):
        (files / f"taken{suffix}").mkdir()

    def work_started(*args, **kwargs):
        raise AssertionError("the work started")

    monkeypatch.setattr(owner, name, work_started)
    out = path.format(refusing=refusing) if path.startswith("{refusing}") else f"{files}/{path}"
    argv = [a.format(files=files, out=out) for a in argv]
    before = sorted(os.listdir(files))
    status, stdout, err = run(capsys, *argv)
    option = "--plot" if command.endswith("--plot") else "-o"
    target = next(a for a in argv if a.startswith(out))
    assert (status, stdout) == (1, "")
    assert err == f"corvatel {argv[0]}: error: {option} {target}: " \
                  f"{message.format(files=files, refusing=refusing)}\n"
    assert sorted(os.listdir(files)) == before  # not even the other output


def test_a_failed_write_names_the_users_path_and_writes_nothing(files, capsys, monkeypatch):
    def disk_full(self, path, **kwargs):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), path)

    monkeypatch.setattr(pd.DataFrame, "to_csv", disk_full)
    status, out, err = run(capsys, "fit", files / "trials.csv", "--method", "ez", "-o", files / "fits.csv")
    assert (status, out) == (1, "")
    assert err == f"corvatel fit: error: {files}/fits.csv: cannot write (no space left on device)\n"
    assert not (files / "fits.csv").exists() and dot_files(files) == []


def test_a_figure_that_fails_leaves_the_table_unwritten(files, capsys, monkeypatch):
    matplotlib_figure = pytest.importorskip("matplotlib.figure")

    def fails(*args, **kwargs):
        raise OSError("the renderer broke")

    monkeypatch.setattr(matplotlib_figure.Figure, "savefig", fails)
    for table in (files / "fits.csv", "-"):
        status, out, err = run(capsys, "fit", files / "trials.csv", "--by", "subject", "--method", "ez",
                               "-o", table, "--plot", files / "check.png")
        assert (status, out) == (1, "")
        assert err == f"corvatel fit: error: {files}/check.png: cannot write (the renderer broke)\n"
        assert sorted(os.listdir(files)) == ["trials.csv", "truth.csv"]


@pytest.mark.parametrize("sent, status, message", [(signal.SIGINT, 130, "corvatel: interrupted\n"),
                                                   (signal.SIGTERM, 143, "corvatel: terminated\n")],
                         ids=["ctrl-c", "sigterm"])
def test_a_stopped_run_is_one_line_and_its_status_and_leaves_no_file(files, sent, status, message):
    # A likelihood fit of the full model takes tens of seconds: stopped
    # about half a second after its output was reserved. SIGTERM is what
    # kill, timeout and batch systems' time limits send.
    child = subprocess.Popen([COMMAND, "fit", "trials.csv", "--by", "subject", "condition", "--method", "ml",
                              "--model", "full", "-o", "fits.csv"], cwd=files, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    try:
        deadline = time.monotonic() + 60
        while not dot_files(files) and time.monotonic() < deadline and child.poll() is None:
            time.sleep(0.01)
        assert cli.partial_pattern(files / "fits.csv").fullmatch(dot_files(files)[0])
        time.sleep(0.5)
        child.send_signal(sent)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert (child.returncode, out, err) == (status, "", message)
    assert sorted(os.listdir(files)) == ["trials.csv", "truth.csv"]


def test_a_reader_that_leaves_early_ends_the_run_quietly_with_status_141(files):
    # As `corvatel simulate ... -o - | head`: 6 MB of trials, the pipe
    # closed after 20 bytes. Python's stream had dropped the rest and
    # returned 0.
    child = subprocess.Popen([COMMAND, "simulate", "--drift", "1", "--boundary", "1.5", "--start", "0.5", "--t0",
                              "0.3", "-n", "200000", "--seed", "1", "-o", "-"], cwd=files, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        head = child.stdout.read(20)
        child.stdout.close()
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert (child.returncode, err) == (cli.EXIT_BROKEN_PIPE, b"")
    assert head.startswith(b"trial,choice,rt\n")


def test_an_output_written_over_keeps_its_permissions_and_links(files, capsys):
    private = files / "private.csv"
    private.write_text("old")
    private.chmod(0o600)
    target = files / "real.csv"
    target.write_text("old")
    (files / "link.csv").symlink_to("real.csv")
    for output in (private, files / "link.csv"):
        status, _, _ = run(capsys, "fit", files / "trials.csv", "--method", "ez", "-o", output)
        assert status == 0
    assert private.stat().st_mode & 0o777 == 0o600 and "drift_rate" in private.read_text()
    assert (files / "link.csv").is_symlink() and "drift_rate" in target.read_text()
    assert dot_files(files) == []


def test_a_fifo_output_is_written_in_place_and_a_fifo_named_like_a_partial_file_is_left_alone(files):
    # The FIFO named like a partial file of fits.csv would block a sweep
    # that opened it; the FIFO output would be replaced by a rename.
    os.mkfifo(files / ".fits.csv.ffff0000.corvatel-partial")
    os.mkfifo(files / "pipe.csv")
    reader = subprocess.Popen(["cat", "pipe.csv"], cwd=files, stdout=subprocess.PIPE, text=True)
    try:
        for output in ("fits.csv", "pipe.csv"):
            done = subprocess.run([COMMAND, "fit", "trials.csv", "--method", "ez", "-o", output], cwd=files,
                                  capture_output=True, text=True, timeout=60)
            assert done.returncode == 0, done.stderr
        out, _ = reader.communicate(timeout=30)
    finally:
        reader.kill()
    assert out.startswith("n_valid,") and (files / "pipe.csv").is_fifo()
    assert (files / ".fits.csv.ffff0000.corvatel-partial").is_fifo()


def test_an_unwritable_standard_output_leaves_the_other_outputs_unwritten(files, capsys, monkeypatch):
    pytest.importorskip("matplotlib")

    class Full(io.StringIO):
        def flush(self):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(sys, "stdout", Full())
    status, _, err = run(capsys, "fit", files / "trials.csv", "--by", "subject", "--method", "ez", "-o", "-",
                         "--plot", files / "check.png")
    assert status == 1 and "No space left on device" in err
    assert sorted(os.listdir(files)) == ["trials.csv", "truth.csv"]


@pytest.mark.parametrize("argv, message", [
    ("fit - --method ez -o - <&-", "corvatel fit: error: -: standard input is closed"),
    ("example -o - >&-", "corvatel example: error: -o -: standard output is closed"),
])
def test_closed_standard_streams_are_one_line(argv, message):
    done = subprocess.run(["bash", "-c", f"'{COMMAND}' {argv}"], capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (1, message + "\n")


def test_a_closed_standard_output_is_no_matter_when_nothing_goes_there(tmp_path):
    done = subprocess.run(["bash", "-c", f"'{COMMAND}' example -o ex.csv >&-"], capture_output=True, text=True,
                          cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert (tmp_path / "ex.csv").read_text().startswith("subject,")


def test_an_output_in_a_loop_of_links_is_refused_before_any_work(files, capsys):
    (files / "c.png").symlink_to("d.png")
    (files / "d.png").symlink_to("c.png")
    status, out, err = run(capsys, "fit", files / "trials.csv", "--method", "ez", "-o", "-",
                           "--plot", files / "c.png")
    assert (status, out) == (1, "")
    assert err == f"corvatel fit: error: --plot {files}/c.png: a loop of symbolic links\n"


def test_a_killed_run_leaves_a_partial_file_that_the_next_write_sweeps(files, capsys):
    child = subprocess.Popen([COMMAND, "fit", "trials.csv", "--by", "subject", "condition", "--method", "ml",
                              "--model", "full", "-o", "fits.csv"], cwd=files, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not dot_files(files) and time.monotonic() < deadline and child.poll() is None:
            time.sleep(0.01)
    finally:
        child.kill()
        child.wait()
    [left] = dot_files(files)
    assert cli.partial_pattern(files / "fits.csv").fullmatch(left)
    # Files that only look like it, and the partial file of a run still
    # writing (it holds the lock), stay.
    others = [".fits.csv.0123abcd.corvatel-partial.keep", ".fits.csv.0123abcd", ".fits.csv.0123ABCD.corvatel-partial",
              ".fits.csv.0123abc.corvatel-partial", "fits.csv.0123abcd.corvatel-partial",
              ".other.csv.0123abcd.corvatel-partial"]
    for name in others + [".fits.csv.00000000.corvatel-partial"]:
        (files / name).write_text("keep")
    live = os.open(files / ".fits.csv.00000000.corvatel-partial", os.O_RDONLY)
    fcntl.flock(live, fcntl.LOCK_EX)
    try:
        status, _, _ = run(capsys, "fit", files / "trials.csv", "--method", "ez", "-o", files / "fits.csv")
    finally:
        os.close(live)
    assert status == 0 and not (files / left).exists()
    assert dot_files(files) == sorted(others[:4] + [".fits.csv.00000000.corvatel-partial", others[5]])
    assert all((files / name).read_text() == "keep" for name in others)


@pytest.fixture
def failing(files):
    """Group b cannot be fitted: one upper-boundary trial."""
    return write(files / "failing.csv", "subject,choice,rt\na,1,0.5\na,0,0.6\na,1,0.7\n"
                                        "b,0,0.5\nb,0,0.6\nb,0,0.7\nb,1,0.55\nb,0,0.45\n")


def test_failed_groups_give_status_3_a_summary_and_the_table(failing, capsys):
    status, out, err = run(capsys, "fit", failing, "--by", "subject", "--method", "ez", "-o", "-")
    # The library's flags and its failed-groups line, each once.
    assert status == 3 and err.endswith("corvatel: warning: 1 of 2 groups failed; see the error column\n")
    assert err.count("groups failed") == 1 and err.count("\n") == 2
    fits = pd.read_csv(io.StringIO(out), keep_default_na=False)
    assert fits["subject"].tolist() == ["a", "b"] and fits["error"].tolist()[0] == ""
    assert "not enough correct responses" in fits["error"].tolist()[1]


@pytest.fixture
def warning_fit(monkeypatch):
    """fit that issues the given warnings before it returns its table."""
    run_fits = _fitting.FitRequest.run

    def issue(*messages):
        def warns(self, *args, **kwargs):
            fits = run_fits(self, *args, **kwargs)
            for message in messages:
                warnings.warn(message, UserWarning, stacklevel=2)
            return fits

        monkeypatch.setattr(_fitting.FitRequest, "run", warns)
    return issue


def test_library_warnings_are_one_line_each(files, failing, capsys, warning_fit):
    warning_fit("2 of 12 groups flagged; see the warning column", "max_iters=200 reached\n  by 3 groups")
    status, _, err = run(capsys, "fit", files / "trials.csv", "--by", "subject", "--method", "ez", "-o", "-")
    assert status == 0
    assert err == ("corvatel: warning: 2 of 12 groups flagged; see the warning column\n"
                   "corvatel: warning: --max-iters 200 reached by 3 groups\n")
    # The library's own line for failed groups is not said twice.
    warning_fit("1 of 2 groups failed; see the error column")
    status, _, err = run(capsys, "fit", failing, "--by", "subject", "--method", "ez", "-o", "-")
    assert status == 3 and err.count("corvatel: warning: 1 of 2 groups failed; see the error column\n") == 1


@pytest.mark.parametrize("content, options, message", [
    ("choice,rt\n1,0.5\n2,0.6\n0,0.7\n", [], "name its upper-boundary value with --upper; values found"),
    ("choice,rt\nleft,0.5\nright,0.6\n", ["--upper", "up"],
     "--upper 'up' is not among the values of choice column 'choice'"),
    ("subject,choice,rt\na,1,0.5\na,0,0.6\n", ["--by", "subject", "subject"], "--by names a column twice"),
    ("choice,rt\n1,0.5\n0,-1\n", [], "pass --drop-invalid to drop those rows"),
])
def test_messages_name_the_command_lines_options(files, capsys, content, options, message):
    write(files / "t.csv", content)
    status, _, err = run(capsys, "fit", files / "t.csv", *options, "-o", "-")
    assert status == 1 and message in err and "=" not in err.replace("drift=choice", "")


@pytest.mark.parametrize("library, command_line", [
    ("max_iters must be positive, not 0", "--max-iters must be positive, not 0"),
    ("got model='full' with method='ez'", "got --model 'full' with --method 'ez'"),
    ("depends_on[\'drift_rate\'] must name at least one column", "--depends-on['drift_rate'] must name at least one column"),
    ("by names a column twice: ['a', 'a']", "--by names a column twice: ['a', 'a']"),
    ("params lacks 'drift'; it has columns: 'x'", "--params lacks 'drift'; it has columns: 'x'"),
    # Words and column names stay.
    ("choice column 'choice' must be bool or coded 0/1", "choice column 'choice' must be bool or coded 0/1"),
    ("params column 'boundary' must be positive", "params column 'boundary' must be positive"),
    ("column 'max_iters' not found; the table has columns: 'rt_unit'",
     "column 'max_iters' not found; the table has columns: 'rt_unit'"),
    ("the fits by subject must converge", "the fits by subject must converge"),
])
def test_cli_names(library, command_line):
    assert cli.cli_names(library) == command_line


@pytest.mark.parametrize("command", ["fit", "simulate", "recover", "example"])
def test_help_states_every_default_and_the_exit_statuses(capsys, command):
    status, out, _ = run(capsys, command, "--help")
    assert status == 0 and "examples:" in out and "exit status:" in out and "130  interrupted" in out
    subparser = cli.build_parser()._subparsers._group_actions[0].choices[command]
    formatter = subparser.formatter_class(command)
    for action in subparser._actions:
        if action.dest == "help" or action.required or (not action.option_strings and action.nargs is None):
            continue
        text = formatter._get_help_string(action)
        flag = isinstance(action, argparse._StoreTrueAction)
        assert flag or "default" in text or "(required)" in text, f"{action.option_strings}: {text}"


def test_contaminated_example_is_the_dataset(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert run(capsys, "example", "contaminated", "-o", "messy.csv")[0] == 0
    written = pd.read_csv("messy.csv")
    expected = corvatel.datasets.example_contaminated()
    pd.testing.assert_frame_equal(written, expected.astype({"condition": str}), check_exact=True)


def test_example_tables_are_the_datasets_and_the_lab_coding_fits_the_same(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for argv in (["example", "-o", "example.csv"], ["example", "truth", "-o", "truth.csv"],
                 ["example", "lab", "-o", "lab.csv"],
                 ["simulate", "--params", "truth.csv", "-n", "200", "--seed", "2024", "-o", "trials.csv"]):
        assert run(capsys, *argv)[0] == 0
    assert (tmp_path / "example.csv").read_bytes() == (tmp_path / "trials.csv").read_bytes()
    pd.testing.assert_frame_equal(pd.read_csv("truth.csv"), corvatel.datasets.example_truth().astype(
        {"condition": str}))
    run(capsys, "fit", "trials.csv", "--by", "subject", "condition", "--method", "ez", "-o", "fits.csv")
    run(capsys, "fit", "lab.csv", "--by", "participant", "difficulty", "--choice", "response", "--upper", "1",
        "--rt-unit", "ms", "--method", "ez", "-o", "lab_fits.csv")
    fits, lab_fits = pd.read_csv("fits.csv"), pd.read_csv("lab_fits.csv")
    pd.testing.assert_frame_equal(lab_fits.drop(columns=["participant", "difficulty"]),
                                  fits.drop(columns=["subject", "condition"]), rtol=1e-12)

