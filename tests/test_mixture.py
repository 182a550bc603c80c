"""The contaminant mixture (p_outlier): its density, its simulation, the
likelihood fits that estimate or fix it, the table layer and the command
line."""

import math

import numpy as np
import pandas as pd
import pytest
from scipy import integrate, stats

import corvatel
from cli_runner import run

MODEL = {"drift": 1.0, "boundary": 1.5, "start": 0.5, "t0": 0.3}
WINDOWS = [(0.0, 5.0), (0.2, 1.5)]


def bits(x):
    return np.asarray(x, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("window", WINDOWS, ids=["default-window", "narrow-window"])
@pytest.mark.parametrize("p", [0.05, 0.3])
def test_mixture_density_integrates_to_one(p, window):
    lo, hi = window
    total = 0.0
    for choice in (False, True):
        def f(t):
            return corvatel.wfpt_pdf(t, choice, **MODEL, p_outlier=p, outlier_window=window)
        # In pieces between the kinks (t0, the window's ends), to beyond the
        # window, where the diffusion's mass left is below 1e-12.
        edges = sorted({0.0, MODEL["t0"], lo, hi, 1.0, 12.0})
        total += sum(integrate.quad(f, a, b, limit=200, epsabs=1e-12)[0] for a, b in zip(edges[:-1], edges[1:]))
    assert total == pytest.approx(1.0, abs=1e-7)


def test_zero_share_is_the_plain_density_bit_for_bit():
    rng = np.random.default_rng(3)
    rt = rng.uniform(0.0, 8.0, 500)
    choice = rng.random(500) < 0.5
    params = dict(MODEL, sv=0.4, sz=0.1, st=0.05)
    for density in (corvatel.wfpt_logpdf, corvatel.wfpt_pdf):
        plain = density(rt, choice, **params)
        assert np.array_equal(bits(density(rt, choice, **params, p_outlier=0.0)), bits(plain))
        assert np.array_equal(bits(density(rt, choice, **params, p_outlier=np.zeros(500), outlier_window=(1, 2))),
                              bits(plain))


def test_mixture_density_against_its_definition_and_far_below_underflow():
    p, (lo, hi) = 0.1, (0.0, 5.0)
    rt = np.array([0.005, 0.2, 0.6, 2.0, 4.99, 5.0, 5.01, 9.0])
    plain = corvatel.wfpt_pdf(rt, True, **MODEL)
    inside = (rt >= lo) & (rt <= hi)
    expected = (1 - p) * plain + np.where(inside, p * 0.5 / (hi - lo), 0.0)
    np.testing.assert_allclose(corvatel.wfpt_pdf(rt, True, **MODEL, p_outlier=p), expected, rtol=1e-13)
    # 400 s: the density underflows, its log is the diffusion's plus log(1 - p).
    far = corvatel.wfpt_logpdf(400.0, True, **MODEL)
    assert far < -745
    assert corvatel.wfpt_logpdf(400.0, True, **MODEL, p_outlier=p) == math.log1p(-p) + far
    assert corvatel.wfpt_logpdf(400.0, True, **MODEL, p_outlier=p, outlier_window=(0, 500)) == pytest.approx(
        math.log(p * 0.5 / 500))


def plain_and_contaminated(p, n, seed, window=(0.0, 5.0)):
    clean = corvatel.simulate_data(MODEL, n, seed)
    dirty = corvatel.simulate_data(dict(MODEL, p_outlier=p), n, seed, outlier_window=window)
    return clean, dirty


def test_simulated_contaminants_follow_the_mixture():
    p, n, window = 0.3, 20_000, (0.1, 3.0)
    clean, dirty = plain_and_contaminated(p, n, 12, window)
    replaced = (clean["rt"].to_numpy() != dirty["rt"].to_numpy())
    # The other trials are the plain ones, bit for bit.
    kept = ~replaced
    assert np.array_equal(bits(clean["rt"][kept]), bits(dirty["rt"][kept]))
    assert np.array_equal(clean["choice"][kept], dirty["choice"][kept])
    # Fixed seed; each bound is 4.5 standard errors (a binomial count), a
    # false-alarm rate of 7e-6 each, and the uniformity test fails with
    # probability 1e-4 on a correct simulation.
    share = replaced.mean()
    assert abs(share - p) < 4.5 * math.sqrt(p * (1 - p) / n)
    upper = dirty["choice"][replaced].mean()
    assert abs(upper - 0.5) < 4.5 * math.sqrt(0.25 / replaced.sum())
    times = dirty["rt"][replaced].to_numpy()
    assert times.min() >= window[0] and times.max() <= window[1]
    assert stats.kstest(times, stats.uniform(window[0], window[1] - window[0]).cdf).pvalue > 1e-4


def test_no_share_or_zero_share_simulates_todays_trials():
    clean, zero = plain_and_contaminated(0.0, 300, 5)
    pd.testing.assert_frame_equal(clean, zero)
    # Per row: the contaminants of one row leave the others alone.
    table = pd.DataFrame([dict(MODEL, p_outlier=0.0), dict(MODEL, p_outlier=0.2)])
    both = corvatel.simulate_data(table, 200, 9)
    alone = corvatel.simulate_data(table.iloc[[0]], 200, 9)
    assert np.array_equal(bits(both["rt"][both["param_set"] == 0]), bits(alone["rt"]))
    assert "p_outlier" not in both.columns


def contaminated_set(seed, n=500, share=0.05):
    """A 500-trial data set of the model with 5% contaminants: half fast
    guesses uniform on 0-0.2 s, half slow lapses uniform on 0.2-5 s, either
    response at random."""
    choices, rts, _ = corvatel.simulate(MODEL["drift"], MODEL["boundary"], MODEL["start"], MODEL["t0"], n, seed)
    rng = np.random.default_rng(seed)
    k = int(round(share * n))
    which = rng.choice(len(rts), k, replace=False)
    fast = k // 2
    rts[which[:fast]] = rng.uniform(0.0, 0.2, fast)
    rts[which[fast:]] = rng.uniform(0.2, 5.0, k - fast)
    choices[which] = rng.random(k) < 0.5
    return choices, rts


@pytest.mark.slow
def test_recovery_with_contaminants():
    """Eight contaminated data sets (fixed seeds), each fitted plain, with
    p_outlier free and fixed at 0.05, against the plain fit of the same
    trials before contamination (which carries the sampling error and the
    Euler walk's own drift bias, some -4% at this truth: README).
    Thresholds: mean t0 within 10 ms of the truth; mean drift within 5% of
    the clean fits' with p_outlier 0.05 and within 8% with "free" (measured
    +3.7% and +6.0%: the fast guesses, packed into 0-0.2 s where the model
    spreads contaminants over 5 s, draw the free share up to about 0.07,
    which takes slow trials from the diffusion); the plain fits put t0 at 0
    and their drift is off by 20% on average."""
    seeds = range(21, 29)
    clean, plain, free, fixed = [], [], [], []
    for seed in seeds:
        choices, rts, _ = corvatel.simulate(MODEL["drift"], MODEL["boundary"], MODEL["start"], MODEL["t0"], 500,
                                            seed)
        clean.append(corvatel.fit_ml(choices, rts))
        contaminated = contaminated_set(seed)
        plain.append(corvatel.fit_ml(*contaminated))
        free.append(corvatel.fit_ml(*contaminated, p_outlier="free"))
        fixed.append(corvatel.fit_ml(*contaminated, p_outlier=0.05))

    def mean(fits, key):
        return np.mean([f[key] for f in fits])

    def drift_shift(fits):
        return np.array([f["drift_rate"] / c["drift_rate"] - 1 for f, c in zip(fits, clean)])

    for fits in (free, fixed):
        assert abs(mean(fits, "non_decision_time") - MODEL["t0"]) < 0.010
    assert abs(drift_shift(fixed).mean()) < 0.05
    assert abs(drift_shift(free).mean()) < 0.08
    assert mean(plain, "non_decision_time") < 0.01
    assert np.abs(drift_shift(plain)).mean() > 0.15
    assert 0.03 < mean(free, "p_outlier") < 0.1 and mean(fixed, "p_outlier") == 0.05


def test_one_trial_at_5_ms():
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 500, 3)
    rts[0] = 0.005
    plain = corvatel.fit_ml(choices, rts)
    free = corvatel.fit_ml(choices, rts, p_outlier="free")
    assert plain["non_decision_time"] < 0.005 and plain["converged"]
    assert abs(free["non_decision_time"] - 0.3) < 0.02 and free["converged"]
    assert free["n_params"] == plain["n_params"] + 1 == 5
    assert free["aic"] == pytest.approx(2 * 5 - 2 * free["log_likelihood"])
    assert free["bic"] == pytest.approx(5 * math.log(500) - 2 * free["log_likelihood"])
    # Fixed 0 in another window is the default fit, bit for bit.
    zero = corvatel.fit_ml(choices, rts, p_outlier=0, outlier_window=(0.1, 2.0))
    assert all(bits(zero[k]) == bits(plain[k]) for k in plain if isinstance(plain[k], float))
    assert plain["p_outlier"] == 0.0


def test_joint_fit_shares_a_free_share_unless_it_depends_on_the_levels():
    parts = [contaminated_set(seed, n=300) for seed in (31, 32)]
    choices = np.concatenate([c for c, _ in parts])
    rts = np.concatenate([r for _, r in parts])
    levels = np.repeat([0, 1], 300)
    shared = corvatel.fit_ml_joint(choices, rts, levels, p_outlier="free")
    assert shared[0]["p_outlier"] == shared[1]["p_outlier"] > 0
    assert shared[0]["n_params"] == 3 + 2 + 1  # boundary, start, t0; drift per level; the share
    apart = corvatel.fit_ml_joint(choices, rts, levels, depends_on=("drift_rate", "p_outlier"), p_outlier="free")
    assert apart[0]["p_outlier"] != apart[1]["p_outlier"] and apart[0]["n_params"] == 3 + 2 + 2
    with pytest.raises(ValueError, match="p_outlier"):
        corvatel.fit_ml_joint(choices, rts, levels, depends_on=("p_outlier",))  # fixed: not a fitted parameter


BAD_SHARES = [(1.0, ValueError, "p_outlier must be in [0, 1)"), (-0.1, ValueError, "p_outlier must be in [0, 1)"),
              (math.nan, ValueError, "p_outlier must be in [0, 1)"), ("fixed", ValueError, "p_outlier must be"),
              (None, TypeError, "p_outlier must be")]
BAD_WINDOWS = [((1.0, 0.5), ValueError), ((-1.0, 2.0), ValueError), ((0.0, math.inf), ValueError),
               ((1.0, 1.0), ValueError), (5.0, TypeError), ((0.0, 1.0, 2.0), TypeError)]


@pytest.mark.parametrize("value, error, text", BAD_SHARES, ids=[repr(b[0]) for b in BAD_SHARES])
def test_bad_shares_raise_naming_p_outlier(value, error, text):
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 50, 1)
    calls = [lambda: corvatel.fit_ml(choices, rts, p_outlier=value),
             lambda: corvatel.fit_ml_joint(choices, rts, np.zeros(50, dtype=int), p_outlier=value)]
    if value is not None:  # fit's None is the default, 0
        calls.append(lambda: corvatel.fit(pd.DataFrame({"choice": choices, "rt": rts}), method="ml",
                                          p_outlier=value))
    if not isinstance(value, str) and value is not None:
        calls.append(lambda: corvatel.wfpt_logpdf(0.5, True, **MODEL, p_outlier=value))
        calls.append(lambda: corvatel.simulate_data(dict(MODEL, p_outlier=value), 5, 1))
    for call in calls:
        with pytest.raises(error, match=r"p_outlier") as raised:
            call()
        assert text in str(raised.value).replace("params column 'p_outlier'", "p_outlier")


@pytest.mark.parametrize("window, error", BAD_WINDOWS, ids=[repr(b[0]) for b in BAD_WINDOWS])
def test_bad_windows_raise_naming_outlier_window(window, error):
    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 50, 1)
    calls = [lambda: corvatel.wfpt_pdf(0.5, True, **MODEL, p_outlier=0.1, outlier_window=window),
             lambda: corvatel.fit_ml(choices, rts, p_outlier="free", outlier_window=window),
             lambda: corvatel.fit(pd.DataFrame({"choice": choices, "rt": rts}), method="ml", outlier_window=window),
             lambda: corvatel.simulate_data(dict(MODEL, p_outlier=0.1), 5, 1, outlier_window=window),
             lambda: corvatel.recover(MODEL, 20, method="ez", outlier_window=window)]
    for call in calls:
        with pytest.raises(error, match="outlier_window"):
            call()


def test_only_likelihood_fits_take_a_share():
    trials = corvatel.datasets.example()
    for method in ("ez", "sim"):
        with pytest.raises(ValueError, match="method 'ml' only"):
            corvatel.fit(trials, method=method, p_outlier=0.05)
    with pytest.raises(TypeError):
        corvatel.simulate_full(**MODEL, n=5, seed=1, p_outlier=0.1)


def test_table_fit_and_recovery_report_the_share():
    trials = corvatel.datasets.example()
    one = trials[trials["subject"] == "s1"]
    fits = corvatel.fit(one, by="condition", method="ml", p_outlier="free")
    for _, row in fits.iterrows():
        group = one[one["condition"] == row["condition"]]
        expected = corvatel.fit_ml(group["choice"].to_numpy(), group["rt"].to_numpy(), p_outlier="free")
        assert bits(row["p_outlier"]) == bits(expected["p_outlier"])
    assert (corvatel.fit(one, method="ml")["p_outlier"] == 0.0).all()
    truth = pd.DataFrame([dict(MODEL, p_outlier=0.05), dict(MODEL, drift=2.0, p_outlier=0.05)])
    study = corvatel.recover(truth, 300, method="ml", reps=2, seed=3, p_outlier="free")
    assert list(study["true_p_outlier"]) == [0.05] * 4
    data = corvatel.simulate_data(truth, 300, corvatel.derive_seed(3, 1))
    first = data[data["param_set"] == 0]
    expected = corvatel.fit_ml(first["choice"].to_numpy(), first["rt"].to_numpy(), p_outlier="free")
    assert bits(study.iloc[1]["p_outlier"]) == bits(expected["p_outlier"])
    assert "p_outlier" in list(corvatel.recovery_summary(study)["parameter"])
    # Without the column there is no true value to compare with.
    assert "true_p_outlier" not in corvatel.recover(MODEL, 100, method="ml", seed=1).columns


def test_cli_p_outlier(tmp_path, capsys):
    choices, rts = contaminated_set(41, n=300)
    pd.DataFrame({"choice": choices, "rt": rts}).to_csv(tmp_path / "trials.csv", index=False)
    for option, check in (("free", lambda v: 0 < v < 0.5), ("0.05", lambda v: v == 0.05)):
        status, _, err = run(capsys, "fit", tmp_path / "trials.csv", "--method", "ml", "--p-outlier", option,
                             "--outlier-window", "0,5", "-o", tmp_path / "fits.csv")
        assert (status, err) == (0, "")
        written = pd.read_csv(tmp_path / "fits.csv")
        assert check(written["p_outlier"].iloc[0])
        expected = corvatel.fit_ml(*contaminated_set(41, n=300), p_outlier="free" if option == "free" else 0.05)
        assert written["non_decision_time"].iloc[0] == pytest.approx(expected["non_decision_time"], rel=1e-12)
    for extra in (("--method", "ez", "--p-outlier", "0.1"), ("--method", "ml", "--p-outlier", "1.5"),
                  ("--method", "ml", "--p-outlier", "some"), ("--method", "ml", "--outlier-window", "5"),
                  ("--method", "ml", "--outlier-window", "2,1")):
        status, _, err = run(capsys, "fit", tmp_path / "trials.csv", *extra, "-o", tmp_path / "x.csv")
        assert status == 2, extra
        assert "p-outlier" in err or "p_outlier" in err or "outlier-window" in err or "outlier_window" in err
    # simulate takes the share as a parameter, like the table's column.
    status, _, _ = run(capsys, "simulate", "--drift", 1, "--boundary", 1.5, "--start", 0.5, "--t0", 0.3,
                       "--p-outlier", 0.2, "-n", 50, "--seed", 4, "-o", tmp_path / "sim.csv")
    assert status == 0
    simulated = pd.read_csv(tmp_path / "sim.csv")
    expected = corvatel.simulate_data(dict(MODEL, p_outlier=0.2), 50, 4)
    np.testing.assert_allclose(simulated["rt"], expected["rt"], rtol=1e-15)
