"""The ``corvatel`` command: fit tables of trials, simulate them, run
parameter-recovery studies.

Exit status: 0 on success; 1 on an error (one line on standard error naming
the file, and for bad data the column and the rows), nothing written; 2 on a
usage error; 3 when ``fit`` could not fit some groups (the table is written,
their rows carry an error); 130 when interrupted (Ctrl-C), nothing written.

Every output file is reserved before any work starts, as a hidden
``.NAME.XXXXXXXX.corvatel-partial`` beside it, so that a path that cannot be
written fails at once; the outputs are written there and renamed into place
together when the command succeeds."""

from __future__ import annotations

import argparse
import contextlib
import csv
import fcntl
import functools
import importlib.util
import io
import os
import re
import secrets
import shutil
import signal
import stat
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from ._fitting import FIT_MODELS, METHODS, FitRequest, check_bound, check_depends_on, check_outliers
from ._fitting import check_model as check_method_model
from ._params import BY_NAME, MODELS, PARAMETERS, range_error
from ._simdata import COUNT_WANTED, SEED_WANTED, check_count, check_seed, label_columns
from ._trials import TrialTable, check_window
from .likelihood import BOUNDS, OUTLIER_WINDOW, bounds_parameters

TABLE_SUFFIXES = (".csv", ".parquet")
FIGURE_SUFFIXES = (".png", ".pdf", ".svg")
IDATA_SUFFIXES = (".nc",)
# fit's method of one hierarchical Bayesian fit of all participants.
BAYES = "bayes"
PARQUET_NEEDS = "reading and writing .parquet needs pyarrow: pip install 'corvatel[parquet]'"
PLOT_NEEDS = "figures need matplotlib: pip install 'corvatel[plot]'"

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_PARTIAL, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 3, 130, 143
# As a Unix tool killed by SIGPIPE: the reader of standard output went away.
EXIT_BROKEN_PIPE = 141

EXIT_STATUS_HELP = """
exit status:
  0    done
  1    error (bad data, an output that cannot be written, an unreachable cluster): nothing written
  2    usage error: nothing written
  3    fit: some groups could not be fitted; the table is written, their rows carry an error
  130  interrupted (Ctrl-C): nothing written
  141  standard output's reader went away (| head): no file written, no message
  143  terminated (SIGTERM: kill, timeout, a batch system's time limit): nothing written
"""

FIT_EXAMPLES = """\
examples:
  # (on the example trials: corvatel example -o trials.csv, and
  # corvatel example lab -o lab.csv for the second)
  # one fit per subject x condition
  corvatel fit trials.csv --by subject condition -o fits.csv

  # a lab's coding: column response 1 (correct) / 0, RTs in milliseconds;
  # closed-form fits and a fit-check figure
  corvatel fit lab.csv --by participant difficulty --choice response --upper 1 --rt-unit ms --method ez \\
      -o fits.csv --plot fitcheck.png

  # from standard input to standard output
  cat trials.csv | corvatel fit - --method ez -o -

  # on a local Dask cluster of 2 processes, or on a running cluster
  corvatel fit trials.csv --by subject condition --workers 2 -o fits.csv
  corvatel fit trials.csv --by subject condition --scheduler tcp://scheduler-host:8786 -o fits.csv

  # maximum likelihood, full model (sv, sz, st too)
  corvatel fit trials.csv --by subject condition --method ml --model full -o fits.csv

  # one joint likelihood fit per subject: drift free per condition, the
  # other parameters shared
  corvatel fit trials.csv --by subject --method ml --depends-on drift_rate=condition -o fits.csv

  # collapsing bounds: a linear collapse (column theta), or an exponential
  # one (column rate) with leak (column leak)
  corvatel fit trials.csv --by subject condition --method ml --model angle -o fits.csv
  corvatel fit trials.csv --by subject condition --method ml --bound exponential --leak -o fits.csv

  # a linear collapse fitted jointly per subject, drift free per condition
  corvatel fit trials.csv --by subject --method ml --model angle --depends-on drift_rate=condition -o fits.csv

  # a hierarchical Bayesian fit of all subjects (NUTS; needs corvatel[bayes]):
  # drift with a group mean per condition, the group-level summary to
  # summary.csv, the posterior to fit.nc, the subjects' table to subjects.csv
  corvatel fit trials.csv --method bayes --subject subject --depends-on drift_rate=condition \\
      --chains 2 --draws 500 --tune 500 --seed 1 -o summary.csv --idata fit.nc --participants subjects.csv

Rows in error messages are line numbers of a CSV file (its first line is 1;
blank lines count), or row positions (from 0) of a Parquet file.

In a CSV file the group columns (--by, --depends-on's, --subject) are read as
text, as written: 001 and 1 are two participants, NA is a level, and only an
empty cell is a missing key. In the other columns an empty cell, NA, NaN and
"." (SPSS's and SAS's code) are missing values.
"""

SIMULATE_EXAMPLES = """\
examples:
  # 500 trials from one parameter set
  corvatel simulate --drift 1.2 --boundary 1.5 --start 0.5 --t0 0.3 -n 500 --seed 1 -o trials.csv

  # the full model: drift, start and t0 vary across trials
  corvatel simulate --drift 1.2 --boundary 1.5 --start 0.5 --t0 0.3 --sv 0.8 --st 0.1 -n 500 --seed 1 -o full.csv

  # 200 trials per row of a table with columns subject, condition, drift,
  # boundary, start, t0 (and optionally noise_sd, sv, sz, st); other columns
  # are labels
  corvatel simulate --params truth.csv -n 200 --seed 7 -o trials.parquet

  # 5% contaminants, either response at a time uniform on 0.1-3 s
  corvatel simulate --drift 1 --boundary 1.5 --start 0.5 --t0 0.3 --p-outlier 0.05 --outlier-window 0.1,3 -n 500 \\
      --seed 1 -o trials.csv

Row i of the parameter table draws from seed corvatel.derive_seed(SEED, i).
"""

RECOVER_EXAMPLES = """\
examples:
  # 20 data sets of 300 trials for every parameter row, fitted by simulation
  corvatel recover --params truth.csv --n-trials 300 --reps 20 --seed 3 -o recovery.csv

  # closed-form fits, with a figure of fitted against true values
  corvatel recover --params truth.csv --n-trials 500 --reps 50 --method ez -o recovery.csv --plot recovery.png

  # on a local Dask cluster of 4 processes (same table, bit for bit)
  corvatel recover --params truth.csv --n-trials 300 --reps 20 --workers 4 -o recovery.csv

  # maximum-likelihood fits; columns sv, sz, st in truth.csv give the
  # full model's variabilities (else 0)
  corvatel recover --params truth.csv --n-trials 500 --reps 10 --method ml --model full -o recovery.csv

  # contaminants: a p_outlier column in truth.csv simulates them (on
  # --outlier-window), and the likelihood fits estimate their share
  corvatel recover --params truth.csv --n-trials 500 --method ml --p-outlier free -o recovery.csv

A summary (bias, RMSE, Pearson r, failed fits per parameter) goes to standard error.
"""

EXAMPLE_EXAMPLES = """\
examples:
  # the example trials, and the truth they were simulated from
  corvatel example -o trials.csv
  corvatel example truth -o truth.csv

  # the same trials simulated from the truth (the same table, bit for bit)
  corvatel simulate --params truth.csv -n 200 --seed 2024 -o trials.csv

  # the trials coded as a lab might: fit them with its names and units
  corvatel example lab -o lab.csv
  corvatel fit lab.csv --by participant difficulty --choice response --upper 1 --rt-unit ms --method ez -o fits.csv

  # the trials with 3% fast guesses and slow lapses: fit them with the contaminant mixture
  corvatel example contaminated -o messy.csv
  corvatel fit messy.csv --by subject condition --method ml --p-outlier free -o fits_messy.csv
"""

EXAMPLE_TABLES = ("trials", "truth", "lab", "contaminated")


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Descriptions and examples as written; each option's default after its
    help, unless the help states it or there is none to state (required
    options, flags, options whose absence the help explains)."""

    def _get_help_string(self, action: argparse.Action) -> str:
        text = action.help or ""
        default = action.default
        positional = not action.option_strings and action.nargs not in (argparse.OPTIONAL, argparse.ZERO_OR_MORE)
        if ("default" in text or action.required or positional or default is None
                or default is False or default == argparse.SUPPRESS):
            return text
        return f"{text} (default: %(default)s)"


class DataError(Exception):
    """A problem with the user's files or data: exit status 1, one line."""


def _suffix(path: str) -> str:
    return Path(path).suffix.lower()


def read_table(path: str, keys: Callable[[list[str]], Iterable[str]] | None = None) -> pd.DataFrame:
    """A table from a .csv or .parquet file, or CSV from standard input
    ("-"). A CSV table's index holds the file's line numbers (blank lines
    count); its columns keys(header) name groups, and are read as written:
    text, only an empty cell missing; in the others pandas' codes of a
    missing value and "." are missing. A Parquet table keeps its types."""
    suffix = "" if path == "-" else _suffix(path)
    if path != "-" and suffix not in TABLE_SUFFIXES:
        raise DataError(f"{path}: not a .csv or .parquet file")
    if path != "-" and not os.path.isfile(path):
        raise DataError(f"{path}: no such file" if not os.path.exists(path) else f"{path}: not a file")
    try:
        if suffix == ".parquet":
            try:
                frame = pd.read_parquet(path)
            except ImportError:
                raise DataError(f"{path}: {PARQUET_NEEDS}") from None
            frame.index = pd.RangeIndex(len(frame))
            return frame
        return _read_csv(path, keys)
    except DataError:
        raise
    except pd.errors.EmptyDataError:
        raise DataError(f"{path}: the file is empty") from None
    except (pd.errors.ParserError, csv.Error, UnicodeDecodeError, ValueError, OSError) as error:
        kind = "Parquet" if suffix == ".parquet" else "CSV"
        raise DataError(f"{path}: not a readable {kind} file ({_one_line(error)})") from None


def _read_csv(path: str, keys: Callable[[list[str]], Iterable[str]] | None) -> pd.DataFrame:
    # Standard input can be read once: held as text for the several passes.
    if path == "-" and sys.stdin is None:
        raise DataError("-: standard input is closed")
    text = sys.stdin.read() if path == "-" else None
    header, lines, lone_cr = _csv_records(io.StringIO(text, newline="") if text is not None else path, path)
    if header is None:
        raise DataError(f"{path}: the file is empty")
    if header and all(_looks_numeric(name) for name in header):
        raise DataError(f"{path}: the first line is not a header of column names "
                        f"(found {', '.join(repr(name) for name in header[:5])})")
    named = [name for name in header if name != ""]
    repeated = next((name for i, name in enumerate(named) if name in named[:i]), None)
    if repeated is not None:
        # pandas would call the copy "NAME.1", and the call would use the first.
        raise DataError(f"{path}: column {repeated!r} appears {named.count(repeated)} times in the header; "
                        "rename or drop the copies")
    if lone_cr:
        # pandas drops a delimiter that begins a line after a blank line
        # ended by a lone carriage return, shifting that row's fields.
        if text is None:
            with open(path, encoding="utf-8-sig", newline="") as handle:
                text = handle.read()
        text = text.replace("\r\n", "\n").replace("\r", "\n")

    def source() -> Any:
        return io.StringIO(text, newline="") if text is not None else path

    # pandas' names ("Unnamed: 3" for an empty one), in the header's order.
    columns = list(pd.read_csv(source(), nrows=0, index_col=False).columns)
    wanted = set(keys(columns)) if keys is not None else set()
    text_columns = [c for c in columns if c in wanted]
    # index_col=False: rows that end in empty fields the header has no names
    # for must not make the first column the index and shift the others;
    # those fields, all empty, are dropped.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Length of header or names does not match", pd.errors.ParserWarning)
        # "." too is missing: SPSS's, SAS's and Stata's code for it.
        frame = pd.read_csv(source(), index_col=False, dtype={c: str for c in text_columns}, na_values=["."])
    if len(lines) != len(frame):
        raise DataError(f"{path}: not a readable CSV file ({len(lines)} records after the header were read as "
                        f"{len(frame)} rows)")
    if text_columns:
        # Group keys as written: "001" is not "1", "NA" and "None" are levels.
        keyed = pd.read_csv(source(), index_col=False, usecols=[columns.index(c) for c in text_columns],
                            dtype=str, keep_default_na=False, na_values=[""])
        for column in text_columns:
            frame[column] = keyed[column]
    frame.index = pd.Index(lines)
    return frame


def _csv_records(source: Any, path: str) -> tuple[list[str] | None, list[int], bool]:
    """The header's names (None for a file without one), the line (from 1)
    on which each record after it begins, and whether a line ends in a
    lone carriage return. The records are those pandas reads: not blank
    lines, nor lines of spaces and tabs only. A record with a field that
    is not empty beyond those the header names is refused."""
    stream = open(source, encoding="utf-8-sig", newline="") if isinstance(source, str) else source
    last = ""
    lone_cr = False

    def physical_lines() -> Iterator[str]:
        nonlocal last, lone_cr
        for line in stream:
            last = line
            lone_cr = lone_cr or line.endswith("\r")
            yield line

    header: list[str] | None = None
    starts: list[int] = []
    limit = csv.field_size_limit(2**31 - 1)  # pandas reads fields of any length
    try:
        reader = csv.reader(physical_lines())
        end = 0
        for row in reader:
            start, end = end + 1, reader.line_num
            if not row or (len(row) == 1 and start == end and not last.strip(" \t\r\n")):
                continue
            if header is None:
                header = [row[0].removeprefix("\ufeff"), *row[1:]]
                separator = next((c for c in ";\t" if len(header) == 1 and c in header[0]), None)
                if separator is not None:
                    raise DataError(f"{path}: the header is one column, {header[0]!r}: the file looks separated "
                                    f"by {'semicolons' if separator == ';' else 'tabs'}, not commas (as some "
                                    "spreadsheets export CSV); save it with commas and decimal points")
                continue
            if any(row[len(header):]):
                # pandas would drop the fields or take the first as the rows' names.
                raise DataError(f"{path}: line {start} has {len(row)} fields, the header names {len(header)}")
            starts.append(start)
    finally:
        csv.field_size_limit(limit)
        if stream is not source:
            stream.close()
    return header, starts, lone_cr


def _looks_numeric(name: Any) -> bool:
    try:
        float(str(name).split(".")[0] if str(name).count(".") > 1 else name)
    except ValueError:
        return False
    return True


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def check_output(parser: argparse.ArgumentParser, path: str, suffixes: tuple[str, ...], option: str) -> None:
    """Refuse an output path whose kind we cannot write (a usage error)."""
    if path == "-" and option in ("-o", "--participants"):
        return
    if _suffix(path) not in suffixes:
        parser.error(f"{option} {path}: the file name must end in {', '.join(suffixes)}")
    if _suffix(path) == ".parquet":
        if importlib.util.find_spec("pyarrow") is None:
            parser.error(f"{option} {path}: {PARQUET_NEEDS}")
    if suffixes == FIGURE_SUFFIXES and importlib.util.find_spec("matplotlib") is None:
        parser.error(f"{option} {path}: {PLOT_NEEDS}")


PARTIAL_SUFFIX = ".corvatel-partial"


def partial_pattern(target: Path) -> re.Pattern[str]:
    """Names of the partial files of `target`: .NAME.XXXXXXXX.corvatel-partial
    with 8 hexadecimal digits."""
    return re.compile(rf"\.{re.escape(target.name)}\.[0-9a-f]{{8}}{re.escape(PARTIAL_SUFFIX)}")


class PartialFile:
    """A hidden file beside `target` that is written first and renamed over
    the target once complete. Its writer holds a lock on it while it lives:
    one that nobody holds was left by a run that was killed, and the next
    PartialFile of the same target removes it."""

    def __init__(self, target: Path) -> None:
        sweep_partial_files(target)
        while True:
            path = target.parent / f".{target.name}.{secrets.token_hex(4)}{PARTIAL_SUFFIX}"
            try:
                # Mode 0o666 less the umask: the permissions a plain open() gives.
                handle = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            except FileExistsError:
                continue
            fcntl.flock(handle, fcntl.LOCK_EX)
            if _is_open_as(handle, path):
                break
            os.close(handle)  # another run's sweep removed it before we locked it
        self.target, self.path, self._handle = target, path, handle

    def commit(self) -> None:
        # A file written over keeps its permissions and, where we may set
        # it, its owner, as when open() truncates it.
        try:
            existing = os.stat(self.target)
        except OSError:  # none there (or none that can be asked)
            existing = None
        if existing is not None:
            os.chmod(self.path, stat.S_IMODE(existing.st_mode))
            with contextlib.suppress(OSError):
                os.chown(self.path, existing.st_uid, existing.st_gid)
        os.replace(self.path, self.target)
        os.close(self._handle)

    def discard(self) -> None:
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
        os.close(self._handle)


class DirectFile:
    """An output that is not a regular file (a FIFO, a device): written in
    place, since a rename would replace it."""

    def __init__(self, target: Path) -> None:
        self.target = self.path = target

    def commit(self) -> None:
        pass

    def discard(self) -> None:
        pass


def _is_open_as(handle: int, path: Path | str) -> bool:
    try:
        return os.path.samestat(os.fstat(handle), os.stat(path, follow_symlinks=False))
    except OSError:
        return False


def sweep_partial_files(target: Path) -> None:
    """Remove the partial files of `target` that no living writer holds."""
    pattern = partial_pattern(target)
    try:
        entries = [e for e in os.scandir(target.parent) if pattern.fullmatch(e.name)]
    except OSError:
        return
    for entry in entries:
        try:
            if not entry.is_file(follow_symlinks=False):
                continue  # a FIFO of that name would block the open
            handle = os.open(entry.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError:
            continue
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)  # BlockingIOError while its writer lives
            if _is_open_as(handle, entry.path):
                os.unlink(entry.path)
        except OSError:
            pass
        finally:
            os.close(handle)


class WriteError(OSError):
    """An output that could not be written, told with the user's path."""


def reserve(path: str, option: str = "") -> PartialFile | DirectFile:
    """The partial file of output `path`, or a DataError saying, with the
    user's path, why it cannot be written there. A symbolic link is
    written through (its target is replaced, not the link); a FIFO or a
    device is written in place."""
    target, named = Path(path), f"{option} {path}".strip()
    if target.is_symlink():
        try:
            target = target.resolve(strict=True)
        except FileNotFoundError:  # a link to a file not yet there
            target = Path(os.path.realpath(target))
        except (OSError, RuntimeError):
            raise DataError(f"{named}: a loop of symbolic links") from None
    if target.exists() and not target.is_file() and not target.is_dir():
        return DirectFile(target)
    parent = target.parent
    if target.is_dir():
        raise DataError(f"{named}: is a folder")
    if not parent.exists():
        raise DataError(f"{named}: the folder {str(parent)!r} does not exist")
    if not parent.is_dir():
        raise DataError(f"{named}: {str(parent)!r} is not a folder")
    try:
        return PartialFile(target)
    except OSError as error:
        raise DataError(f"{named}: cannot write in the folder {str(parent)!r} ({_reason(error)})") from None


def _reason(error: OSError, partial: Path | None = None, target: str = "") -> str:
    """Why an OSError happened, in one line, without the partial file's name."""
    reason = error.strerror or _one_line(error)
    if partial is not None:
        reason = reason.replace(str(partial), target)
    return reason[:1].lower() + reason[1:]


def _write_partial(partial: PartialFile | DirectFile, path: str, write: Callable[[str], None]) -> None:
    try:
        write(str(partial.path))
    except OSError as error:
        raise WriteError(f"{path}: cannot write ({_reason(error, partial.path, path)})") from error


def write_atomically(path: str, write: Callable[[str], None]) -> None:
    """write(partial file) beside `path`, then rename it over `path` (when
    the command's outputs are pending, with the others at its end); a
    failure leaves no half-written file behind."""
    if _pending is not None and path in _pending.files:
        _write_partial(_pending.files[path], path, write)
        return
    partial = reserve(path)
    try:
        _write_partial(partial, path, write)
        partial.commit()
    except BaseException:
        partial.discard()
        raise


class PendingOutputs:
    """A command's outputs: reserved before any work, written as the command
    goes, put in place together when it succeeds, and all discarded when it
    fails or is interrupted. Standard output is held back until then too."""

    def __init__(self) -> None:
        self.files: dict[str, PartialFile | DirectFile] = {}
        self.stdout: list[str] = []

    def reserve(self, path: str, option: str) -> None:
        if path != "-" and path not in self.files:
            self.files[path] = reserve(path, option)

    def commit(self) -> None:
        # Standard output first: if it cannot be written (a full disk, a
        # reader gone), the files are discarded with it.
        if self.stdout:
            write_stdout("".join(self.stdout))
        for partial in self.files.values():
            partial.commit()
        self.files.clear()

    def discard(self) -> None:
        for partial in self.files.values():
            partial.discard()
        self.files.clear()


def write_stdout(text: str) -> None:
    """`text` on standard output, all of it, or ReaderGone when its reader
    has left (another failure is an OSError): a large write to a pipe whose
    reader leaves returns short, and Python's buffered stream drops the
    rest without a word."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):  # replaced by a stream without a descriptor
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    sys.stdout.flush()
    data = memoryview(text.encode(sys.stdout.encoding, sys.stdout.errors or "strict"))
    try:
        while data:
            data = data[os.write(fd, data):]
    except BrokenPipeError:
        raise ReaderGone from None


class ReaderGone(Exception):
    """Standard output's reader went away (`| head`): no error of ours."""


_pending: PendingOutputs | None = None


@contextmanager
def pending_outputs() -> Iterator[PendingOutputs]:
    global _pending
    _pending = outputs = PendingOutputs()
    try:
        yield outputs
    finally:
        _pending = None
        outputs.discard()


def write_table(frame: pd.DataFrame, path: str) -> None:
    if path == "-":
        text = frame.to_csv(index=False)
        if _pending is not None:
            _pending.stdout.append(text)
        else:
            sys.stdout.write(text)
        return
    if _suffix(path) == ".parquet":
        write_atomically(path, lambda p: frame.to_parquet(p, index=False))
    else:
        write_atomically(path, lambda p: frame.to_csv(p, index=False))


def save_figure(figure: Any, path: str) -> None:
    write_atomically(path, lambda p: figure.savefig(p, format=_suffix(path)[1:], dpi=110))


def coerce_upper(frame: pd.DataFrame, column: str, text: str | None) -> Any:
    """--upper as a value of the choice column's type."""
    if text is None or column not in frame.columns:
        return text
    dtype = frame[column].dtype
    try:
        return _typed(dtype, text)
    except ValueError:
        raise DataError(f"--upper {text!r}: choice column {column!r} holds {_holds(dtype)}") from None


def _typed(dtype: Any, text: str) -> Any:
    """A value given as text on the command line as a value of a column of
    `dtype`: true/false (true, false, 1, 0), a number, or the text; a
    ValueError when it is not of that kind."""
    if pd.api.types.is_bool_dtype(dtype):
        if text.lower() in ("true", "1"):
            return True
        if text.lower() in ("false", "0"):
            return False
        raise ValueError(text)
    if pd.api.types.is_numeric_dtype(dtype):
        value = float(text)
        return int(value) if value.is_integer() and pd.api.types.is_integer_dtype(dtype) else value
    return text


def _holds(dtype: Any) -> str:
    return "true/false" if pd.api.types.is_bool_dtype(dtype) else "numbers"


def _number(option: str) -> Callable[[str], float]:
    """An argparse type: the text as a float; whether the value is allowed
    is the library's to say, as for a parameter table."""
    def parse(text: str) -> float:
        try:
            return float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{option} wants a number, not {text!r}") from None
    return parse


def _checked_integer(check: Callable[[Any, str], int], wanted: str) -> Callable[[str], int]:
    """An argparse type: the text as an integer that the library's `check`
    accepts; its refusal says what is wanted."""
    def parse(text: str) -> int:
        try:
            return check(int(text), "value")
        except (ValueError, TypeError):
            raise argparse.ArgumentTypeError(f"wants {wanted}, not {text!r}") from None
    return parse


_count = _checked_integer(check_count, COUNT_WANTED)
_seed = _checked_integer(check_seed, SEED_WANTED)


def _add_progress(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show a progress bar on standard error (default: only when it is a terminal)")


def _add_cluster(parser: argparse.ArgumentParser) -> None:
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run the fits on the Dask cluster of this scheduler, e.g. tcp://scheduler-host:8786 "
                            "(needs corvatel[dask]; default: none, the fits run here)")
    where.add_argument("--workers", type=_count, metavar="N",
                       help="run the fits on a local Dask cluster of N processes, started for this run "
                            "(needs corvatel[dask]; default: none, the fits run here on corvatel's threads)")


@contextmanager
def _client(args: argparse.Namespace) -> Iterator[Any]:
    """The Dask client that --scheduler or --workers asks for, else None; a
    cluster that cannot be reached or started is a one-line DataError."""
    if args.scheduler is None and args.workers is None:
        yield None
        return
    from ._cluster import open_client

    where = f"--scheduler {args.scheduler}" if args.scheduler is not None else f"--workers {args.workers}"
    with ExitStack() as stack:
        try:
            client = stack.enter_context(open_client(args.scheduler, args.workers))
        except ImportError:
            raise  # names the extra to install
        except Exception as error:
            raise DataError(f"{where}: {_one_line(error)}") from None
        yield client


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvatel", description="Fit, simulate and check drift-diffusion models on tables of trials.",
        epilog="Run 'corvatel COMMAND --help' for a command's options and worked examples; "
               "'python -m corvatel' alone runs the demo.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    raw = HelpFormatter

    fit = commands.add_parser("fit", help="fit every group of a table of trials", epilog=FIT_EXAMPLES,
                              formatter_class=raw, description="Fit the model to every group of a table of "
                              "trials (.csv, .parquet or - for CSV on standard input); one row per group.")
    fit.add_argument("trials", metavar="TRIALS", help="table of trials: .csv, .parquet or -")
    fit.add_argument("--by", nargs="+", metavar="COLUMN", default=None,
                     help="group columns (default: the whole table is one group)")
    fit.add_argument("--choice", default="choice", metavar="COLUMN",
                     help="choice column: true/false, 0/1, or two values with --upper (default: choice)")
    fit.add_argument("--upper", default=None, metavar="VALUE",
                     help="the choice value that counts as the upper (correct) boundary "
                          "(default: none; the choice column is then true/false or 0/1)")
    fit.add_argument("--rt", default="rt", metavar="COLUMN", help="response-time column (default: rt)")
    fit.add_argument("--rt-unit", choices=["s", "ms"], default="s", help="unit of the response times (default: s)")
    fit.add_argument("--method", choices=list(METHODS) + [BAYES], default="sim",
                     help="closed form (ez), simulation (sim) or maximum likelihood (ml) per group, or one "
                          "hierarchical Bayesian fit of all participants (bayes: see --subject)")
    fit.add_argument("--model", choices=list(FIT_MODELS), default=None,
                     help="likelihood model of --method ml: ddm (default), full (adds sv, sz, st), or a "
                          "collapsing bound: angle (adds theta) or weibull (adds shape, scale)")
    fit.add_argument("--bound", choices=list(BOUNDS), default=None,
                     help="with --method ml: the bound's shape over time; constant, angle (theta), weibull "
                          "(shape, scale), exponential or hyperbolic (rate); the start is fixed at 0.5 "
                          "(default: none, the standard model unless --model names a bound)")
    fit.add_argument("--leak", action="store_true",
                     help="with --method ml: also fit a leak toward the middle of the band (column leak)")
    fit.add_argument("--urgency", action="store_true",
                     help="with --method ml: also fit an urgency that scales drift and noise by "
                          "1 + urgency t (column urgency)")
    fit.add_argument("--p-outlier", type=_p_outlier, default=None, metavar="X|free",
                     help="with --method ml: share of contaminant trials (either response, time uniform on "
                          "--outlier-window) mixed into the likelihood, or 'free' to estimate it (default: 0)")
    fit.add_argument("--outlier-window", type=_window, default=None, metavar="LO,HI",
                     help="with --method ml: the contaminants' response times in seconds (default: 0,5)")
    fit.add_argument("--depends-on", nargs="+", default=None, metavar="PARAM=COLUMN",
                     help="with --method ml: PARAM is free per level of COLUMN (COLUMN,COLUMN for several), "
                          "the other parameters shared, in one joint fit per --by group "
                          "(default: none; every parameter free per group)")
    fit.add_argument("--max-iters", type=_count, default=200, metavar="N",
                     help="iteration bound of each simulation fit (default: 200)")
    fit.add_argument("--drop-invalid", action="store_true",
                     help="drop rows with a missing choice or a NaN, infinite or negative response time "
                          "(with --method bayes also a time of 0; counted per group in n_dropped) instead of "
                          "refusing the table")
    fit.add_argument("--min-rt", type=_number("--min-rt"), default=None, metavar="SECONDS",
                     help="leave out trials faster than this (seconds, after --rt-unit; counted per group in "
                          "n_outside_window; ml truncates its likelihood to the window; default: none)")
    fit.add_argument("--max-rt", type=_number("--max-rt"), default=None, metavar="SECONDS",
                     help="leave out trials slower than this (seconds, after --rt-unit; counted per group in "
                          "n_outside_window; ml truncates its likelihood to the window; default: none)")
    fit.add_argument("--order", action="append", default=None, metavar="COLUMN=LEVEL,LEVEL,...",
                     help="the order of a group column's levels in the output, every level listed "
                          "(repeat for several columns; default: sorted, categoricals in their own order)")
    fit.add_argument("--dropna", action="store_true",
                     help="leave out rows with a missing group key (by default they form a group of their own)")
    fit.add_argument("-o", "--output", required=True, metavar="FITS",
                     help="fits table (with --method bayes: the group-level summary): .csv, .parquet or -")
    fit.add_argument("--plot", metavar="FIG", help="save a fit-check figure (.png, .pdf or .svg; with --method "
                     "bayes the posterior-predictive check) (default: none)")
    fit.add_argument("--max-groups", type=_count, default=24, metavar="N",
                     help="groups drawn in the fit-check figure, the first N (default: 24)")
    bayes = fit.add_argument_group("hierarchical Bayesian fits (--method bayes; --model ddm or full, "
                                   "--depends-on PARAM=COLUMN, --p-outlier and --outlier-window apply too)")
    bayes.add_argument("--subject", metavar="COLUMN", help="the participant column (required with --method bayes; default: none)")
    bayes.add_argument("--chains", type=_count, default=2, metavar="N", help="NUTS chains (default: 2)")
    bayes.add_argument("--draws", type=_count, default=500, metavar="N",
                       help="draws per chain after tuning (default: 500)")
    bayes.add_argument("--tune", type=_count, default=500, metavar="N", help="tuning draws per chain (default: 500)")
    bayes.add_argument("--seed", type=_seed, default=0, metavar="N",
                       help="the sampler's seed: the same seed gives the same draws (default: 0)")
    bayes.add_argument("--target-accept", type=_number("--target-accept"), default=None, metavar="X",
                       help="NUTS' target acceptance rate in (0, 1); raise it (0.95) when the fit warns of "
                            "divergences (default: 0.9 with the starting point centred, else 0.8)")
    bayes.add_argument("--idata", metavar="FILE",
                       help="save the posterior (ArviZ InferenceData, with the pointwise log-likelihood) as "
                            "netCDF (.nc; arviz.from_netcdf reads it) (default: none)")
    bayes.add_argument("--participants", metavar="TABLE",
                       help="save the participants' table (fit's columns, posterior means and sds): .csv, "
                            ".parquet or - (default: none)")
    _add_progress(fit)
    _add_cluster(fit)
    fit.set_defaults(run=run_fit, subparser=fit)

    sim = commands.add_parser("simulate", help="simulate a table of trials", epilog=SIMULATE_EXAMPLES,
                              formatter_class=raw, description="Simulate N trials from one parameter set, "
                              "or from every row of a parameter table.")
    one = sim.add_argument_group("one parameter set (instead of --params)")
    for parameter in PARAMETERS:
        default = "required" if parameter.required else f"default: {parameter.default:g}"
        one.add_argument(parameter.option, dest=parameter.name, type=_number(parameter.option), metavar="X",
                         help=f"{parameter.name} ({default})")
    sim.add_argument("--params", metavar="PARAMS",
                     help="table of parameter sets: .csv, .parquet or - (default: none; one set from the options)")
    sim.add_argument("-n", type=_count, required=True, help="trials per parameter set")
    sim.add_argument("--seed", type=_seed, required=True, help="seed of the simulation")
    sim.add_argument("--outlier-window", type=_window, default=OUTLIER_WINDOW, metavar="LO,HI",
                     help="the contaminants' response times in seconds, for a p_outlier (default: 0,5)")
    sim.add_argument("-o", "--output", required=True, metavar="TRIALS", help="table of trials: .csv, .parquet or -")
    sim.set_defaults(run=run_simulate, subparser=sim)

    rec = commands.add_parser("recover", help="run a parameter-recovery study", epilog=RECOVER_EXAMPLES,
                              formatter_class=raw, description="Simulate data sets from every row of a "
                              "parameter table and fit each; one row per (parameter row, replication).")
    rec.add_argument("--params", required=True, metavar="PARAMS", help="table of parameter sets: .csv, .parquet or -")
    rec.add_argument("--n-trials", type=_count, required=True, metavar="N", help="trials per data set")
    rec.add_argument("--reps", type=_count, default=1, metavar="R", help="data sets per parameter row (default: 1)")
    rec.add_argument("--method", choices=list(METHODS), default="sim",
                     help="closed form (ez), simulation (sim) or maximum likelihood (ml)")
    rec.add_argument("--model", choices=list(MODELS), default=None,
                     help="likelihood model of --method ml: ddm (default) or full (adds sv, sz, st)")
    rec.add_argument("--max-iters", type=_count, default=200, metavar="N", help="iteration bound of each "
                     "simulation fit")
    rec.add_argument("--p-outlier", type=_p_outlier, default=None, metavar="X|free",
                     help="with --method ml: the likelihood fits' share of contaminant trials, or 'free' to "
                          "estimate it (default: 0)")
    rec.add_argument("--outlier-window", type=_window, default=None, metavar="LO,HI",
                     help="the contaminants' response times in seconds: where a p_outlier column simulates "
                          "them, and with --method ml where the fits take them (default: 0,5)")
    rec.add_argument("--seed", type=_seed, default=0, help="seed of the study")
    rec.add_argument("-o", "--output", required=True, metavar="TABLE", help="recovery table: .csv, .parquet or -")
    rec.add_argument("--plot", metavar="FIG", help="save a figure of fitted against true values (default: none)")
    _add_progress(rec)
    _add_cluster(rec)
    rec.set_defaults(run=run_recover, subparser=rec)
    _add_example(commands)
    for command in commands.choices.values():
        command.epilog = (command.epilog or "") + EXIT_STATUS_HELP
    parser.formatter_class = raw
    parser.epilog = (parser.epilog or "") + "\n" + EXIT_STATUS_HELP
    return parser


def _add_example(commands: Any) -> None:
    example = commands.add_parser(
        "example", help="write the example table of trials, or its truth", epilog=EXAMPLE_EXAMPLES,
        formatter_class=HelpFormatter, description="Write corvatel.datasets.example() (4 subjects x 3 "
        "conditions x 200 trials), the parameters it was simulated from, the same trials coded as a lab "
        "might code them, or with 3% of them replaced by contaminants (corvatel.datasets.example_contaminated()).")
    example.add_argument("table", nargs="?", choices=EXAMPLE_TABLES, default="trials",
                         help="trials: subject, condition, trial, choice (true: upper), rt (s); truth: the "
                              "parameter table behind them, for simulate --params and recover --params; lab: "
                              "the trials as participant, difficulty, trial, response (1: upper, 0: lower), "
                              "rt (ms); contaminated: the trials with 3%% fast guesses (under 0.2 s) and "
                              "slow lapses (1-5 s) in their place")
    example.add_argument("-o", "--output", required=True, metavar="TABLE", help="the table: .csv, .parquet or -")
    example.set_defaults(run=run_example, subparser=example)


def _p_outlier(text: str) -> float | str:
    """--p-outlier: 'free' or a number (its range is the library's to check)."""
    return text if text == "free" else _number("--p-outlier")(text)


def _window(text: str) -> tuple[float, float]:
    lo, _, hi = text.partition(",")
    try:
        return float(lo), float(hi)
    except ValueError:
        raise argparse.ArgumentTypeError(f"--outlier-window wants LO,HI in seconds, e.g. 0,5, not {text!r}") from None


def run_fit(args: argparse.Namespace) -> int:
    refuse_bayes_options(args)
    if args.method == BAYES:
        return run_bayes(args)
    check_model(args)
    depends_on = parse_depends_on(args.depends_on, args.method)
    try:
        check_outliers(args.p_outlier, args.outlier_window, args.method)
        bound = check_bound(args.model or "ddm", args.bound, args.leak, args.urgency, args.method)
        check_window(args.min_rt, args.max_rt)
        if depends_on is not None:
            check_parameters_depend(args, depends_on, bound)
    except (ValueError, TypeError) as error:
        raise UsageError(str(error)) from None
    keys = key_columns(args, [*(args.by or []), *(c for columns in (depends_on or {}).values() for c in columns)])
    data = read_table(args.trials, lambda columns: keys)
    upper = coerce_upper(data, args.choice, args.upper)
    order = parse_order(args.order, data)
    if _suffix(args.trials) != ".parquet":
        order = numeric_order(data, keys, order)
    # The table is read once, for the fits and the figure alike.
    request, trials = _on_file(args.trials, lambda: (
        FitRequest.check(data, by=args.by, method=args.method, choice=args.choice, rt=args.rt, initial_guess=None,
                         max_iters=args.max_iters, drop_invalid=args.drop_invalid, model=args.model,
                         depends_on=depends_on, client=None, p_outlier=args.p_outlier,
                         outlier_window=args.outlier_window, dropna=args.dropna, order=order, bound=args.bound,
                         leak=args.leak, urgency=args.urgency),
        TrialTable.read(data, choice=args.choice, rt=args.rt, upper=upper, rt_unit=args.rt_unit,
                        drop_invalid=args.drop_invalid, min_rt=args.min_rt, max_rt=args.max_rt,
                        positive=args.method == "ml")))
    with _client(args) as client:
        fits = _on_file(args.trials, lambda: request.with_client(client).run(trials, args.progress))
    write_table(fits, args.output)
    if args.plot:
        from corvatel import plot

        # The fits' own group columns: with depends_on they include the
        # columns the parameters depend on, beyond --by.
        figure = plot.fit_check_trials(trials, fits, plot.group_columns(fits, None), dropna=request.dropna,
                                       order=request.order, max_groups=args.max_groups,
                                       outlier_window=request.options.get("outlier_window", OUTLIER_WINDOW),
                                       bound=bound)
        save_figure(figure, args.plot)
    return report_failed_groups(fits)


def check_parameters_depend(args: argparse.Namespace, depends_on: dict[str, list[str]], bound: str | None) -> None:
    """--depends-on's parameters and columns checked against the other
    options before the table is read (its columns are checked with it)."""
    model = check_method_model(args.model, args.method, FIT_MODELS)
    free_p_outlier = args.p_outlier == "free"
    # The parameters of a fit with a time-varying bound, as FitRequest.check has them.
    fitted = None if bound is None else bounds_parameters(bound, args.leak, args.urgency, start_free=False,
                                                          p_outlier_free=free_p_outlier)
    named = list(dict.fromkeys(c for columns in depends_on.values() for c in columns))
    check_depends_on(depends_on, args.method, model, pd.DataFrame(columns=named), list(args.by or []),
                     free_p_outlier, fitted)


def key_columns(args: argparse.Namespace, named: Sequence[str]) -> list[str]:
    """The columns named that only name groups: not the choice or
    response-time column, which must keep their own types."""
    return [c for c in named if c not in (args.choice, args.rt)]


def numeric_order(frame: pd.DataFrame, keys: Sequence[str], order: dict[str, list[Any]] | None) \
        -> dict[str, list[Any]] | None:
    """`order`, with each key column of a CSV file whose levels are all
    numbers in numeric order ("2" before "10"), as when it was read as
    numbers; equal numbers written differently ("01", "1") stay apart."""
    ordered = dict(order or {})
    for column in keys:
        if column in ordered or column not in frame.columns:
            continue
        levels = list(pd.unique(frame[column].dropna()))
        numbers = pd.to_numeric(pd.Series(levels, dtype=object), errors="coerce")
        if levels and numbers.notna().all():
            ordered[column] = [level for _, level in sorted(zip(numbers, levels))]
    return ordered or None


# Options of fit that a hierarchical Bayesian fit takes not, with their defaults.
NOT_BAYES = {"by": None, "bound": None, "leak": False, "urgency": False, "max_iters": 200, "min_rt": None,
             "max_rt": None, "order": None, "dropna": False, "scheduler": None, "workers": None, "max_groups": 24}
# Options of --method bayes alone, with their defaults.
BAYES_ONLY = {"subject": None, "chains": 2, "draws": 500, "tune": 500, "seed": 0, "target_accept": None,
              "idata": None, "participants": None}


def refuse_bayes_options(args: argparse.Namespace) -> None:
    """The options that do not apply to the method asked for: a usage error."""
    wrong = NOT_BAYES if args.method == BAYES else BAYES_ONLY
    given = [name for name, default in wrong.items() if getattr(args, name) != default]
    if given:
        option = _option_names().get(given[0], "--" + given[0].replace("_", "-"))
        raise UsageError(f"{option} does not apply to --method bayes" if args.method == BAYES
                         else f"{option} needs --method bayes")
    if args.method == BAYES and args.subject is None:
        raise UsageError("--method bayes needs --subject COLUMN, the participant column")


def run_bayes(args: argparse.Namespace) -> int:
    """fit --method bayes: one hierarchical fit of the whole table."""
    from ._hierarchical import FITTED, fit_hierarchical

    model = "ddm" if args.model is None else args.model
    if model not in MODELS:
        raise UsageError(f"--model {model} does not apply to --method bayes; it takes {', '.join(MODELS)}")
    try:
        check_outliers(args.p_outlier, args.outlier_window, "ml")
    except (ValueError, TypeError) as error:
        raise UsageError(str(error)) from None
    if args.target_accept is not None and not 0.0 < args.target_accept < 1.0:
        raise UsageError(f"--target-accept must be in (0, 1), not {args.target_accept:g}")
    depends_on = parse_depends_on(args.depends_on, "ml")
    if depends_on is not None:
        for parameter, columns in depends_on.items():
            if parameter not in FITTED:
                raise UsageError(f"--depends-on: {parameter!r} is not a parameter of the hierarchical model; "
                                 f"its parameters are {', '.join(FITTED)}")
            if len(columns) != 1:
                raise UsageError(f"--depends-on {parameter}: --method bayes takes one column, not {columns!r}")
    keys = key_columns(args, [args.subject, *(c for columns in (depends_on or {}).values() for c in columns)])
    data = read_table(args.trials, lambda columns: keys)
    upper = coerce_upper(data, args.choice, args.upper)
    fit = _on_file(args.trials, lambda: fit_hierarchical(
        data, subject=args.subject, depends_on=None if depends_on is None else
        {parameter: columns[0] for parameter, columns in depends_on.items()}, model=model,
        p_outlier=args.p_outlier, outlier_window=args.outlier_window, chains=args.chains, draws=args.draws,
        tune=args.tune, seed=args.seed, progress=bool(args.progress), choice=args.choice, rt=args.rt, upper=upper,
        rt_unit=args.rt_unit, drop_invalid=args.drop_invalid, target_accept=args.target_accept))
    write_table(fit.summary().rename_axis("parameter").reset_index(), args.output)
    if args.participants is not None:
        write_table(fit.participants(), args.participants)
    if args.idata is not None:
        write_atomically(args.idata, lambda p: write_idata(fit.idata, p))
    if args.plot:
        save_figure(fit.fit_check(seed=args.seed), args.plot)
    return EXIT_OK


def write_idata(idata: Any, path: str) -> None:
    """InferenceData as netCDF (h5netcdf) at `path`: written in a directory
    of its own first, since HDF5 locks the file it creates and the partial
    file at `path` is locked already."""
    with tempfile.TemporaryDirectory() as directory:
        written = Path(directory) / "idata.nc"
        idata.to_netcdf(str(written), engine="h5netcdf")
        shutil.copyfile(written, path)


def check_model(args: argparse.Namespace) -> None:
    try:
        check_method_model(args.model, args.method, FIT_MODELS if args.command == "fit" else MODELS)
    except ValueError as error:
        raise UsageError(str(error)) from None


def parse_depends_on(items: list[str] | None, method: str) -> dict[str, list[str]] | None:
    """--depends-on PARAM=COLUMN[,COLUMN] ... as fit's depends_on mapping."""
    if items is None:
        return None
    if method != "ml":
        raise UsageError("--depends-on needs --method ml")
    depends_on: dict[str, list[str]] = {}
    for item in items:
        parameter, _, columns = item.partition("=")
        if not parameter or not columns or "" in columns.split(","):
            raise UsageError(f"--depends-on takes PARAM=COLUMN (e.g. drift_rate=coh), not {item!r}")
        if parameter in depends_on:
            raise UsageError(f"--depends-on names {parameter!r} twice")
        depends_on[parameter] = columns.split(",")
    return depends_on


def parse_order(items: list[str] | None, frame: pd.DataFrame) -> dict[str, list[Any]] | None:
    """--order COLUMN=LEVEL,LEVEL ... as fit's order mapping, each level a
    value of the column's type."""
    if items is None:
        return None
    order: dict[str, list[Any]] = {}
    for item in items:
        column, _, levels = item.partition("=")
        if not column or not levels or "" in levels.split(","):
            raise UsageError(f"--order takes COLUMN=LEVEL,LEVEL,... (e.g. condition=easy,hard), not {item!r}")
        if column in order:
            raise UsageError(f"--order names {column!r} twice")
        order[column] = [_level(frame, column, text) for text in levels.split(",")]
    return order


def _level(frame: pd.DataFrame, column: str, text: str) -> Any:
    """An --order level as a value of the column's type (text in a column of text)."""
    if column not in frame.columns:
        return text
    dtype = frame[column].dtype
    try:
        return _typed(dtype, text)
    except ValueError:
        kind = "true or false" if pd.api.types.is_bool_dtype(dtype) else "a number"
        raise DataError(f"--order {column}: {text!r} is not {kind}, and column {column!r} holds "
                        f"{_holds(dtype)}") from None


def run_simulate(args: argparse.Namespace) -> None:
    import corvatel

    given = {p.name: getattr(args, p.name) for p in PARAMETERS}
    required = [p.option for p in PARAMETERS if p.required]
    if args.params is not None:
        if any(v is not None for v in given.values()):
            raise UsageError(f"give either --params or {'/'.join(required)}, not both")
        source = args.params
        params: Any = read_table(args.params, parameter_labels)
    else:
        missing = [p.option for p in PARAMETERS if p.required and given[p.name] is None]
        if missing:
            raise UsageError(f"missing {', '.join(missing)} (or give --params)")
        source = "parameters"
        params = {k: v for k, v in given.items() if v is not None}
        # Refused in the options' names, not as a table's rows.
        broken = range_error({name: np.array([value]) for name, value in params.items()})
        if broken is not None:
            value = params.get(broken.name, BY_NAME[broken.name].default)
            raise UsageError(f"{BY_NAME[broken.name].option} {broken.wanted}, not {value:g}")
    table = _on_file(source, lambda: corvatel.simulate_data(params, args.n, args.seed,
                                                            outlier_window=args.outlier_window))
    write_table(table, args.output)
    excluded = table.attrs["n_excluded"]
    if sum(excluded):
        print(f"corvatel simulate: {sum(excluded)} trial(s) hit the 10 s cap and were left out "
              f"(per parameter set: {', '.join(map(str, excluded))})", file=sys.stderr)


def parameter_labels(columns: list[str]) -> list[str]:
    """A parameter table's label columns: they name the sets."""
    return list(label_columns(pd.DataFrame(columns=columns)))


def run_example(args: argparse.Namespace) -> None:
    from corvatel import datasets

    if args.table == "truth":
        table = datasets.example_truth()
    elif args.table == "contaminated":
        table = datasets.example_contaminated()
    else:
        table = datasets.example()
        if args.table == "lab":
            table = pd.DataFrame({"participant": table["subject"], "difficulty": table["condition"],
                                  "trial": table["trial"], "response": table["choice"].astype(int),
                                  # whole milliseconds, as a lab's clock writes them
                                  "rt": np.round(table["rt"] * 1000.0).astype(np.int64)})
    write_table(table, args.output)


def run_recover(args: argparse.Namespace) -> None:
    import corvatel

    check_model(args)
    if args.p_outlier is not None and args.method != "ml":
        raise UsageError(f"--p-outlier applies to --method ml only, not {args.method}")
    params = read_table(args.params, parameter_labels)
    window = OUTLIER_WINDOW if args.outlier_window is None else args.outlier_window
    with _client(args) as client:
        table = _on_file(args.params, lambda: corvatel.recover(
            params, args.n_trials, method=args.method, reps=args.reps, seed=args.seed, max_iters=args.max_iters,
            progress=args.progress, model=args.model, client=client, p_outlier=args.p_outlier,
            outlier_window=window))
    write_table(table, args.output)
    print(corvatel.recovery_summary(table).to_string(index=False), file=sys.stderr)
    if args.plot:
        from corvatel import plot

        save_figure(plot.recovery(table), args.plot)


class UsageError(Exception):
    """A combination of options that argparse cannot check: exit status 2."""


def _on_file(path: str, work: Callable[[], Any]) -> Any:
    """work(), with a data error reported against `path` in the command
    line's terms."""
    try:
        return work()
    except (ValueError, TypeError) as error:
        raise DataError(f"{path}: {cli_names(_one_line(error))}") from None


class Terminated(BaseException):
    """SIGTERM (kill, timeout, a batch system's time limit): unwinds like
    Ctrl-C, so that no partial file is left behind."""


def _terminate(signum: int, frame: Any) -> None:
    raise Terminated


@contextmanager
def _termination_unwinds() -> Iterator[None]:
    """SIGTERM raises Terminated while the command runs, unless the caller
    has a handler of its own (or this is not the main thread)."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        yield
        return
    signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        with _termination_unwinds():
            args = build_parser().parse_args(argv)
            with _warnings_on_one_line():
                return _run(args)
    except KeyboardInterrupt:
        print("corvatel: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except ReaderGone:
        return EXIT_BROKEN_PIPE  # quiet, as `yes | head`
    except Terminated:
        print("corvatel: terminated", file=sys.stderr)
        return EXIT_TERMINATED


def _run(args: argparse.Namespace) -> int:
    """The command: its outputs checked and reserved, its work, its outputs
    put in place; an error as one line and its exit status."""
    subparser = args.subparser
    outputs = [(path, option, suffixes) for path, option, suffixes in (
        (getattr(args, "output", None), "-o", TABLE_SUFFIXES),
        (getattr(args, "participants", None), "--participants", TABLE_SUFFIXES),
        (getattr(args, "idata", None), "--idata", IDATA_SUFFIXES),
        (getattr(args, "plot", None), "--plot", FIGURE_SUFFIXES)) if path is not None]
    for path, option, suffixes in outputs:
        check_output(subparser, path, suffixes, option)
        if path == "-" and sys.stdout is None:
            print(f"corvatel {args.command}: error: {option} -: standard output is closed", file=sys.stderr)
            return EXIT_ERROR
    # Two outputs to one place: the second would replace the first, or mix
    # with it on standard output.
    written: dict[str, str] = {}
    for path, option, _ in outputs:
        where = path if path == "-" else os.path.realpath(path)
        if where in written:
            subparser.error(f"{written[where]} and {option} both write to {path}")
        written[where] = option
    # An output in place of an input would leave the table it came from
    # replaced by its results.
    for source, name in ((getattr(args, "trials", None), "TRIALS"), (getattr(args, "params", None), "--params")):
        if source is not None and source != "-" and os.path.realpath(source) in written:
            subparser.error(f"{written[os.path.realpath(source)]} would replace the input {name} {source}; "
                            "write the results to another file")
    try:
        check_scheduler_address(args)
        with pending_outputs() as pending:
            for path, option, _ in outputs:
                pending.reserve(path, option)
            status: int = args.run(args) or EXIT_OK
            pending.commit()
        return status
    except UsageError as error:
        subparser.error(cli_names(str(error)))
    except DataError as error:
        print(f"corvatel {args.command}: error: {error}", file=sys.stderr)
    except ImportError as error:
        print(f"corvatel {args.command}: error: {_one_line(error)}", file=sys.stderr)
    except OSError as error:
        print(f"corvatel {args.command}: error: {_one_line(error)}", file=sys.stderr)
    except MemoryError as error:
        print(f"corvatel {args.command}: error: {_one_line(error) if str(error) else 'out of memory'}",
              file=sys.stderr)
    return EXIT_ERROR


# The messages already printed as warnings during the command.
_warned: set[str] = set()


@contextmanager
def _warnings_on_one_line() -> Iterator[None]:
    """Print each warning issued during the command as one line,
    "corvatel: warning: MESSAGE", with the library's argument names as the
    command line's options. Python's default filters apply, unless -W or
    PYTHONWARNINGS chose others."""
    def show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
             file: Any = None, line: str | None = None) -> None:
        text = cli_names(_one_line(message) if isinstance(message, Warning) else " ".join(str(message).split()))
        if text in _warned:  # said already (the figure reads the table again)
            return
        _warned.add(text)
        print(f"corvatel: warning: {text}", file=sys.stderr)

    with warnings.catch_warnings():
        if not sys.warnoptions:
            warnings.resetwarnings()
            for category in (DeprecationWarning, PendingDeprecationWarning, ImportWarning, ResourceWarning):
                warnings.simplefilter("ignore", category)
        warnings.showwarning = show
        _warned.clear()
        yield


def report_failed_groups(fits: pd.DataFrame) -> int:
    """EXIT_PARTIAL, with a line on standard error, when some rows of the
    fits carry an error; else EXIT_OK."""
    failed = int(fits["error"].fillna("").ne("").sum()) if "error" in fits.columns else 0
    if not failed:
        return EXIT_OK
    message = f"{failed} of {len(fits)} groups failed; see the error column"
    if message not in _warned:  # the library may have said so already
        print(f"corvatel: {message}", file=sys.stderr)
    return EXIT_PARTIAL


@functools.cache
def _option_names() -> dict[str, str]:
    """Each argument name of the library that the command line has as an
    option (drop_invalid: --drop-invalid), from the parsers themselves."""
    names: dict[str, str] = {}
    commands = next(a for a in build_parser()._actions if isinstance(a, argparse._SubParsersAction))
    for subparser in commands.choices.values():
        for action in subparser._actions:
            long = [o for o in action.option_strings if o.startswith("--")]
            if long and action.dest not in ("help", "output"):
                names.setdefault(action.dest, long[0])
    return names


# Plain words that are also argument names: named only where they begin a
# message as its subject ("by names a column twice"), never inside one
# ("choice column 'c'", "params column 'boundary'").
_SUBJECT = r"(?=\s(?:must|names|needs|lacks|has no|applies)\b)"


def cli_names(message: str) -> str:
    """A library message with its Python argument names as the command
    line's options: "upper=" as "--upper", "pass drop_invalid=True" as
    "pass --drop-invalid", "max_iters must" as "--max-iters must"."""
    for name, option in _option_names().items():
        word = rf"(?<![\w'\"./-]){re.escape(name)}"
        message = re.sub(rf"{word}=True\b", option, message)
        message = re.sub(rf"{word}=(?=[\s;,.)]|$)", option, message)
        message = re.sub(rf"{word}=", f"{option} ", message)
        message = re.sub(rf"{word}\b(?!=)" if "_" in name else rf"^{word}{_SUBJECT}", option, message)
    return message


def check_scheduler_address(args: argparse.Namespace) -> None:
    """Refuse a --scheduler that is not an address before any work."""
    address = getattr(args, "scheduler", None)
    if address is not None:
        from ._cluster import check_scheduler_address

        try:
            check_scheduler_address(address)
        except ValueError as error:
            raise DataError(f"--scheduler {address}: {error}") from None


if __name__ == "__main__":
    sys.exit(main())
