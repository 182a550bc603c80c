"""The model's parameters are declared once: every entry point that takes
them refuses a bad value with the same message, and the package's columns,
options and type stubs agree with the one table."""

import ast
import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import _corvatel
import corvatel
from corvatel import _params
from cli_runner import run

NAN, INF = math.nan, math.inf
VALID = {"drift": 1.0, "boundary": 1.5, "start": 0.5, "t0": 0.3, "noise_sd": 1.0, "sv": 0.5, "sz": 0.2, "st": 0.1}

# Each parameter's non-finite values, a value below its range and, for the
# start window and st, values that break the rule they head.
BAD = [(name, value) for name in VALID for value in (NAN, INF, -INF)] + [
    ("boundary", 0.0), ("boundary", -1.0), ("start", -0.1), ("start", 1.1), ("t0", -0.1), ("noise_sd", 0.0),
    ("sv", -0.5), ("sz", -0.1), ("sz", 1.2), ("st", -0.1), ("st", 0.7),
]


def message(call):
    with pytest.raises(ValueError) as raised:
        call()
    return str(raised.value)


def after_name(text, name):
    assert text.startswith(f"{name} must "), text
    return text[len(name) + 1:]


@pytest.mark.parametrize("name, value", BAD, ids=[f"{n}={v}" for n, v in BAD])
def test_every_entry_point_refuses_a_bad_value_alike(name, value, tmp_path, capsys):
    params = dict(VALID, **{name: value})
    expected = message(lambda: corvatel.simulate_full(n=5, seed=1, **params))
    rule = after_name(expected, name)
    for density in (corvatel.wfpt_logpdf, corvatel.wfpt_pdf):
        assert message(lambda: density(0.5, True, **params)) == expected
        # In arrays too, wherever the bad element sits.
        column = np.full(3, VALID[name])
        column[1] = value
        arrays = dict(params, **{name: column})
        assert message(lambda: density(np.full(3, 0.5), True, **arrays)) == expected
    table = f"params column {name!r} {rule} (rows 0: {value!r})"
    assert table in message(lambda: corvatel.simulate_data(params, 5, 1))
    assert table in message(lambda: corvatel.recover(params, 20, method="ez", seed=1))
    pd.DataFrame([params]).to_csv(tmp_path / "p.csv", index=False)
    status, _, err = run(capsys, "simulate", "--params", tmp_path / "p.csv", "-n", 5, "--seed", 1, "-o", "-")
    assert status == 1 and f"p.csv: params column {name!r} {rule} (rows 2: " in err
    # As options, a usage error in the option's name, decided before any work.
    options = [f"{_params.BY_NAME[key].option}={v!r}" for key, v in params.items()]
    status, _, err = run(capsys, "simulate", *options, "-n", 5, "--seed", 1, "-o", "-")
    assert status == 2 and f"{_params.BY_NAME[name].option} {rule}, not " in err


def test_a_density_needs_a_start_inside_the_band():
    # A walk may start on a boundary (its trials end at once), but it has
    # no first-passage density there.
    edge = dict(VALID, start=0.0, sz=0.0)
    assert corvatel.simulate_full(n=3, seed=1, **edge)[2] == 0
    assert message(lambda: corvatel.wfpt_logpdf(0.5, True, **edge)) == "start must be strictly between 0 and 1"


def test_simulate_keeps_its_own_rules():
    # Infinite values run by the walk's rules (here a walk that starts at
    # infinity ends at once); its messages are comparisons.
    _, rts, excluded = corvatel.simulate(NAN, INF, 0.5, INF, 3, 1)
    assert excluded == 0 and np.all(np.isinf(rts))
    assert message(lambda: corvatel.simulate(1.0, 0.0, 0.5, 0.3, 3, 1)) == "boundary must be > 0"
    assert message(lambda: corvatel.simulate(1.0, 1.0, NAN, 0.3, 3, 1)) == "start must be in [0, 1]"


def stub_fields():
    """The keys of each TypedDict in the module's type stubs."""
    source = (Path(__file__).parents[1] / "_corvatel" / "_corvatel.pyi").read_text()
    fields = {}
    for node in ast.parse(source).body:
        if isinstance(node, ast.ClassDef):
            inherited = [f for base in node.bases if isinstance(base, ast.Name) for f in fields.get(base.id, [])]
            own = [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
            fields[node.name] = inherited + own
    return fields


def test_type_stubs_follow_the_table():
    fields = stub_fields()
    assert set(fields["ParamsDict"]) == set(_params.PARAM_COLUMNS)
    assert fields["_InitialGuessRequired"] == list(_params.GUESS_REQUIRED)
    assert set(fields["InitialGuess"]) - set(_params.GUESS_REQUIRED) == set(_params.GUESS_OPTIONAL)
    assert set(fields["MlParams"]) == set(_params.ML_PARAM_COLUMNS) | {"noise_sd"}
    assert set(fields["_Parameter"]) == set(_corvatel.parameters()[0])


def test_columns_and_options_follow_the_table(capsys):
    names = [p.name for p in _params.PARAMETERS]
    fit = corvatel.fit(corvatel.datasets.example(), method="ez")
    assert [c for c in fit.columns if c in _params.BY_FIT_NAME] == list(_params.PARAM_COLUMNS)
    study = corvatel.recover(dict(VALID), 50, method="ml", seed=2)
    assert [c for c in study.columns if c.startswith("true_")] == list(
        _params.true_columns(("ddm",), _params.VARIABILITY_NAMES))
    # (p_outlier has a true column only where the parameters give it.)
    assert [c[len("true_"):] for c in study.columns if c.startswith("true_")] == [
        _params.BY_NAME[n].fit_name for n in names if _params.BY_NAME[n].fitted_by and not _params.BY_NAME[n].mixture]
    # Every parameter is an option of the simulate command, its default stated.
    status, out, _ = run(capsys, "simulate", "--help")
    assert status == 0
    for parameter in _params.PARAMETERS:
        assert parameter.option in out
