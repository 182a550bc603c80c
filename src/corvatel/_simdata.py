"""Simulated tables of trials from a table of parameter sets."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, cast

import numpy as np
import pandas as pd

import _corvatel
from _corvatel import check_outlier_window, simulate, simulate_full

from ._params import BY_NAME, MIXTURE_NAMES, REQUIRED_NAMES, VARIABILITY_NAMES, WALK_NAMES, range_error
from ._trials import as_numbers, refuse_clashes, show_rows

# simulate's parameters; the full model's variabilities are optional, 0 when absent.
PARAM_NAMES = WALK_NAMES
# The columns simulate_data reads as the walk's own when it is given a bound
# (simulate_bounds' arguments, their defaults when absent).
BOUND_COLUMNS = ("theta", "shape", "scale", "rate", "leak", "urgency")
_SEED_LIMIT = 2**64
# What seeds and counts must be, as messages say it (the command line too).
SEED_WANTED = "an integer from 0 to 2**64 - 1"
COUNT_WANTED = "a positive integer"
# Contaminant trials' times are uniform on this window (seconds) unless a call says otherwise.
OUTLIER_WINDOW = (0.0, 5.0)
# The spawn key of a parameter set's contaminant draws under its own seed:
# SeedSequence(row_seed, spawn_key=(CONTAMINANT_KEY,)) seeds NumPy's PCG64,
# a generator apart from the walk's ChaCha8 (keyed by row_seed itself), on a
# path no table's row numbers reach.
CONTAMINANT_KEY = 2**64 - 1


def check_seed(seed: Any, argument: str = "seed") -> int:
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"{argument} must be {SEED_WANTED}, not {seed!r}")
    if not 0 <= seed < _SEED_LIMIT:
        raise ValueError(f"{argument} must be {SEED_WANTED}, not {seed}")
    return int(seed)


def derive_seed(seed: int, *path: int) -> int:
    """The seed of a numbered part of a seeded job: the first 64-bit word of
    ``numpy.random.SeedSequence(seed, spawn_key=path)``.

    simulate_data draws parameter row i from ``derive_seed(seed, i)``; so a
    row's trials depend only on its parameters, ``seed`` and i, and adding
    rows never changes the others. recover draws replication r from
    ``simulate_data(params, n_trials, derive_seed(seed, r))``."""
    seed = check_seed(seed)
    for part in path:
        check_seed(part, "path")
    words = np.random.SeedSequence(seed, spawn_key=tuple(int(p) for p in path)).generate_state(1, np.uint64)
    return int(words[0])


def check_count(n: Any, argument: str) -> int:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"{argument} must be {COUNT_WANTED}, not {n!r}")
    if not 1 <= n < _SEED_LIMIT:
        raise ValueError(f"{argument} must be {COUNT_WANTED}, not {n}")
    return int(n)


def param_table(params: Any, bound: str | None = None) -> pd.DataFrame:
    """The parameter sets as a DataFrame with a float column for each of
    PARAM_NAMES (noise_sd defaults to 1), those of VARIABILITY_NAMES and
    MIXTURE_NAMES that params has (and of BOUND_COLUMNS, given a bound), and
    the label columns, checked."""
    if isinstance(params, Mapping) and not isinstance(params, pd.DataFrame):
        if all(not isinstance(v, (list, tuple, np.ndarray, pd.Series)) for v in params.values()):
            params = {k: [v] for k, v in params.items()}
        frame = pd.DataFrame(params)
    elif isinstance(params, pd.DataFrame):
        frame = params
    else:
        raise TypeError(f"params must be a mapping of {', '.join(PARAM_NAMES)} or a DataFrame with those "
                        f"columns, not {type(params).__name__}")
    if isinstance(frame.columns, pd.MultiIndex):
        # A parameter is one column; "drift" of ("drift", "a") names several.
        raise ValueError(f"params must have one level of column names, not {frame.columns.nlevels}; "
                         "flatten them first")
    # A parameter or label read twice would be a table, not a column.
    repeated = frame.columns[frame.columns.duplicated()]
    if len(repeated):
        copies = int((frame.columns == repeated[0]).sum())
        raise ValueError(f"params: column {repeated[0]!r} appears {copies} times in the table; "
                         "rename or drop the copies")
    missing = [name for name in REQUIRED_NAMES if name not in frame.columns]
    if missing:
        raise ValueError(f"params lacks {', '.join(repr(m) for m in missing)}; it has columns: "
                         f"{', '.join(repr(c) for c in frame.columns) or '(none)'}")
    if len(frame) == 0:
        raise ValueError("params has no rows")
    frame = frame.copy()
    for name in PARAM_NAMES:
        if name not in frame.columns:
            frame[name] = BY_NAME[name].default
    for name in sim_names(frame, bound):
        frame[name] = as_numbers(frame[name], f"params column {name!r}")
    broken = range_error({name: frame[name].to_numpy() for name in sim_names(frame)})
    if broken is not None:
        _refuse_values(frame, broken.name, broken.rows, broken.wanted)
    return frame


def _refuse_values(frame: pd.DataFrame, name: str, bad: np.ndarray, wanted: str) -> None:
    if bad.any():
        values = frame[name].to_numpy()[bad]
        raise ValueError(f"params column {name!r} {wanted} ({show_rows(frame, bad)}: "
                         f"{', '.join(repr(float(v)) for v in values[:8])})")


def sim_names(table: pd.DataFrame, bound: str | None = None) -> list[str]:
    """The simulation parameters a parameter table has: PARAM_NAMES and
    whichever variabilities and p_outlier it gives (and, given a bound,
    whichever of BOUND_COLUMNS)."""
    optional = VARIABILITY_NAMES + MIXTURE_NAMES + (BOUND_COLUMNS if bound is not None else ())
    return list(PARAM_NAMES) + [name for name in optional if name in table.columns]


def label_columns(table: pd.DataFrame, bound: str | None = None) -> list[Any]:
    own = PARAM_NAMES + VARIABILITY_NAMES + MIXTURE_NAMES + (BOUND_COLUMNS if bound is not None else ())
    return [c for c in table.columns if c not in own]


def check_window(outlier_window: Any) -> tuple[float, float]:
    """The contaminant window as two floats, refused as the densities refuse it."""
    check_outlier_window(outlier_window)
    return float(outlier_window[0]), float(outlier_window[1])


def simulate_row(row: Mapping[Any, float], n: int, seed: int,
                 outlier_window: tuple[float, float] = OUTLIER_WINDOW,
                 bound: str | None = None) -> tuple[np.ndarray, np.ndarray, int]:
    """One parameter set's trials: given a bound, `simulate_bounds` with the
    set's BOUND_COLUMNS; otherwise `simulate` unless the set has a nonzero
    variability, then `simulate_full` (whose per-trial draws use streams
    the walks never use, so zero variabilities would give the same trials);
    then, for a nonzero p_outlier, the contaminants (add_contaminants)."""
    sv, sz, st = (row.get(name, 0.0) for name in VARIABILITY_NAMES)
    if bound is not None:
        walk: dict[str, Any] = {name: row[name] for name in BOUND_COLUMNS if name in row}
        trials = simulate_bounds(n, row["drift"], row["boundary"], row["start"], row["t0"], bound=bound,
                                 noise_sd=row["noise_sd"], sv=sv, sz=sz, st=st, seed=seed, **walk)
    elif sv == 0.0 and sz == 0.0 and st == 0.0:
        trials = simulate(row["drift"], row["boundary"], row["start"], row["t0"], n, seed, row["noise_sd"])
    else:
        trials = simulate_full(row["drift"], row["boundary"], row["start"], row["t0"], n, seed, row["noise_sd"],
                               sv, sz, st)
    p_outlier = row.get("p_outlier", 0.0)
    if p_outlier != 0.0:
        add_contaminants(trials[0], trials[1], p_outlier, seed, outlier_window)
    return trials


def add_contaminants(choices: np.ndarray, rts: np.ndarray, p_outlier: float, seed: int,
                     outlier_window: tuple[float, float]) -> None:
    """Replaces each trial, with probability p_outlier, by a contaminant:
    either response with probability 1/2, its time uniform on the window.
    The draws come from NumPy's PCG64 seeded by
    SeedSequence(seed, spawn_key=(CONTAMINANT_KEY,)), never from the walk's
    generator: one uniform per trial says which trials are contaminants
    (u < p_outlier), then one per contaminant its response (upper when
    below 1/2), then one per contaminant its time lo + (hi - lo) u."""
    generator = np.random.Generator(np.random.PCG64(np.random.SeedSequence(seed, spawn_key=(CONTAMINANT_KEY,))))
    replaced = generator.random(len(rts)) < p_outlier
    count = int(replaced.sum())
    lo, hi = outlier_window
    choices[replaced] = generator.random(count) < 0.5
    rts[replaced] = lo + (hi - lo) * generator.random(count)


def simulate_bounds(n: int, drift: float, boundary: float, start: float, t0: float, *, bound: str = "constant",
                    theta: float = 0.0, shape: float = 1.0, scale: float = 1.0, rate: float = 0.0,
                    leak: float = 0.0, urgency: float = 0.0, noise_sd: float = 1.0, sv: float = 0.0,
                    sz: float = 0.0, st: float = 0.0, seed: int,
                    dt: float = 0.001) -> tuple[np.ndarray, np.ndarray, int]:
    """Simulate n trials of the diffusion model between time-varying bounds,
    with leak and urgency: the model of ``bounds_logpdf`` (its ``bound``,
    ``theta``, ``shape``, ``scale``, ``rate``, ``leak`` and ``urgency``,
    checked with its messages), by the Euler-Maruyama scheme with step
    ``dt`` seconds.

    The walk starts at ``start * boundary`` (``start`` relative, 0-1) in a
    band whose middle is ``boundary / 2`` and whose half-width B(t) the
    bound gives (B(0) = boundary / 2). Each step, with t the time before it
    and g = 1 + urgency t, moves the walk by ``g * drift * dt`` plus ``g *
    noise_sd * sqrt(dt)`` times a standard normal, minus ``leak * dt``
    times its distance from the middle; the trial ends when the walk is no
    longer strictly inside the band at the step's end time, with choice
    True when it is at or above the middle (so also when an angle bound
    has closed on it). Trials still inside after 10 s of model time are
    dropped and counted, as in ``simulate``.

    ``sv``, ``sz`` and ``st`` vary drift, start and t0 across trials and
    are drawn exactly as ``simulate_full`` draws them (trial i from stream
    i | 2**63 of the seed's generator, its walk from stream i): with a
    constant bound, no leak, no urgency and ``dt`` 0.001 the trials are
    ``simulate_full``'s, bit for bit. ``dt`` must be positive, at most 0.1,
    with at most 1 000 000 steps to the 10 s cap; a smaller step has a smaller
    Euler bias (each bound acts about 0.58 noise_sd g sqrt(dt) further
    out) and costs proportionally more time.

    Returns ``(choices, rts, n_excluded)`` as ``simulate_full`` does, with
    its errors for the arguments they share; reproducible bit for bit
    whatever the number of threads; Ctrl-C stops it.
    """
    return _corvatel.simulate_bounds(drift, boundary, start, t0, n, seed, cast(Any, bound), theta, shape, scale, rate, leak,
                                     urgency, noise_sd, sv, sz, st, dt)


def simulate_data(params: Any, n: int, seed: int, *,
                  outlier_window: tuple[float, float] = OUTLIER_WINDOW, bound: str | None = None) -> pd.DataFrame:
    """Simulate n trials for every parameter set.

    params: a mapping with simulate's parameter names (drift, boundary,
    start, t0, optional noise_sd) or a DataFrame with those columns, one
    row per set; its other columns are labels copied to the set's trials.
    Optional sv, sz, st (the full model's across-trial variabilities of
    drift, relative start and t0, as in simulate_full) default to 0.
    Row i draws its trials from seed ``derive_seed(seed, i)``: with
    ``simulate`` when its sv, sz and st are all 0 (or absent), else with
    ``simulate_full``, which draws trial j's drift, start and t0 from
    stream j | 2**63 of that seed's generator and walks on stream j.

    An optional p_outlier column (default 0) adds contaminants: each
    simulated trial of the row is replaced, with probability p_outlier, by
    one whose response is either boundary with probability 1/2 and whose
    time is uniform on ``outlier_window`` = (lo, hi) seconds. Their draws
    come from NumPy's PCG64 seeded by ``numpy.random.SeedSequence(s,
    spawn_key=(2**64 - 1,))``, s the row's seed: never from the walk's
    streams, so the trials that stay are those without the column. One
    uniform per trial picks the contaminants (below p_outlier), then one per
    contaminant its response (upper below 1/2), then one each its time.
    With p_outlier 0 (or no column) the trials are exactly those without.

    ``bound`` (a bound name of ``simulate_bounds``, default None) simulates
    every row with ``simulate_bounds``: the columns theta, shape, scale,
    rate, leak and urgency are then parameters (their defaults where
    absent; a bound ignores those it does not use), not labels. With
    ``bound="constant"`` and no leak or urgency the trials are those
    without ``bound``. An invalid value raises the error of
    ``simulate_bounds`` with a note naming the row.

    Returns the label columns, ``trial`` (position among the set's finished
    trials), ``choice`` (bool, True at the upper boundary) and ``rt``
    (seconds): the table that ``fit`` reads. A table of several sets
    without label columns gets a ``param_set`` column (the row's position).
    Trials that hit the 10 s cap are left out; ``table.attrs["n_excluded"]``
    lists how many per parameter set, in row order.
    """
    table = param_table(params, bound)
    n = check_count(n, "n")
    seed = check_seed(seed)
    window = check_window(outlier_window)
    labels = label_columns(table, bound)
    refuse_clashes(labels, ("trial", "choice", "rt"), "params")
    if not labels and len(table) > 1:
        table.insert(0, "param_set", np.arange(len(table)))
        labels = ["param_set"]

    sets = table[sim_names(table, bound)].to_dict("records")
    if len(sets) == 1:
        # One set: simulate's own arrays become the columns, uncopied.
        choices, rts, excluded = _simulate_set(sets, 0, n, seed, window, bound)
        counts, n_excluded = np.array([len(rts)], dtype=np.int64), [int(excluded)]
    else:
        choices, rts, counts, n_excluded = _simulate_sets(sets, n, seed, window, bound)
    # Trial numbers in place, set by set: no row-sized temporaries.
    trial = np.arange(len(rts), dtype=np.int64)
    start = 0
    for count in counts.tolist():
        trial[start:start + count] -= start
        start += count
    columns: dict[Any, Any] = {}
    if labels:
        rows = np.repeat(np.arange(len(table)), counts)
        for label in labels:
            columns[label] = table[label].take(rows).reset_index(drop=True)
        del rows
    columns["trial"] = trial
    columns["choice"] = choices
    columns["rt"] = rts
    frame = pd.DataFrame(columns, copy=False)
    frame.attrs["n_excluded"] = n_excluded
    return frame


def _simulate_set(sets: list[dict[Any, float]], i: int, n: int, seed: int, window: tuple[float, float],
                  bound: str | None) -> tuple[np.ndarray, np.ndarray, int]:
    """Row i's trials; a value the bounds' walk refuses is named by its row."""
    try:
        return simulate_row(sets[i], n, derive_seed(seed, i), window, bound)
    except ValueError as error:
        if bound is not None:
            error.add_note(f"in params row {i}")
        raise


def _simulate_sets(sets: list[dict[Any, float]], n: int, seed: int, window: tuple[float, float],
                   bound: str | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray, list[int]]:
    """Every set's trials in preallocated columns, filled set by set and
    then shrunk in place, so that the peak stays near the columns' size."""
    total = len(sets) * n
    try:
        choices = np.empty(total, dtype=np.bool_)
        rts = np.empty(total, dtype=np.float64)
    except (MemoryError, ValueError):  # ValueError: more than an array can index
        raise MemoryError(f"simulate_data: {len(sets)} parameter rows x n={n} trials need more memory than this "
                          "machine can give") from None
    counts = np.empty(len(sets), dtype=np.int64)
    n_excluded = []
    filled = 0
    for i in range(len(sets)):
        set_choices, set_rts, excluded = _simulate_set(sets, i, n, seed, window, bound)
        kept = len(set_rts)
        choices[filled:filled + kept] = set_choices
        rts[filled:filled + kept] = set_rts
        counts[i] = kept
        n_excluded.append(int(excluded))
        filled += kept
        del set_choices, set_rts
    if filled < total:
        choices.resize(filled, refcheck=False)
        rts.resize(filled, refcheck=False)
    return choices, rts, counts, n_excluded



