"""The ``corvatel`` command: fit tables of trials, simulate them, run
parameter-recovery studies.

Exit status: 0 on success, 2 on a usage error, 1 on a data error (one line
on standard error naming the file, the column and the rows)."""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import pandas as pd

from ._fitting import METHODS, FitRequest
from ._fitting import check_model as check_method_model
from ._params import MODELS, PARAMETERS
from ._simdata import COUNT_WANTED, SEED_WANTED, check_count, check_seed
from ._trials import TrialTable

TABLE_SUFFIXES = (".csv", ".parquet")
FIGURE_SUFFIXES = (".png", ".pdf", ".svg")
PARQUET_NEEDS = "reading and writing .parquet needs pyarrow: pip install 'corvatel[parquet]'"

FIT_EXAMPLES = """\
examples:
  # one fit per subject x condition; response coded 1 (correct) / 0
  corvatel fit trials.csv --by subject condition --choice response --upper 1 -o fits.csv

  # RTs in milliseconds, closed-form fits, a fit-check figure
  corvatel fit trials.parquet --by participant difficulty --rt-unit ms --method ez \\
      -o fits.csv --plot fitcheck.png

  # from standard input to standard output
  cat trials.csv | corvatel fit - --method ez -o -

  # on a local Dask cluster of 2 processes, or on a running cluster
  corvatel fit trials.csv --by subject condition --workers 2 -o fits.csv
  corvatel fit trials.csv --by subject condition --scheduler tcp://scheduler-host:8786 -o fits.csv

  # maximum likelihood, full model (sv, sz, st too)
  corvatel fit trials.csv --by subject condition --method ml --model full -o fits.csv

  # one joint likelihood fit per subject: drift free per coherence level,
  # the other parameters shared
  corvatel fit trials.csv --by subject --method ml --depends-on drift_rate=coh -o fits.csv

Rows in error messages are line numbers of a CSV file (the header is line 1),
or row positions (from 0) of a Parquet file.
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

A summary (bias, RMSE, Pearson r, failed fits per parameter) goes to standard error.
"""


class DataError(Exception):
    """A problem with the user's files or data: exit status 1, one line."""


def _suffix(path: str) -> str:
    return Path(path).suffix.lower()


def read_table(path: str) -> pd.DataFrame:
    """A table from a .csv or .parquet file, or CSV from standard input
    ("-"). A CSV table's index holds the file's line numbers."""
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
        frame = pd.read_csv(sys.stdin if path == "-" else path)
    except DataError:
        raise
    except pd.errors.EmptyDataError:
        raise DataError(f"{path}: the file is empty") from None
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError, OSError) as error:
        kind = "Parquet" if suffix == ".parquet" else "CSV"
        raise DataError(f"{path}: not a readable {kind} file ({_one_line(error)})") from None
    if len(frame.columns) and all(_looks_numeric(c) for c in frame.columns):
        raise DataError(f"{path}: the first line is not a header of column names "
                        f"(found {', '.join(repr(c) for c in frame.columns[:5])})")
    frame.index = pd.RangeIndex(2, len(frame) + 2)
    return frame


def _looks_numeric(name: Any) -> bool:
    try:
        float(str(name).split(".")[0] if str(name).count(".") > 1 else name)
    except ValueError:
        return False
    return True


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def check_output(parser: argparse.ArgumentParser, path: str, suffixes: tuple[str, ...], option: str) -> None:
    """Refuse an output path we cannot write before any work starts."""
    if path == "-" and option == "-o":
        return
    if _suffix(path) not in suffixes:
        parser.error(f"{option} {path}: the file name must end in {', '.join(suffixes)}")
    if _suffix(path) == ".parquet":
        if importlib.util.find_spec("pyarrow") is None:
            parser.error(f"{option} {path}: {PARQUET_NEEDS}")


def write_atomically(path: str, write: Callable[[str], None]) -> None:
    """write(temporary path) beside `path`, then rename it over `path`; a
    failure leaves no half-written file behind."""
    target = Path(path)
    if not target.parent.is_dir():
        raise DataError(f"{path}: the folder {str(target.parent)!r} does not exist")
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=target.suffix, dir=target.parent)
    os.close(handle)
    try:
        # mkstemp makes the file private; give it the permissions a plain open() would.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        write(temporary)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def write_table(frame: pd.DataFrame, path: str) -> None:
    if path == "-":
        frame.to_csv(sys.stdout, index=False)
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
    if pd.api.types.is_bool_dtype(dtype):
        if text.lower() in ("true", "1"):
            return True
        if text.lower() in ("false", "0"):
            return False
        raise DataError(f"--upper {text!r}: choice column {column!r} holds true/false")
    if pd.api.types.is_numeric_dtype(dtype):
        try:
            value = float(text)
        except ValueError:
            raise DataError(f"--upper {text!r}: choice column {column!r} holds numbers") from None
        return int(value) if value.is_integer() and pd.api.types.is_integer_dtype(dtype) else value
    return text


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
                       help="run the fits on the Dask cluster of this scheduler (needs corvatel[dask])")
    where.add_argument("--workers", type=_count, metavar="N",
                       help="run the fits on a local Dask cluster of N processes, started for this run "
                            "(needs corvatel[dask])")


@contextmanager
def _client(args: argparse.Namespace) -> Iterator[Any]:
    """The Dask client that --scheduler or --workers asks for, else None."""
    if args.scheduler is None and args.workers is None:
        yield None
        return
    from ._cluster import open_client

    with open_client(args.scheduler, args.workers) as client:
        yield client


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvatel", description="Fit, simulate and check drift-diffusion models on tables of trials.",
        epilog="Run 'corvatel COMMAND --help' for a command's options and worked examples; "
               "'python -m corvatel' alone runs the demo.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    raw = argparse.RawDescriptionHelpFormatter

    fit = commands.add_parser("fit", help="fit every group of a table of trials", epilog=FIT_EXAMPLES,
                              formatter_class=raw, description="Fit the model to every group of a table of "
                              "trials (.csv, .parquet or - for CSV on standard input); one row per group.")
    fit.add_argument("trials", metavar="TRIALS", help="table of trials: .csv, .parquet or -")
    fit.add_argument("--by", nargs="+", metavar="COLUMN", default=None,
                     help="group columns (default: the whole table is one group)")
    fit.add_argument("--choice", default="choice", metavar="COLUMN",
                     help="choice column: true/false, 0/1, or two values with --upper (default: choice)")
    fit.add_argument("--upper", default=None, metavar="VALUE",
                     help="the choice value that counts as the upper (correct) boundary")
    fit.add_argument("--rt", default="rt", metavar="COLUMN", help="response-time column (default: rt)")
    fit.add_argument("--rt-unit", choices=["s", "ms"], default="s", help="unit of the response times (default: s)")
    fit.add_argument("--method", choices=list(METHODS), default="sim",
                     help="closed form (ez), simulation (sim) or maximum likelihood (ml)")
    fit.add_argument("--model", choices=list(MODELS), default=None,
                     help="likelihood model of --method ml: ddm (default) or full (adds sv, sz, st)")
    fit.add_argument("--depends-on", nargs="+", default=None, metavar="PARAM=COLUMN",
                     help="with --method ml: PARAM is free per level of COLUMN (COLUMN,COLUMN for several), "
                          "the other parameters shared, in one joint fit per --by group")
    fit.add_argument("--max-iters", type=_count, default=200, metavar="N",
                     help="iteration bound of each simulation fit (default: 200)")
    fit.add_argument("--drop-invalid", action="store_true",
                     help="drop rows with a missing choice or a NaN, infinite or negative response time "
                          "(counted per group in n_dropped) instead of refusing the table")
    fit.add_argument("--min-rt", type=_number("--min-rt"), default=None, metavar="SECONDS",
                     help="leave out trials faster than this (seconds, after --rt-unit; counted per group in "
                          "n_outside_window)")
    fit.add_argument("--max-rt", type=_number("--max-rt"), default=None, metavar="SECONDS",
                     help="leave out trials slower than this (seconds, after --rt-unit; counted per group in "
                          "n_outside_window)")
    fit.add_argument("--order", action="append", default=None, metavar="COLUMN=LEVEL,LEVEL,...",
                     help="the order of a group column's levels in the output, every level listed "
                          "(repeat for several columns)")
    fit.add_argument("--dropna", action="store_true",
                     help="leave out rows with a missing group key (by default they form a group of their own)")
    fit.add_argument("-o", "--output", required=True, metavar="FITS", help="fits table: .csv, .parquet or -")
    fit.add_argument("--plot", metavar="FIG", help="save a fit-check figure (.png, .pdf or .svg)")
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
    sim.add_argument("--params", metavar="PARAMS", help="table of parameter sets: .csv, .parquet or -")
    sim.add_argument("-n", type=_count, required=True, help="trials per parameter set")
    sim.add_argument("--seed", type=_seed, required=True)
    sim.add_argument("-o", "--output", required=True, metavar="TRIALS", help="table of trials: .csv, .parquet or -")
    sim.set_defaults(run=run_simulate, subparser=sim)

    rec = commands.add_parser("recover", help="run a parameter-recovery study", epilog=RECOVER_EXAMPLES,
                              formatter_class=raw, description="Simulate data sets from every row of a "
                              "parameter table and fit each; one row per (parameter row, replication).")
    rec.add_argument("--params", required=True, metavar="PARAMS", help="table of parameter sets: .csv, .parquet or -")
    rec.add_argument("--n-trials", type=_count, required=True, metavar="N", help="trials per data set")
    rec.add_argument("--reps", type=_count, default=1, metavar="R", help="data sets per parameter row (default: 1)")
    rec.add_argument("--method", choices=list(METHODS), default="sim")
    rec.add_argument("--model", choices=list(MODELS), default=None, help="likelihood model of --method ml")
    rec.add_argument("--max-iters", type=_count, default=200, metavar="N")
    rec.add_argument("--seed", type=_seed, default=0)
    rec.add_argument("-o", "--output", required=True, metavar="TABLE", help="recovery table: .csv, .parquet or -")
    rec.add_argument("--plot", metavar="FIG", help="save a figure of fitted against true values")
    _add_progress(rec)
    _add_cluster(rec)
    rec.set_defaults(run=run_recover, subparser=rec)
    return parser


def run_fit(args: argparse.Namespace) -> None:
    check_model(args)
    depends_on = parse_depends_on(args.depends_on, args.method)
    data = read_table(args.trials)
    upper = coerce_upper(data, args.choice, args.upper)
    order = parse_order(args.order, data)
    # The table is read once, for the fits and the figure alike.
    request, trials = _on_file(args.trials, lambda: (
        FitRequest.check(data, by=args.by, method=args.method, choice=args.choice, rt=args.rt, initial_guess=None,
                         max_iters=args.max_iters, drop_invalid=args.drop_invalid, model=args.model,
                         depends_on=depends_on, client=None, dropna=args.dropna, order=order),
        TrialTable.read(data, choice=args.choice, rt=args.rt, upper=upper, rt_unit=args.rt_unit,
                        drop_invalid=args.drop_invalid, min_rt=args.min_rt, max_rt=args.max_rt)))
    with _client(args) as client:
        fits = _on_file(args.trials, lambda: request.with_client(client).run(trials, args.progress))
    write_table(fits, args.output)
    if args.plot:
        from corvatel import plot

        # The fits' own group columns: with depends_on they include the
        # columns the parameters depend on, beyond --by.
        figure = plot.fit_check_trials(trials, fits, plot.group_columns(fits, None), dropna=request.dropna,
                                       order=request.order)
        save_figure(figure, args.plot)


def check_model(args: argparse.Namespace) -> None:
    try:
        check_method_model(args.model, args.method)
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
    """An --order level as a value of the column's type (text if it is not a number there)."""
    if column in frame.columns and pd.api.types.is_numeric_dtype(frame[column].dtype) \
            and not pd.api.types.is_bool_dtype(frame[column].dtype):
        try:
            value = float(text)
        except ValueError:
            raise DataError(f"--order {column}: {text!r} is not a number, and column {column!r} holds numbers") \
                from None
        return int(value) if value.is_integer() and pd.api.types.is_integer_dtype(frame[column].dtype) else value
    return text


def run_simulate(args: argparse.Namespace) -> None:
    import corvatel

    given = {p.name: getattr(args, p.name) for p in PARAMETERS}
    required = [p.option for p in PARAMETERS if p.required]
    if args.params is not None:
        if any(v is not None for v in given.values()):
            raise UsageError(f"give either --params or {'/'.join(required)}, not both")
        source = args.params
        params: Any = read_table(args.params)
    else:
        missing = [p.option for p in PARAMETERS if p.required and given[p.name] is None]
        if missing:
            raise UsageError(f"missing {', '.join(missing)} (or give --params)")
        source = "parameters"
        params = {k: v for k, v in given.items() if v is not None}
    table = _on_file(source, lambda: corvatel.simulate_data(params, args.n, args.seed))
    write_table(table, args.output)
    excluded = table.attrs["n_excluded"]
    if sum(excluded):
        print(f"corvatel simulate: {sum(excluded)} trial(s) hit the 10 s cap and were left out "
              f"(per parameter set: {', '.join(map(str, excluded))})", file=sys.stderr)


def run_recover(args: argparse.Namespace) -> None:
    import corvatel

    check_model(args)
    params = read_table(args.params)
    with _client(args) as client:
        table = _on_file(args.params, lambda: corvatel.recover(
            params, args.n_trials, method=args.method, reps=args.reps, seed=args.seed, max_iters=args.max_iters,
            progress=args.progress, model=args.model, client=client))
    write_table(table, args.output)
    print(corvatel.recovery_summary(table).to_string(index=False), file=sys.stderr)
    if args.plot:
        from corvatel import plot

        save_figure(plot.recovery(table), args.plot)


class UsageError(Exception):
    """A combination of options that argparse cannot check: exit status 2."""


def _on_file(path: str, work: Callable[[], Any]) -> Any:
    """work(), with a data error reported against `path`."""
    try:
        return work()
    except (ValueError, TypeError) as error:
        message = _one_line(error).replace("pass drop_invalid=True", "pass --drop-invalid")
        raise DataError(f"{path}: {message}") from None


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    subparser = args.subparser
    for option in ("output", "plot"):
        path = getattr(args, option, None)
        if path is not None:
            check_output(subparser, path, TABLE_SUFFIXES if option == "output" else FIGURE_SUFFIXES,
                         "-o" if option == "output" else "--plot")
    try:
        for option in ("output", "plot"):
            path = getattr(args, option, None)
            if path not in (None, "-") and not Path(path).parent.is_dir():
                raise DataError(f"{path}: the folder {str(Path(path).parent)!r} does not exist")
        args.run(args)
    except UsageError as error:
        subparser.error(str(error))
    except DataError as error:
        print(f"corvatel {args.command}: error: {error}", file=sys.stderr)
        return 1
    except ImportError as error:
        print(f"corvatel {args.command}: error: {_one_line(error)}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"corvatel {args.command}: error: {_one_line(error)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
