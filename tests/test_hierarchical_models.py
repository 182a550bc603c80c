"""corvatel.fit_hierarchical's models beyond the plain one: model "full"
(group-level sv, sz, st), contaminants (fixed and free p_outlier) and
trial-level regressions. Draws from the prior, which reach far more of the
parameter space than a short posterior does, must all lie inside the
model's ranges, and the model's per-trial log-likelihood at a draw must be
wfpt_logpdf at the parameters rebuilt from the draw's sampled variables by
an independent computation here (links, shares of the room, windows).
Short sampler runs check what only sampling shows: a regression slope
recovered, the summary's rows, the participants' table."""

import warnings
from dataclasses import replace

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

with warnings.catch_warnings():
    # ArviZ announces its coming refactor on import.
    warnings.simplefilter("ignore", FutureWarning)
    pm = pytest.importorskip("pymc")
    formulaic = pytest.importorskip("formulaic")
    import pytensor.tensor as pt

import corvatel
import corvatel._hierarchical as hierarchical
from corvatel import _arviz
from corvatel._hierarchical import CENTRED_FROM, _centred, _model, _prepare
from posteriors import inference_data

GROUP = ["mu_drift", "sd_drift", "mu_logb", "sd_logb", "mu_start", "sd_start", "mu_t0", "sd_t0"]
PARAMS = ["drift_rate", "boundary_separation", "starting_point", "non_decision_time"]
SHORT = {"drift_rate": "drift", "boundary_separation": "logb", "starting_point": "start", "non_decision_time": "t0"}
N_DRAWS = 200


def _sigmoid(x):
    return 1.0 / (1.0 + np.exp(-x))


SETS = pd.DataFrame({"subject": np.repeat(["p1", "p2", "p3"], 4), "condition": ["a", "a", "b", "b"] * 3,
                     "coh": [-0.5, 0.5] * 6, "drift": [0.2, 1.2, 0.6, 2.0] * 3, "boundary": 1.4,
                     "start": np.repeat([0.4, 0.5, 0.6], 4), "t0": [0.3, 0.3, 0.25, 0.25] * 3, "sv": 0.3,
                     "sz": 0.2, "st": 0.1, "p_outlier": 0.05})
DATA = corvatel.simulate_data(SETS, 15, seed=3)

CASES = {
    "plain": {},
    "plain, centred": {"parametrization": "centred"},
    "full, free p_outlier": {"model": "full", "p_outlier": "free"},
    "fixed p_outlier, window": {"p_outlier": 0.05, "outlier_window": (0.0, 3.0)},
    "depends_on, full": {"depends_on": {"drift_rate": "condition", "non_decision_time": "condition"},
                         "model": "full"},
    "regression, full, fixed p_outlier": {"regression": {"drift_rate": "1 + coh",
                                                         "non_decision_time": "1 + C(condition)",
                                                         "starting_point": "1 + coh"},
                                          "model": "full", "p_outlier": 0.1},
}


def _prepared(parametrization="non-centred", **kwargs):
    arguments = {"subject": "subject", "depends_on": None, "model": "ddm", "p_outlier": None,
                 "outlier_window": None, "regression": None, "choice": "choice", "rt": "rt", "upper": None,
                 "rt_unit": None, **kwargs}
    design, options, _ = _prepare(DATA, **arguments)
    options = replace(options, centred=_centred(parametrization, design, options))
    return design, _model(design, options)


@pytest.fixture(scope="module", params=list(CASES))
def prior(request):
    """A case's kwargs, its trials in the model's order, the model and
    N_DRAWS prior draws of every variable."""
    kwargs = CASES[request.param]
    design, model = _prepared(**kwargs)
    names = [rv.name for rv in model.free_RVs] + [v.name for v in model.deterministics]
    values = pm.draw([model[name] for name in names], draws=N_DRAWS, random_seed=7)
    return kwargs, design.rows, model, dict(zip(names, values))


def _rebuilt(kwargs, rows, draws, k, intercept_only=False):
    """Trial-level parameters of draw k from its sampled variables (with
    intercept_only, each regression at its intercept)."""
    participants = sorted(rows["subject"].unique())
    j = np.array([participants.index(s) for s in rows["subject"]])
    depends_on = kwargs.get("depends_on") or {}
    regression = kwargs.get("regression") or {}
    levels = sorted(rows["condition"].unique())
    level = np.array([levels.index(c) for c in rows["condition"]])
    linear = {}
    for name, short in SHORT.items():
        if name in regression:
            matrix = formulaic.model_matrix(regression[name], rows)
            total = np.zeros(len(rows))
            for column in matrix.columns:
                if intercept_only and column != "Intercept":
                    continue
                beta = draws[f"{name}_{column}"][k] + draws[f"sd_{name}_{column}"][k] * draws[f"z_{name}_{column}"][k]
                total += np.asarray(matrix[column]) * beta[j]
            linear[name] = total
        elif f"{short}_participant" in draws:  # centred
            linear[name] = draws[f"{short}_participant"][k][j]
        else:
            mu = draws[f"mu_{short}"][k]
            mu = mu[level] if name in depends_on else mu
            linear[name] = mu + draws[f"sd_{short}"][k] * draws[f"z_{short}"][k][j]
    by = ["subject", "condition"] if "non_decision_time" in depends_on else ["subject"]
    fastest = rows.groupby(by)["rt"].transform("min").to_numpy()
    extra = {}
    start = _sigmoid(linear["starting_point"])
    if kwargs.get("model") == "full":
        full_start = start if not intercept_only else _sigmoid(_rebuilt_start(kwargs, rows, draws, k))
        room = 2 * min(full_start.min(), 1 - full_start.max())
        extra = {"sv": np.exp(draws["log_sv"][k]), "sz": room * _sigmoid(draws["logit_sz"][k]),
                 "st": np.exp(draws["log_st"][k])}
    # With contaminants t0's lower end is free of the fastest response (log link).
    contaminants = bool(kwargs.get("p_outlier"))
    lower = np.exp(linear["non_decision_time"]) if contaminants else fastest * _sigmoid(linear["non_decision_time"])
    values = {"drift_rate": linear["drift_rate"], "boundary_separation": np.exp(linear["boundary_separation"]),
              "starting_point": start, "non_decision_time": lower + extra.get("st", 0.0) / 2}
    return values, extra, fastest


def _rebuilt_start(kwargs, rows, draws, k):
    values, _, _ = _rebuilt({**kwargs, "model": "ddm"}, rows, draws, k)
    return np.log(values["starting_point"] / (1 - values["starting_point"]))


def _point(model, draws, k):
    """Draw k as a point of the model's value variables (transformed)."""
    point = {}
    for value in model.value_vars:
        rv = model.values_to_rvs[value]
        transform = model.rvs_to_transforms.get(rv)
        x = draws[rv.name][k]
        point[value.name] = x if transform is None else transform.forward(pt.as_tensor(x), *rv.owner.inputs).eval()
    return point


def test_every_prior_draw_is_inside_the_model(prior):
    kwargs, rows, model, draws = prior
    assert np.isfinite(draws["starting_point"]).all()
    for k in range(N_DRAWS):
        values, extra, fastest = _rebuilt(kwargs, rows, draws, k)
        # The model's own sz and st (its deterministics), about the trials' values.
        sz, st = (draws[name][k] if name in draws else 0.0 for name in ("sz", "st"))
        start = values["starting_point"]
        assert ((start - sz / 2 > 0) & (start + sz / 2 < 1)).all()
        lower = values["non_decision_time"] - st / 2
        assert (lower > 0).all()
        if not kwargs.get("p_outlier"):  # else a trial below t0 is a contaminant
            assert (lower < fastest).all()
        assert (values["boundary_separation"] > 0).all()


@pytest.mark.parametrize("k", [0, 1, 2, 3])
def test_likelihood_is_the_density_at_the_draw(prior, k):
    kwargs, rows, model, draws = prior
    values, extra, _ = _rebuilt(kwargs, rows, draws, k)
    if kwargs.get("p_outlier") == "free":
        extra["p_outlier"] = draws["p_outlier"][k]
    elif kwargs.get("p_outlier"):
        extra["p_outlier"] = kwargs["p_outlier"]
    if "outlier_window" in kwargs:
        extra["outlier_window"] = kwargs["outlier_window"]
    expected = corvatel.wfpt_logpdf(rows["rt"].to_numpy(), rows["choice"].to_numpy(), values["drift_rate"],
                                    values["boundary_separation"], values["starting_point"],
                                    values["non_decision_time"], **extra)
    logp = model.compile_logp(vars=[model["trials"]], sum=False, jacobian=False)
    got = logp(_point(model, draws, k))[0]
    assert np.isfinite(got).all()
    np.testing.assert_allclose(got, expected, rtol=1e-9)


@pytest.mark.parametrize("k", [0, 1])
def test_t0_share_jacobian_is_in_the_model(prior, k):
    # One factor 1 - s per participant (per participant and level when t0
    # has a mean per level), s its t0 window's lower end over the fastest
    # response that bounds it; none with a regression on t0.
    kwargs, rows, model, draws = prior
    if "non_decision_time" in (kwargs.get("regression") or {}) or kwargs.get("p_outlier"):
        assert not model.potentials  # t0 is no share of the fastest response
        return
    values, extra, fastest = _rebuilt(kwargs, rows, draws, k)
    share = (values["non_decision_time"] - extra.get("st", 0.0) / 2) / fastest
    by = ["subject", "condition"] if "non_decision_time" in (kwargs.get("depends_on") or {}) else ["subject"]
    per_cell = pd.Series(share).groupby([rows[c].to_numpy() for c in by]).first()
    [potential] = model.replace_rvs_by_values(model.potentials)
    got = model.compile_fn(potential, inputs=model.value_vars, on_unused_input="ignore")(_point(model, draws, k))
    assert float(got) == pytest.approx(float(np.log1p(-per_cell).sum()), rel=1e-9)


@pytest.mark.parametrize("k", [0, 1])
def test_gradient_is_the_log_densitys_slope_at_the_draw(prior, k):
    # The sampler follows dlogp: every value variable's derivative against
    # central differences of logp (a participant's trials share its start,
    # so a gradient sent to each of them, as min's is, counts it 15 times).
    _, _, model, draws = prior
    point = _point(model, draws, k)
    logp, dlogp = model.compile_logp(), model.compile_dlogp()
    names = [value.name for value in model.value_vars]
    got = dlogp(point)
    at = 0
    for name in names:
        for index in np.ndindex(np.shape(point[name])):
            def shifted(step, name=name, index=index):
                moved = {**point, name: np.array(point[name], dtype=float)}
                moved[name][index] += step
                return logp(moved)
            h = 1e-5
            expected = (shifted(h) - shifted(-h)) / (2 * h)
            assert got[at] == pytest.approx(expected, rel=1e-4, abs=1e-4), (name, index)
            at += 1


def test_reported_values_are_the_cells_at_the_intercept(prior):
    # The participants' table reports the deterministic per-cell values; a
    # regression's at its intercept (every covariate 0).
    kwargs, rows, model, draws = prior
    participants = sorted(rows["subject"].unique())
    levels = sorted(rows["condition"].unique())
    with_levels = bool(kwargs.get("depends_on"))
    for k in range(0, N_DRAWS, 50):
        values, _, _ = _rebuilt(kwargs, rows, draws, k, intercept_only=True)
        for name in PARAMS:
            cells = draws[name][k]
            for i, (subject, condition) in enumerate(zip(rows["subject"], rows["condition"])):
                where = ((participants.index(subject), levels.index(condition)) if with_levels
                         else participants.index(subject))
                assert cells[where] == pytest.approx(values[name][i], rel=1e-9)


def _fit(data, **kwargs):
    # Short runs: r_hat and divergence warnings are expected, not tested here.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return corvatel.fit_hierarchical(data, **kwargs)


SLOPE_SETS = pd.DataFrame({"subject": np.repeat([1, 2, 3, 4], 3), "coh": [-0.5, 0.0, 0.5] * 4,
                           "drift": np.repeat([0.6, 0.9, 1.1, 1.4], 3) + 2.0 * np.array([-0.5, 0.0, 0.5] * 4),
                           "boundary": 1.4, "start": 0.5, "t0": 0.3})


@pytest.fixture(scope="module")
def slope():
    """Four participants whose drift rises by 2 per unit of coh (20 trials
    per coh), fitted with a regression of drift on coh."""
    data = corvatel.simulate_data(SLOPE_SETS, 20, seed=6)
    return data, _fit(data, regression={"drift_rate": "1 + coh"}, chains=2, tune=100, draws=100, seed=4)


@pytest.mark.slow
def test_regression_recovers_a_clear_slope(slope):
    data, fit = slope
    summary = fit.summary()
    assert list(summary.index) == (["drift_rate_Intercept", "sd_drift_rate_Intercept", "drift_rate_coh",
                                    "sd_drift_rate_coh"] + GROUP[2:])
    # The slope's posterior sd is about 0.32 here (240 trials, coh sd 0.41;
    # this seed gives 1.67), so the bound of 1.0 is about 3 sd: about 1 in
    # 400 seeds would fail a correct model; a missing or mis-signed slope
    # fails it by far. The intercept's sd is about 0.38: its bound of 1.2 is
    # about 3 sd too.
    assert abs(summary.loc["drift_rate_coh", "mean"] - 2.0) < 1.0
    assert abs(summary.loc["drift_rate_Intercept", "mean"] - 1.0) < 1.2
    posterior = fit.idata.posterior
    assert posterior["z_drift_rate_coh"].dims == ("chain", "draw", "participant")
    # The table's drift is the participant's intercept's posterior mean.
    intercepts = posterior["drift_rate_Intercept"] + posterior["sd_drift_rate_Intercept"] * posterior[
        "z_drift_rate_Intercept"]
    table = fit.participants()
    np.testing.assert_allclose(table["drift_rate"], intercepts.mean(dim=("chain", "draw")), rtol=1e-9)
    np.testing.assert_array_equal(table["n_valid"], [60] * 4)


@pytest.mark.parametrize("model, p_outlier", [("full", "free"), ("ddm", None), ("ddm", 0.05)])
def test_participants_table_has_the_columns_of_fits(model, p_outlier):
    # Prior draws stand in for a posterior: the table's shape does not
    # depend on how the draws were made, and NUTS on model "full" is slow.
    from corvatel._hierarchical import HierarchicalFit

    data = DATA[DATA["condition"] == "a"].reset_index(drop=True)
    design, options, _ = _prepare(data, subject="subject", depends_on=None, model=model, p_outlier=p_outlier,
                                  outlier_window=None, regression=None, choice="choice", rt="rt", upper=None,
                                  rt_unit=None)
    fit = HierarchicalFit(inference_data(posterior=_prior_draws(_model(design, options), 100, 3)), "subject",
                          None, design, options)
    estimated = ["sv", "sz", "st"] * (model == "full") + ["p_outlier"] * (p_outlier == "free")
    assert list(fit.summary().index) == GROUP + estimated
    table = fit.participants()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # fit's flags of its fits
        ml = corvatel.fit(data, by="subject", method="ml", model=model, p_outlier=p_outlier or 0.0)
    fitted = list(ml.columns[:ml.columns.get_loc("p_outlier") + 1])
    # fit's columns in its order (up to its search's figures), then the sds:
    # tables of either kind stack.
    assert list(table.columns[:len(fitted)]) == fitted
    assert (table.dtypes[fitted] == ml.dtypes[fitted]).all()
    pd.testing.assert_frame_equal(table[fitted[:6]], ml[fitted[:6]])
    sds = [f"{name}_sd" for name in fitted[6:] if name in PARAMS or name in estimated]
    assert list(table.columns[len(fitted):]) == sds + ["warning", "error"]
    posterior = fit.idata.posterior
    for name in ("sv", "sz", "st", "p_outlier"):
        if name in estimated:
            np.testing.assert_allclose(table[name], float(posterior[name].mean()))
            np.testing.assert_allclose(table[f"{name}_sd"], float(posterior[name].std()))
        else:  # the model's fixed value, fit's too
            np.testing.assert_array_equal(table[name], ml[name])
    np.testing.assert_allclose(table["non_decision_time"], posterior["non_decision_time"].mean(dim=("chain", "draw")))
    assert (table["noise_sd"] == 1.0).all() and (table["error"] == "").all()


def _prior_draws(model, draws, seed):
    """Prior draws of every variable but the trials, as a posterior group
    (one chain): draws of the trials at extreme prior parameters may not end
    within the simulator's cap, and none are needed."""
    names = [rv.name for rv in model.free_RVs] + [v.name for v in model.deterministics]
    with warnings.catch_warnings():
        # The t0 link's Jacobian (a Potential) belongs to the likelihood.
        warnings.filterwarnings("ignore", "The effect of Potentials", UserWarning)
        prior = pm.sample_prior_predictive(draws=draws, model=model, var_names=names, random_seed=seed)
    return _arviz.group(prior, "prior")


TABLE = pd.DataFrame({"subject": [1, 1, 2, 2], "condition": ["a", "b", "a", "b"], "coh": [0.1, 0.2, 0.1, 0.2],
                      "choice": [1, 0, 1, 1], "rt": [0.5, 0.6, 0.7, 0.8]})


@pytest.mark.parametrize("kwargs, error, match", [
    ({"model": "angle"}, ValueError, "model must be one of 'ddm', 'full'; got 'angle'"),
    ({"p_outlier": "fixed"}, ValueError, 'p_outlier must be a number or "free"'),
    ({"p_outlier": 1.0}, ValueError, r"p_outlier must be in \[0, 1\)"),
    ({"p_outlier": True}, TypeError, "p_outlier must be a number"),
    ({"outlier_window": (3.0, 1.0)}, ValueError, "outlier_window"),
    ({"outlier_window": 3.0}, TypeError, "outlier_window must be a pair"),
    ({"outlier_window": {}}, TypeError, "outlier_window must be a pair"),
    ({"regression": {"sv": "1 + coh"}}, ValueError, "regression: 'sv' is not a parameter"),
    ({"regression": {"drift_rate": "1 + noise"}}, ValueError, r"regression\['drift_rate'\]: '1 \+ noise'.*noise"),
    ({"regression": {"drift_rate": "0 + coh"}}, ValueError, "has no intercept"),
    ({"regression": {"drift_rate": "1 + I(0 * coh + 2)"}}, ValueError, "columns that the others determine"),
    ({"regression": {"drift_rate": "1 + C(condition) + coh"}}, ValueError,
     "columns that the others determine"),
    ({"subject": "choice"}, ValueError, "subject: column 'choice' is the choice column"),
    ({"target_accept": 1.0}, ValueError, r"target_accept must be in \(0, 1\), not 1.0"),
    ({"target_accept": np.nan}, ValueError, "target_accept must be in"),
    ({"target_accept": "0.9"}, TypeError, "target_accept must be a number"),
    ({"target_accept": True}, TypeError, "target_accept must be a number"),
    ({"rt": "subject"}, ValueError, "subject: column 'subject' is the rt column"),
    ({"regression": {"drift_rate": "rt ~ coh"}}, TypeError, "right-hand-side formula"),
    ({"regression": ["drift_rate"]}, TypeError, "regression must be"),
    ({"regression": {"drift_rate": "1 + coh"}, "depends_on": {"drift_rate": "condition"}}, ValueError,
     "'drift_rate' is in both depends_on and regression"),
])
def test_refused_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        corvatel.fit_hierarchical(TABLE, **kwargs)


def _design_of(data, **kwargs):
    return _prepare(data, subject="subject", depends_on=None, model="ddm", p_outlier=None, outlier_window=None,
                    regression=None, choice="choice", rt="rt", upper=None, rt_unit=None, **kwargs)[0]


def test_invalid_rows_refused_or_left_out():
    # t0 lies below each participant's fastest response: a response at 0
    # leaves none. drop_invalid leaves such rows out, with NaN and negative
    # times and missing choices, and a participant left with no trials.
    clean = DATA[DATA["subject"] != "p3"]
    invalid = DATA[DATA["subject"] != "p1"].iloc[[0, 3, 20, 25]].assign(rt=[0.0, np.nan, -1.0, 0.0])
    invalid.loc[invalid.index[[0]], "subject"] = "p4"
    invalid = pd.concat([invalid, clean.iloc[[7]].assign(choice=None)])
    messy = pd.concat([clean.iloc[:10], invalid, clean.iloc[10:]])
    with pytest.raises(ValueError, match="response-time column 'rt' has 2 NaN, infinite or negative value"):
        _design_of(messy)
    at_zero = clean.copy()
    at_zero.loc[at_zero.index[[4, 30]], "rt"] = 0.0
    with pytest.raises(ValueError, match=r"'rt' has 2 response time\(s\) of 0 \(rows 4, 30\); pass drop_invalid"):
        _design_of(at_zero)
    dropped, expected = _design_of(messy, drop_invalid=True), _design_of(clean)
    assert dropped.participants == expected.participants == ["p1", "p2"]
    np.testing.assert_array_equal(dropped.observed, expected.observed)
    np.testing.assert_array_equal(dropped.fastest, expected.fastest)
    pd.testing.assert_frame_equal(dropped.rows, expected.rows, check_dtype=False)  # None made choice object


def test_refuses_a_missing_covariate():
    with pytest.raises(ValueError, match="regression\\['drift_rate'\\]: column 'coh' has missing values"):
        corvatel.fit_hierarchical(TABLE.assign(coh=[0.1, None, 0.1, 0.2]), regression={"drift_rate": "1 + coh"})


class _Sampled(Exception):
    """Stands in for sampling: the arguments were all taken."""


def _not_sampled(*args, **kwargs):
    raise _Sampled


# Odd values for every argument, and tables coded in odd ways: each call
# must either build its model (and reach the sampler) or raise ValueError or
# TypeError naming what is wrong; never another exception from deep inside
# pandas, formulaic or PyMC.
ODD_VALUES = [None, 0, -1, 1.5, np.nan, np.inf, -0.0, 1e-300, 10**20, True, "", "x", "free", "ddm", "full", "ms",
              "s", "subject", "condition", b"y", [], (), (1,), (1, 2), ("a", "b"), ["subject"], {}, np.int64(2),
              np.float32(0.5), pd.NA, {"drift_rate": "condition"}, {"drift_rate": None}, {"drift_rate": 1},
              {"drift_rate": ["condition"]}, {1: "condition"}, {"x": "y"}, {"boundary_separation": "1 + coh"},
              {"drift_rate": "1 + C(condition)"}, {"starting_point": "1 + coh + condition"}]
ARGUMENTS = ["subject", "depends_on", "model", "p_outlier", "outlier_window", "regression", "chains", "draws",
             "tune", "seed", "progress", "choice", "rt", "upper", "rt_unit", "drop_invalid", "parametrization",
             "sampler", "target_accept"]


def _odd_tables():
    base = DATA[DATA["subject"] != "p3"].iloc[::3].copy()  # 20 trials each of p1 and p2
    with_nan = base.astype({"choice": float})
    with_nan.loc[with_nan.index[[3, 30]], ["rt", "choice"]] = np.nan
    unused = base.assign(subject=pd.Categorical(base["subject"], categories=["p0", "p1", "p2"]))
    return {
        "plain": base,
        "choice as words": base.assign(choice=np.where(base["choice"], "upper", "lower")),
        "choice as 0/1": base.assign(choice=base["choice"].astype(int)),
        "choice nullable with NA": base.assign(choice=pd.array([pd.NA] + list(base["choice"].astype(int))[1:],
                                                                dtype="Int64")),
        "choice -1/1": base.assign(choice=2 * base["choice"].astype(int) - 1),
        "rt in ms": base.assign(rt=base["rt"] * 1000.0),
        "rt as text": base.assign(rt=base["rt"].astype(str)),
        "rt mixed objects": base.assign(rt=[0.5, "0.6", None] + list(base["rt"])[3:]),
        "nan rows": with_nan,
        "subject with NaN": base.assign(subject=[np.nan] + list(base["subject"])[1:]),
        "subject as tuples": base.assign(subject=[(s, 1) for s in base["subject"]]),
        "unused category": unused,
        "one participant": base[base["subject"] == "p1"],
        "one row": base.iloc[:1],
        "empty": base.iloc[:0],
        "duplicate columns": pd.concat([base, base[["rt"]]], axis=1),
        "two-level columns": base.set_axis(pd.MultiIndex.from_product([["x"], base.columns]), axis=1),
        "columns only": pd.DataFrame(columns=base.columns),
        "dict of lists": base.to_dict(orient="list"),
        "array": base[["rt", "choice"]].to_numpy(),
        "series": base["rt"],
        "none": None,
        "text": "trials.csv",
    }


ODD_TABLES = _odd_tables()


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(table=st.one_of(st.just("plain"), st.sampled_from(sorted(ODD_TABLES))),
       arguments=st.dictionaries(st.sampled_from(ARGUMENTS), st.sampled_from(ODD_VALUES), max_size=3))
def test_odd_arguments_and_tables_raise_clear_errors(monkeypatch, table, arguments):
    monkeypatch.setattr(hierarchical, "_sample", _not_sampled)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            corvatel.fit_hierarchical(ODD_TABLES[table], **arguments)
        except (_Sampled, ValueError, TypeError):
            pass


CLI_SETS = pd.DataFrame({"subject": np.repeat([1, 2, 3], 2), "condition": ["a", "b"] * 3, "drift": [0.5, 1.5] * 3,
                         "boundary": 1.3, "start": 0.5, "t0": 0.3})
CLI_ARGS = {"depends_on": {"drift_rate": "condition"}, "p_outlier": 0.05, "chains": 2, "draws": 20, "tune": 20,
            "seed": 3}


@pytest.fixture(scope="module")
def cli_run(tmp_path_factory):
    """corvatel fit --method bayes on a small table with two invalid rows
    (dropped), every output asked for."""
    from corvatel import cli

    directory = tmp_path_factory.mktemp("bayes")
    data = corvatel.simulate_data(CLI_SETS, 15, seed=1)
    invalid = data.iloc[[3, 40]].assign(rt=[0.0, -0.5])
    pd.concat([data.iloc[:20], invalid, data.iloc[20:]]).to_csv(directory / "trials.csv", index=False)
    paths = {name: directory / name for name in ("summary.csv", "fit.nc", "subjects.csv", "check.png")}
    status = cli.main([str(a) for a in (
        "fit", directory / "trials.csv", "--method", "bayes", "--drop-invalid", "--subject", "subject", "--depends-on",
        "drift_rate=condition", "--p-outlier", "0.05", "--chains", "2", "--draws", "20", "--tune", "20", "--seed",
        "3", "-o", paths["summary.csv"], "--idata", paths["fit.nc"], "--participants", paths["subjects.csv"],
        "--plot", paths["check.png"])])
    return data, status, paths


@pytest.mark.slow
def test_cli_writes_what_the_library_gives(cli_run):
    import arviz as az

    data, status, paths = cli_run
    assert status == 0 and all(path.stat().st_size > 0 for path in paths.values())
    fit = _fit(data, **CLI_ARGS)
    summary = pd.read_csv(paths["summary.csv"])
    assert list(summary["parameter"]) == list(fit.summary().index)
    np.testing.assert_allclose(summary["mean"], fit.summary()["mean"])
    idata = az.from_netcdf(paths["fit.nc"])
    assert idata.log_likelihood["trials"].shape == (2, 20, len(data))
    # The same arguments reached the sampler: the same draws.
    for name in ("mu_drift", "sd_t0", "starting_point"):
        np.testing.assert_array_equal(idata.posterior[name].to_numpy(), fit.idata.posterior[name].to_numpy())
    written = pd.read_csv(paths["subjects.csv"], dtype={"warning": object, "error": object})
    # --drop-invalid counts the two invalid rows in their own rows of the table.
    invalid = data.iloc[[3, 40]].groupby(["subject", "condition"]).size()
    counts = written.set_index(["subject", "condition"])["n_dropped"]
    assert counts.sum() == 2 and (counts[invalid.index] == invalid).all()
    pd.testing.assert_frame_equal(written.drop(columns="n_dropped").fillna({"warning": "", "error": ""}),
                                  fit.participants().astype({"condition": object}), check_dtype=False)


@pytest.mark.parametrize("argv, message", [
    ([], "--method bayes needs --subject"),
    (["--subject", "subject", "--by", "subject"], "--by does not apply to --method bayes"),
    (["--subject", "subject", "--workers", "2"], "--workers does not apply to --method bayes"),
    (["--subject", "subject", "--model", "angle"], "--model angle does not apply to --method bayes"),
    (["--subject", "subject", "--p-outlier", "2"], r"--p-outlier must be in \[0, 1\)"),
    (["--subject", "subject", "--depends-on", "sv=condition"], "'sv' is not a parameter of the hierarchical"),
    (["--subject", "subject", "--depends-on", "drift_rate=a,b"], "takes one column"),
    (["--subject", "subject", "--idata", "fit.txt"], "--idata fit.txt: the file name must end in .nc"),
    (["--subject", "subject", "--chains", "0"], "--chains"),
    (["--subject", "subject", "--target-accept", "1"], r"--target-accept must be in \(0, 1\), not 1"),
    (["--subject", "subject", "--target-accept", "high"], "--target-accept wants a number"),
])
def test_cli_usage_errors_exit_2(tmp_path, capsys, argv, message):
    from cli_runner import run

    DATA.to_csv(tmp_path / "trials.csv", index=False)
    status, _, err = run(capsys, "fit", tmp_path / "trials.csv", "--method", "bayes", *argv, "-o",
                         tmp_path / "summary.csv")
    assert status == 2
    assert pd.Series([err]).str.contains(message).all(), err
    assert not (tmp_path / "summary.csv").exists()


@pytest.mark.parametrize("argv, message", [
    (["--subject", "subject"], "--subject needs --method bayes"),
    (["--seed", "1"], "--seed needs --method bayes"),
    (["--idata", "fit.nc"], "--idata needs --method bayes"),
    (["--target-accept", "0.95"], "--target-accept needs --method bayes"),
])
def test_cli_bayes_options_need_the_method(tmp_path, capsys, argv, message):
    from cli_runner import run

    DATA.to_csv(tmp_path / "trials.csv", index=False)
    status, _, err = run(capsys, "fit", tmp_path / "trials.csv", "--method", "ml", *argv, "-o",
                         tmp_path / "fits.csv")
    assert status == 2 and message in err


def test_cli_unknown_subject_column_is_a_data_error(tmp_path, capsys):
    from cli_runner import run

    DATA.to_csv(tmp_path / "trials.csv", index=False)
    status, _, err = run(capsys, "fit", tmp_path / "trials.csv", "--method", "bayes", "--subject", "participant",
                         "-o", tmp_path / "summary.csv")
    assert status == 1 and "column 'participant' not found" in err


@pytest.mark.parametrize("parametrization, trials, kwargs, expected", [
    ("non-centred", CENTRED_FROM, {}, set()),
    ("centred", 10, {}, set(PARAMS)),
    ("auto", CENTRED_FROM - 1, {}, set()),
    # Many trials: the well-determined parameters centred, the starting
    # point (often of little spread) not.
    ("auto", CENTRED_FROM, {}, {"drift_rate", "boundary_separation", "non_decision_time"}),
    # A mean per level or a regression keeps a parameter non-centred.
    ("centred", 10, {"depends_on": {"drift_rate": "condition"}, "regression": {"starting_point": "1 + coh"}},
     {"boundary_separation", "non_decision_time"}),
])
def test_which_parameters_are_centred(parametrization, trials, kwargs, expected):
    data = corvatel.simulate_data(SETS, -(-trials // 4), seed=1)
    # One participant short of the count, the others above it.
    data = data.drop(index=data.index[(data["subject"] == "p1")][: 4 * -(-trials // 4) - trials])
    arguments = {"subject": "subject", "depends_on": None, "model": "ddm", "p_outlier": None,
                 "outlier_window": None, "regression": None, "choice": "choice", "rt": "rt", "upper": None,
                 "rt_unit": None, **kwargs}
    design, options, _ = _prepare(data, **arguments)
    assert int(np.bincount(design.participant).min()) == trials
    assert _centred(parametrization, design, options) == expected


@pytest.mark.parametrize("start_spread, asked, centred_start, target_accept", [
    (0.5, None, True, 0.9), (0.0, None, False, 0.8), (0.0, 0.97, False, 0.97)])
def test_starting_point_centred_when_its_spread_is_clear(monkeypatch, start_spread, asked, centred_start,
                                                         target_accept):
    # 12 participants of CENTRED_FROM trials. A log-odds spread of 0.5 is
    # some 25 times the noise variance of a start estimated from 200 trials
    # (missed about never); a spread of 0 is taken for one 2.4% of seeds.
    # The target acceptance follows unless asked for.
    rng = np.random.default_rng(11)
    sets = pd.DataFrame({"subject": np.arange(12), "drift": rng.normal(1.0, 0.5, 12), "boundary": 1.5,
                         "start": 1.0 / (1.0 + np.exp(-rng.normal(0.0, start_spread, 12))), "t0": 0.3})
    data = corvatel.simulate_data(sets, CENTRED_FROM, seed=4)
    sampled = {}

    def record(model, **kwargs):
        sampled.update(kwargs, variables={v.name for v in model.free_RVs})
        raise _Sampled

    monkeypatch.setattr(hierarchical, "_sample", record)
    with pytest.raises(_Sampled):
        corvatel.fit_hierarchical(data, target_accept=asked)
    assert ("start_participant" in sampled["variables"]) == centred_start
    assert ("z_start" in sampled["variables"]) != centred_start
    assert sampled["target_accept"] == target_accept


def test_participants_flag_the_r_hat_of_their_own_parameters():
    # Two chains of the same prior draws, the second with participant p2's
    # drift moved by 5: only p2's row is flagged, and only for drift. (The
    # same draws in both chains give r_hat near 1; the move gives about 3.)
    import xarray as xr

    from corvatel._hierarchical import HierarchicalFit

    design, options, _ = _prepare(DATA, subject="subject", depends_on=None, model="ddm", p_outlier=None,
                                  outlier_window=None, regression=None, choice="choice", rt="rt", upper=None,
                                  rt_unit=None)
    prior = _prior_draws(_model(design, options), 400, 5)
    moved = prior.copy(deep=True)
    moved["drift_rate"].loc[{"participant": "p2"}] += 5.0
    fit = HierarchicalFit(inference_data(posterior=xr.concat([prior, moved], dim="chain")), "subject", None,
                          design, options)
    assert _beside_misfit(fit.participants()["warning"]) == ["", "r_hat above 1.01 (drift_rate)", ""]


def _beside_misfit(warnings):
    """The warnings without "distribution misfit", which a posterior of prior
    draws earns everywhere (its means do not describe the trials)."""
    return ["; ".join(f for f in w.split("; ") if f and f != "distribution misfit") for w in warnings]


@pytest.mark.parametrize("p_outlier, fast_flag", [(None, "responses under 0.1 s"), (0.05, "")])
def test_participants_flag_suspect_trials(p_outlier, fast_flag):
    # p1's times in milliseconds read as seconds (far slower than the model
    # allows); one response of p3 at 0.05 s, which contaminants in the
    # model may explain.
    from corvatel._hierarchical import HierarchicalFit

    data = DATA.copy()
    data.loc[data["subject"] == "p1", "rt"] *= 1000.0
    data.loc[data.index[data["subject"] == "p3"][2], "rt"] = 0.05
    design, options, _ = _prepare(data, subject="subject", depends_on=None, model="ddm", p_outlier=p_outlier,
                                  outlier_window=None, regression=None, choice="choice", rt="rt", upper=None,
                                  rt_unit=None)
    fit = HierarchicalFit(inference_data(posterior=_prior_draws(_model(design, options), 50, 5)), "subject", None,
                          design, options)
    assert _beside_misfit(fit.participants()["warning"]) == ["rt looks like ms; improbably slow response", "",
                                                             fast_flag]


def test_fit_warns_of_flagged_participants_before_sampling():
    from corvatel._hierarchical import _warn_of_trials

    data = DATA.copy()
    data.loc[data["subject"] != "p2", "rt"] *= 1000.0
    data.loc[data.index[data["subject"] == "p2"][2], "rt"] = 0.05
    design, options, _ = _prepare(data, subject="subject", depends_on=None, model="ddm", p_outlier=None,
                                  outlier_window=None, regression=None, choice="choice", rt="rt", upper=None,
                                  rt_unit=None)
    with pytest.warns(UserWarning) as caught:
        _warn_of_trials(design, options)
    assert [str(w.message).split(" (")[0] for w in caught] == [
        "rt looks like ms: participant(s) p1, p3", "responses under 0.1 s: participant(s) p2"]
    with pytest.warns(UserWarning) as caught:
        _warn_of_trials(design, replace(options, p_outlier=0.05))  # fast responses are the contaminants' own
    assert [str(w.message).split(":")[0] for w in caught] == ["rt looks like ms"]


def _prior_fit(data, chains=1, seed=5, **kwargs):
    """A HierarchicalFit of `data` whose posterior is prior draws (chains
    of 100 draws, each from its own seed): a participants' table without
    sampling."""
    import xarray as xr

    from corvatel._hierarchical import HierarchicalFit

    arguments = {"subject": "subject", "depends_on": None, "model": "ddm", "p_outlier": None,
                 "outlier_window": None, "regression": None, "choice": "choice", "rt": "rt", "upper": None,
                 "rt_unit": None, **kwargs}
    design, options, level_column = _prepare(data, **arguments)
    model = _model(design, options)
    posterior = xr.concat([_prior_draws(model, 100, seed + k) for k in range(chains)], dim="chain")
    return HierarchicalFit(inference_data(posterior=posterior), "subject", level_column, design, options)


@pytest.mark.parametrize("depends_on", [None, {"drift_rate": "condition"}])
def test_participants_count_dropped_rows_and_show_emptied_groups(depends_on):
    # p1 loses three rows (a NaN, a negative and a zero time), p2 every
    # row of condition b (missing choices), p4 every row it has: as in
    # fit's tables, each row counts its dropped rows in n_dropped, and a
    # participant (or level) left with none has a row with an error.
    data = DATA[DATA["subject"] != "p3"].copy()
    p1 = data.index[data["subject"] == "p1"]
    data.loc[p1[[0, 5, 9]], "rt"] = [np.nan, -0.4, 0.0]
    data["choice"] = data["choice"].astype(object)
    data.loc[(data["subject"] == "p2") & (data["condition"] == "b"), "choice"] = None
    p4 = DATA[DATA["subject"] == "p3"].groupby("condition").head(2).assign(subject="p4", rt=np.nan)
    data = pd.concat([data, p4])
    table = _prior_fit(data, depends_on=depends_on, drop_invalid=True).participants()
    keys = ["subject"] + (["condition"] if depends_on else [])
    assert list(table.columns[:len(keys) + 2]) == keys + ["n_dropped", "n_valid"]
    expected = {("p1", "a"): (3, 27), ("p1", "b"): (0, 30), ("p2", "a"): (0, 30), ("p2", "b"): (30, 0),
                ("p4", "a"): (2, 0), ("p4", "b"): (2, 0)}
    if not depends_on:
        expected = {("p1",): (3, 57), ("p2",): (30, 30), ("p4",): (4, 0)}
    found = {tuple(row[keys]): (row["n_dropped"], row["n_valid"]) for _, row in table.iterrows()}
    assert found == {tuple(key[:len(keys)]): value for key, value in expected.items()}
    empty = table["n_valid"] == 0
    assert (table.loc[empty, "error"] == "no valid trials: every row dropped as invalid").all()
    assert table.loc[empty, ["drift_rate", "non_decision_time", "accuracy"]].isna().all().all()
    assert (table.loc[~empty, "error"] == "").all() and table.loc[~empty, "drift_rate"].notna().all()


def test_fit_warns_of_a_participant_left_with_no_trials(monkeypatch):
    monkeypatch.setattr(hierarchical, "_sample", _not_sampled)
    data = pd.concat([DATA, DATA.iloc[:3].assign(subject="p4", rt=[np.nan, -1.0, 0.0])])
    with pytest.warns(UserWarning, match=r"every row of participant\(s\) 'p4' was dropped as invalid"):
        with pytest.raises(_Sampled):
            corvatel.fit_hierarchical(data, drop_invalid=True)


@pytest.mark.parametrize("renamed, kwargs, match", [
    ({"subject": "warning"}, {"subject": "warning"}, "subject: column 'warning' has the name of a result column"),
    ({"subject": "n_dropped"}, {"subject": "n_dropped"}, "subject: column 'n_dropped'"),
    ({"condition": "accuracy"}, {"depends_on": {"drift_rate": "accuracy"}},
     "depends_on: column 'accuracy' has the name of a result column"),
    ({"condition": "drift_rate_sd"}, {"depends_on": {"starting_point": "drift_rate_sd"}},
     "depends_on: column 'drift_rate_sd'"),
])
def test_refuses_key_columns_named_like_result_columns(monkeypatch, renamed, kwargs, match):
    # The participants' table carries the subject and level columns beside
    # its own: refused before sampling, as fit refuses its by columns.
    monkeypatch.setattr(hierarchical, "_sample", _not_sampled)
    with pytest.raises(ValueError, match=match):
        corvatel.fit_hierarchical(DATA.rename(columns=renamed), **kwargs)


@pytest.mark.parametrize("table, kwargs, error, match", [
    ("plain", {"p_outlier": 0.05, "outlier_window": (0, 1, 2)}, TypeError, "outlier_window must be a pair"),
    ("plain", {"p_outlier": 0.05, "outlier_window": "05"}, TypeError, "outlier_window must be a pair"),
    ("plain", {"outlier_window": [0.0, 5.0, "junk"]}, TypeError, "outlier_window must be a pair"),
    ("coh twice", {"regression": {"drift_rate": "1 + coh"}}, ValueError,
     r"regression\['drift_rate'\]: column 'coh' appears 2 times"),
])
def test_refuses_malformed_outlier_windows_and_repeated_covariates(monkeypatch, table, kwargs, error, match):
    monkeypatch.setattr(hierarchical, "_sample", _not_sampled)
    data = DATA if table == "plain" else pd.concat([DATA, DATA[["coh"]]], axis=1)
    with pytest.raises(error, match=match):
        corvatel.fit_hierarchical(data, **kwargs)


@pytest.mark.parametrize("case", ["unused category", "category left by drop_invalid"])
def test_regression_ignores_unused_categories(case):
    # A category with no trial is no coefficient: as depends_on ignores
    # such a level, so does a regression (formulaic codes every category).
    data = DATA.assign(condition=pd.Categorical(DATA["condition"], categories=["a", "b", "c"]))
    if case == "category left by drop_invalid":
        lost = DATA.iloc[:4].assign(condition=pd.Categorical(["c"] * 4, categories=["a", "b", "c"]), rt=np.nan)
        data = pd.concat([data, lost], ignore_index=True)
    arguments = {"subject": "subject", "depends_on": None, "model": "ddm", "p_outlier": None,
                 "outlier_window": None, "regression": {"drift_rate": "1 + C(condition)"}, "choice": "choice",
                 "rt": "rt", "upper": None, "rt_unit": None}
    design, options, _ = _prepare(data, **arguments, drop_invalid=True)
    regression = options.regression["drift_rate"]
    assert regression.names == ["Intercept", "C(condition)[T.b]"]
    np.testing.assert_array_equal(regression.matrix[:, 1], design.rows["condition"] == "b")


@pytest.mark.parametrize("formula, name, warned", [
    ("1 + I(percent / 100)", "I(percent \N{DIVISION SIGN} 100)", False),  # PyMC refuses "/" in names
    ("1 + percent", "percent", True),
    ("1 + scale(percent)", "scale(percent)", False),
])
def test_covariates_in_percent(formula, name, warned):
    data = DATA.assign(percent=DATA["coh"] * 100 + 50)  # 0 or 100: sd 50
    arguments = {"subject": "subject", "depends_on": None, "model": "ddm", "p_outlier": None,
                 "outlier_window": None, "regression": {"drift_rate": formula}, "choice": "choice", "rt": "rt",
                 "upper": None, "rt_unit": None}
    design, options, _ = _prepare(data, **arguments)
    assert options.regression["drift_rate"].names == ["Intercept", name]
    assert f"drift_rate_{name}" in _model(design, options).named_vars
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        hierarchical._warn_of_covariates(design, options)
    assert [str(w.message).split(":")[1] for w in caught] == [" 'percent' has a standard deviation of 50 over the "
                                                               "trials"] * warned


@pytest.mark.parametrize("formula, constant", [
    ("1 + age", ["'age'"]),  # a participant's age: one value per participant
    ("1 + coh + C(group)", ["'C(group)[T.young]'"]),  # a between-participants factor
    ("1 + coh", []),
])
def test_warns_of_covariates_constant_within_participants(formula, constant):
    ages = {"p1": 0.2, "p2": 0.5, "p3": 0.9}
    data = DATA.assign(age=DATA["subject"].map(ages), group=DATA["subject"].map({"p1": "young"}).fillna("old"))
    arguments = {"subject": "subject", "depends_on": None, "model": "ddm", "p_outlier": None,
                 "outlier_window": None, "regression": {"drift_rate": formula}, "choice": "choice", "rt": "rt",
                 "upper": None, "rt_unit": None}
    design, options, _ = _prepare(data, **arguments)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        hierarchical._warn_of_covariates(design, options)
    assert [str(w.message).split(":")[1].split(" is constant")[0].strip() for w in caught] == [
        ", ".join(constant)] * bool(constant)


def test_participants_of_ids_of_mixed_types():
    # Ids as read_excel gives them (101, "101b"): the posterior's
    # coordinates hold them as text, the table as they are in the data.
    data = DATA.assign(subject=DATA["subject"].map({"p1": 101, "p2": "101b", "p3": 102}).astype(object))
    fit = _prior_fit(data, chains=2)
    table = fit.participants()
    posterior = fit.idata.posterior
    order = list(fit._design.participants)
    assert list(table["subject"]) == order and sorted(map(str, order)) == ["101", "101b", "102"]
    np.testing.assert_allclose(table["drift_rate"], posterior["drift_rate"].mean(dim=("chain", "draw")))
    assert (table["n_valid"] == 60).all()


def test_t0_per_level_of_a_participant_missing_a_level():
    # p3 has no trials of condition b: its t0 there has no response of its
    # own to stay below; the posterior holds a finite value (below p3's
    # fastest response) and the table, whose rows are the cells with
    # trials, comes without a numerical warning.
    data = DATA[~((DATA["subject"] == "p3") & (DATA["condition"] == "b"))]
    fit = _prior_fit(data, chains=2, depends_on={"drift_rate": "condition", "non_decision_time": "condition"})
    t0 = fit.idata.posterior["non_decision_time"].to_numpy()  # (chain, draw, participant, level)
    assert np.isfinite(t0).all()
    assert (t0[:, :, 2, 1] < data.loc[data["subject"] == "p3", "rt"].min()).all()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = fit.participants()
    assert [str(w.message) for w in caught] == []
    assert table[["subject", "condition"]].values.tolist() == [["p1", "a"], ["p1", "b"], ["p2", "a"], ["p2", "b"],
                                                                ["p3", "a"]]


SLOW_SETS = pd.DataFrame({"subject": ["p1", "p2"], "drift": [1.0, 1.5], "boundary": [1.2, 1.5], "start": 0.5,
                          "t0": [0.3, 0.25]})


def _warnings_at_truth(data, **kwargs):
    """participants()'s warnings for a posterior whose every draw is
    SLOW_SETS' true parameters."""
    import xarray as xr

    from corvatel._hierarchical import FITTED, HierarchicalFit

    arguments = {"subject": "subject", "depends_on": None, "model": "ddm", "p_outlier": None,
                 "outlier_window": None, "regression": None, "choice": "choice", "rt": "rt", "upper": None,
                 "rt_unit": None, **kwargs}
    design, options, _ = _prepare(data, **arguments)
    truth = SLOW_SETS.rename(columns={"drift": FITTED[0], "boundary": FITTED[1], "start": FITTED[2],
                                      "t0": FITTED[3]})
    posterior = xr.Dataset({name: (("chain", "draw", "participant"), np.tile(truth[name].to_numpy(dtype=float),
                                                                             (1, 10, 1))) for name in FITTED},
                           coords={"participant": design.participants})
    fit = HierarchicalFit(inference_data(posterior=posterior), "subject", None, design, options)
    return fit.participants()["warning"]


@pytest.mark.parametrize("lapse, kwargs, flagged", [
    (60.0, {}, [False, True]),
    (None, {}, [False, False]),
    # Contaminants on a window that holds the lapse explain it.
    (60.0, {"p_outlier": 0.05, "outlier_window": (0.0, 100.0)}, [False, False]),
    # A regression's values at the intercept are not those of the trials.
    (60.0, {"regression": {"drift_rate": "1 + coh"}}, [False, False]),
])
def test_participants_flag_an_improbably_slow_response(lapse, kwargs, flagged):
    # A posterior of the true parameters (every draw): at them a clean
    # participant of 150 trials is flagged with probability 0.001 (the
    # flag's level; this seed is not), and p2's lapse at 60 s, some 40
    # times its mean response time, with certainty.
    data = corvatel.simulate_data(SLOW_SETS, 150, seed=2).assign(coh=np.tile([-0.5, 0.5], 150))
    if lapse is not None:
        data.loc[data.index[data["subject"] == "p2"][7], "rt"] = lapse
    warning = _warnings_at_truth(data, **kwargs)
    assert [("improbably slow response" in w) for w in warning] == flagged


@pytest.mark.parametrize("guesses, kwargs, flagged", [
    (0, {}, [False, False]),
    (30, {}, [False, True]),
    (30, {"regression": {"drift_rate": "1 + coh"}}, [False, False]),
])
def test_participants_flag_a_distribution_misfit(guesses, kwargs, flagged):
    # At the true parameters a clean participant of 150 trials is flagged
    # with probability 0.01 (the test's level; this seed is not); 30 of
    # p2's trials made fast guesses at 0.1-0.2 s (Kolmogorov distance about
    # 0.19) are flagged with p about 3e-5.
    data = corvatel.simulate_data(SLOW_SETS, 150, seed=2).assign(coh=np.tile([-0.5, 0.5], 150))
    rng = np.random.default_rng(5)
    rows = data.index[data["subject"] == "p2"][:guesses]
    data.loc[rows, "rt"] = rng.uniform(0.1, 0.2, guesses)
    data.loc[rows, "choice"] = rng.random(guesses) < 0.5
    warning = _warnings_at_truth(data, **kwargs)
    assert [("distribution misfit" in w) for w in warning] == flagged
