"""The posterior's container in either ArviZ: InferenceData (ArviZ 0.x,
which PyMC 5 returns) or xarray's DataTree (ArviZ 1, PyMC 6). The
hierarchical fits read it through these few functions only."""

from __future__ import annotations

import contextlib
import importlib
import logging
import threading
from collections.abc import Iterator, Sequence
from typing import Any

import pandas as pd

# The summary's interval: the central 94% of highest density, ArviZ 0.x's default.
HDI_PROB = 0.94
HDI_COLUMNS = ("hdi_3%", "hdi_97%")


def _arviz() -> Any:
    # Untyped: the two versions' functions take different arguments.
    return importlib.import_module("arviz")


def _arviz_1() -> bool:
    return int(_arviz().__version__.split(".")[0]) >= 1


def group(idata: Any, name: str) -> Any:
    """The group `name` (posterior, sample_stats, ...) as an xarray Dataset."""
    node = idata[name]
    # A DataTree node converts; InferenceData's groups are Datasets already.
    return node.to_dataset() if hasattr(node, "children") else node


def summary(idata: Any, var_names: Sequence[str]) -> pd.DataFrame:
    """ArviZ's summary of `var_names` in the posterior, its interval in
    the columns hdi_3% and hdi_97% whatever the version."""
    az = _arviz()
    with _one_chain_unlogged():
        if not _arviz_1():
            table = az.summary(idata, var_names=list(var_names), hdi_prob=HDI_PROB)
        else:
            table = az.summary(idata, var_names=list(var_names), ci_prob=HDI_PROB, ci_kind="hdi", round_to="none")
            table = table.rename(columns={"hdi94_lb": HDI_COLUMNS[0], "hdi94_ub": HDI_COLUMNS[1]})
    assert isinstance(table, pd.DataFrame)  # kind="all" gives a table
    return table


def rhat(idata: Any, var_names: Sequence[str]) -> Any:
    """The rank-normalised R-hat of `var_names`, a Dataset."""
    with _one_chain_unlogged():
        return _arviz().rhat(group(idata, "posterior"), var_names=list(var_names))


# The calls inside _one_chain_unlogged, across threads, and the level the
# logger had before the first of them.
_quiet_lock = threading.Lock()
_quiet_calls = 0
_quiet_level = logging.NOTSET


@contextlib.contextmanager
def _one_chain_unlogged() -> Iterator[None]:
    """With one chain ArviZ logs that r_hat wants two, on the root logger's
    stream; the fit warns of it in its own words. The logger's level is
    the caller's again once the last such call ends, whatever the threads."""
    global _quiet_calls, _quiet_level
    # ArviZ 0.x logs through a Logger of its own, not logging's "arviz".
    log = getattr(_arviz(), "_log", None)
    if not isinstance(log, logging.Logger):
        log = logging.getLogger("arviz")
    with _quiet_lock:
        if _quiet_calls == 0:
            _quiet_level = log.level
            log.setLevel(logging.ERROR)
        _quiet_calls += 1
    try:
        yield
    finally:
        with _quiet_lock:
            _quiet_calls -= 1
            if _quiet_calls == 0:
                log.setLevel(_quiet_level)
