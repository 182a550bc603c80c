"""High-precision first-passage time densities written with mpmath, apart
from the C++ core: the unnormalised image and Fourier series summed far past
double precision, and the across-trial variabilities as numerical
integrals (mpmath.quad) rather than closed forms.
"""

import atexit
import functools
import json
import os
from pathlib import Path

import mpmath as mp

mp.mp.dps = 20

# The integrals over the variabilities take minutes for the test grids, so
# their values are kept in reference_values.json beside this file, keyed by
# the call. CORVATEL_REFERENCE=recompute (run with
#   pytest -m reference tests/test_cdf.py tests/test_likelihood.py)
# computes every value those tests ask
# for again, fails on one that differs from the file by more than 1e-15
# relative, and writes the file anew; a call not in the file is computed.
CACHE_FILE = Path(__file__).resolve().parent / "reference_values.json"
RECOMPUTE = os.environ.get("CORVATEL_REFERENCE", "") == "recompute"
_cache = json.loads(CACHE_FILE.read_text()) if CACHE_FILE.exists() else {}
_computed = {}


def _save():
    if _computed:
        CACHE_FILE.write_text(json.dumps({**_cache, **_computed}, indent=0, sort_keys=True) + "\n")


if RECOMPUTE:
    atexit.register(_save)


def cached(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        key = f"{function.__name__}{args!r}{sorted(kwargs.items())!r}"
        if key in _cache and not RECOMPUTE:
            return mp.mpf(_cache[key])
        value = function(*args, **kwargs)
        if RECOMPUTE:
            if key in _cache and abs(value - mp.mpf(_cache[key])) > 1e-15 * abs(value):
                raise AssertionError(f"{key}: recomputed {value}, the file holds {_cache[key]}")
            _computed[key] = mp.nstr(value, 25)
        return value
    return wrapper


def _lower_zero_drift(u, w):
    """Zero-drift density at the lower boundary of the unit band, time u."""
    u = mp.mpf(u)
    w = mp.mpf(w)
    # Far past the working precision (at least 60 digits), which a start
    # next to a boundary raises: its terms cancel to its distance from it.
    digits = max(60, mp.mp.dps)
    if u < 1:
        # Images: terms fall like exp(-2 k^2 / u); 60 digits need k ~ sqrt(70 u).
        kmax = int(mp.sqrt(70 * u * digits / 60)) + 4
        total = mp.fsum((w + 2 * k) * mp.exp(-((w + 2 * k) ** 2) / (2 * u)) for k in range(-kmax, kmax + 1))
        return total / mp.sqrt(2 * mp.pi * u**3)
    kmax = int(mp.sqrt(2 * 140 * digits / 60 / (mp.pi**2 * u))) + 4
    total = mp.fsum(k * mp.exp(-(k**2) * mp.pi**2 * u / 2) * mp.sin(k * mp.pi * w) for k in range(1, kmax + 1))
    return mp.pi * total


def density(rt, choice, drift, boundary, start, t0, noise_sd=1.0):
    """Four-parameter density (no variabilities) at one point. A start next to
    a boundary cancels the series' terms by up to the inverse of its distance
    from it: the working precision grows by those digits."""
    w = mp.mpf(start)
    lost = int(-mp.log10(min(w, 1 - w))) if 0 < w < 1 else 0
    with mp.workdps(mp.mp.dps + lost + 5):
        tau = mp.mpf(rt) - mp.mpf(t0)
        if tau <= 0:
            return mp.mpf(0)
        v = mp.mpf(drift) / noise_sd
        a = mp.mpf(boundary) / noise_sd
        w = mp.mpf(start)
        if choice:
            v, w = -v, 1 - w
        value = mp.exp(-v * a * w - v * v * tau / 2) / a**2 * _lower_zero_drift(tau / a**2, w)
    return +value


@cached
def full_density(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0):
    """The full model: sv, sz and st integrated numerically."""
    if (sv > 0) + (sz > 0) + (st > 0) >= 2:
        # Nested tanh-sinh takes minutes a point; Gauss-Legendre of degree up
        # to 3 (24 points) on the pieces below, at 15 digits, is about 1e-12
        # relative on these smooth pieces in seconds.
        with mp.workdps(15):
            return _full_density(rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st,
                                 lambda f, points: mp.quad(f, points, method="gauss-legendre", maxdegree=3))
    return _full_density(rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st, mp.quad)


def _full_density(rt, choice, drift, boundary, start, t0, noise_sd, sv, sz, st, quad):

    def over_drift(rt_, start_):
        if sv == 0:
            return density(rt_, choice, drift, boundary, start_, t0, noise_sd)
        sv_ = mp.mpf(sv)

        def weighted(nu):
            return density(rt_, choice, nu, boundary, start_, t0, noise_sd) * mp.npdf(nu, drift, sv_)

        # The integrand is a Gaussian in the drift (the density's
        # e^{-nu a w - nu^2 tau / 2} times the normal), narrower than sv at
        # long times: split around its own centre and width.
        tau = mp.mpf(rt_) - mp.mpf(t0)
        side, w = (-1, 1 - mp.mpf(start_)) if choice else (1, mp.mpf(start_))
        precision = 1 / sv_**2 + max(tau, 0) / noise_sd**2
        centre = (drift / sv_**2 - side * mp.mpf(boundary) * w / noise_sd**2) / precision
        width = 1 / mp.sqrt(precision)
        points = [centre + k * width for k in (-12, -6, -3, -1.5, 0, 1.5, 3, 6, 12)]
        points += [drift - 12 * sv_, drift + 12 * sv_]
        return quad(weighted, sorted(set(points)))

    def over_time(start_):
        if st == 0:
            return over_drift(rt, start_)
        # Uniform t0 in [t0 - st/2, t0 + st/2] is rt shifted by -(that - t0).
        lo = max(mp.mpf(rt) - mp.mpf(t0) - mp.mpf(st) / 2, mp.mpf(0))
        hi = mp.mpf(rt) - mp.mpf(t0) + mp.mpf(st) / 2
        if hi <= 0:
            return mp.mpf(0)
        # Split so that the factors e^{-v^2 tau / 2} and the slowest Fourier
        # mode e^{-pi^2 tau / 2a^2} change by at most about e^3 a piece (one
        # tanh-sinh pass misjudges integrands that change by many orders of
        # magnitude), and so that the leading image e^{-c^2 / 2 tau} (c the
        # distance to the boundary reached) does too: its exponent is cut
        # at 1.5, 3, 6, 12, 24 and 40 below its value at the top of the range
        # (each piece changes it by at most about e^3 where the integrand is
        # within e^{-6} of its top), and the range ends where it is e^{-60}
        # smaller, below which the integrand is negligible.
        a = mp.mpf(boundary) / noise_sd
        pieces = 4 + int((abs(drift) + 3 * sv) ** 2 / noise_sd**2 * (hi - lo) / 6)
        pieces += int(mp.pi**2 / (2 * a**2) * (hi - lo) / 3)
        c = a * (1 - mp.mpf(start_) if choice else mp.mpf(start_))
        r_hi = c**2 / (2 * hi)
        lo = max(lo, c**2 / (2 * (r_hi + 60)))
        points = list(mp.linspace(lo, hi, pieces + 1)) + [c**2 / (2 * (r_hi + d)) for d in (1.5, 3, 6, 12, 24, 40)]
        points = sorted(p for p in set(points) if lo <= p <= hi)
        return quad(lambda tau: over_drift(mp.mpf(t0) + tau, start_), points) / st

    if sz == 0:
        return over_time(start)
    lo, hi = mp.mpf(start) - mp.mpf(sz) / 2, mp.mpf(start) + mp.mpf(sz) / 2
    # Likewise for the drift factor e^{-v a w} and, at short times (u at the
    # latest decision time), the leading image e^{-w^2 / 2u} (or
    # e^{-(1-w)^2 / 2u}).
    u = (mp.mpf(rt) - mp.mpf(t0) + mp.mpf(st) / 2) / (mp.mpf(boundary) / noise_sd) ** 2
    pieces = 4 + int(abs(drift) * boundary * sz / noise_sd**2 / 3)
    if u > 0:
        pieces += min(400, int(sz / (3 * u)))
    return quad(over_time, mp.linspace(lo, hi, pieces + 1)) / sz


# ---- The first-passage distribution function ----


def _lower_reduced(choice, drift, boundary, start, noise_sd):
    """Drift, boundary and relative start of the walk seen from the boundary
    reached (the upper one reflected onto 0), in units of noise_sd."""
    v = mp.mpf(drift) / noise_sd
    a = mp.mpf(boundary) / noise_sd
    w = mp.mpf(start)
    if choice:
        v, w = -v, 1 - w
    return v, a, w


def response_probability(choice, drift, boundary, start, noise_sd=1.0):
    """P(choice): a walk with drift v from w a ends at 0 before a with
    probability (e^{-2 v a w} - e^{-2 v a}) / (1 - e^{-2 v a}) (1 - w at v = 0)."""
    with mp.workdps(mp.mp.dps + 20):
        v, a, w = _lower_reduced(choice, drift, boundary, start, noise_sd)
        if v == 0:
            return +(1 - w)
        return (mp.exp(-2 * v * a * w) - mp.exp(-2 * v * a)) / (1 - mp.exp(-2 * v * a))


def _fourier_tail(tau, v, a, w):
    """P - F(tau) from the large-time series integrated term by term:
    (pi / a^2) e^{-v a w} sum_k k sin(k pi w) e^{-lambda_k tau} / lambda_k,
    lambda_k = v^2/2 + k^2 pi^2 / (2 a^2); terms fall like e^{-k^2 pi^2 tau / 2a^2}."""
    c = mp.pi**2 * tau / (2 * a**2)
    kmax = int(mp.sqrt((mp.mp.dps + 10) * mp.log(10) / c)) + 3
    terms = []
    for k in range(1, kmax + 1):
        lam = v * v / 2 + k * k * mp.pi**2 / (2 * a**2)
        terms.append(k * mp.sin(k * mp.pi * w) * mp.exp(-lam * tau) / lam)
    return mp.pi / a**2 * mp.exp(-v * a * w) * mp.fsum(terms)


def _image_head(tau, v, a, w):
    """F(tau) from the small-time series integrated term by term: image k of
    the density, (c_k / sqrt(2 pi s^3)) e^{2 v a k} e^{-(c_k + v s)^2 / 2s},
    c_k = a (w + 2k), is e^{2 v a k} times the first-passage density to 0 of a
    walk from c_k drifting at v (for c_k < 0, minus that from -c_k drifting
    at -v), whose distribution function is
    Phi((-c - v s)/sqrt s) + e^{-2 v c} Phi((-c + v s)/sqrt s)."""
    root = mp.sqrt(tau)

    def passage(c, drift):
        return mp.ncdf((-c - drift * tau) / root) + mp.exp(-2 * drift * c) * mp.ncdf((-c + drift * tau) / root)

    terms = []
    for k in range(-12, 13):
        c = a * (w + 2 * k)
        sign = 1 if c > 0 else -1
        terms.append(sign * mp.exp(2 * v * a * k) * passage(sign * c, sign * v))
    return mp.fsum(terms)


def cdf(rt, choice, drift, boundary, start, t0, noise_sd=1.0, complement=False):
    """Four-parameter distribution function F(rt, choice), or P(choice) - F
    with complement=True, at 50 digits: from u = tau / a^2 >= 0.1 from the
    large-time series of P - F (at most 17 terms), below it from the
    small-time series of F (25 images, the first omitted one below e^{-2 13^2 / u})."""
    with mp.workdps(max(50, mp.mp.dps)):
        tau = mp.mpf(rt) - mp.mpf(t0)
        p = response_probability(choice, drift, boundary, start, noise_sd)
        if tau <= 0 or mp.isinf(tau):
            return +(p if (tau <= 0) == complement else mp.mpf(0))
        v, a, w = _lower_reduced(choice, drift, boundary, start, noise_sd)
        if tau >= a**2 / 10:
            tail = _fourier_tail(tau, v, a, w)
            return +(tail if complement else p - tail)
        head = _image_head(tau, v, a, w)
        return +(p - head if complement else head)


def cdf_by_integration(rt, choice, drift, boundary, start, t0, noise_sd=1.0):
    """F from the reference density integrated numerically (slow; checks
    the series above)."""
    tau = mp.mpf(rt) - mp.mpf(t0)
    cuts = [tau * f for f in (0, 0.25, 0.5, 0.75, 0.875, 0.9375, 1)]
    return mp.quad(lambda s: density(mp.mpf(t0) + s, choice, drift, boundary, start, t0, noise_sd), cuts)


@cached
def full_cdf(rt, choice, drift, boundary, start, t0, noise_sd=1.0, sv=0.0, sz=0.0, st=0.0, complement=False):
    """The distribution function with sv, sz and st integrated numerically
    over the normal drift, the uniform start and the uniform t0."""
    # Gauss-Legendre of degree up to 3 (24 points) on the pieces below,
    # smooth at their scale, is far within 1e-12 of these integrals, in a
    # fraction of tanh-sinh's time at the series' 50 digits.
    def quad(f, points):
        return mp.quad(f, points, method="gauss-legendre", maxdegree=3)

    def over_drift(rt_, start_):
        if sv == 0:
            return cdf(rt_, choice, drift, boundary, start_, t0, noise_sd, complement)
        sv_ = mp.mpf(sv)
        # The drift factor e^{-nu a w - nu^2 s / 2} times the normal weight
        # is a Gaussian of precision 1/sv^2 + s centred at (v/sv^2 - a w) /
        # (1/sv^2 + s) for each decision time s; P changes fastest about 0.
        a = mp.mpf(boundary) / noise_sd
        w = 1 - mp.mpf(start_) if choice else mp.mpf(start_)
        side = -1 if choice else 1
        v = side * mp.mpf(drift) / noise_sd
        s = max(mp.mpf(rt_) - mp.mpf(t0), 0)
        points = {drift - 12 * sv_, drift + 12 * sv_, drift, 0}
        sv_r = sv_ / noise_sd
        for s_ in (0, s, 2 * s + 1):
            precision = 1 / sv_r**2 + s_
            centre = side * (v / sv_r**2 - a * w) / precision * noise_sd
            width = noise_sd / mp.sqrt(precision)
            points |= {centre + k * width for k in (-12, -4, -1.5, 0, 1.5, 4, 12)}
        points = sorted(points)
        return quad(lambda nu: cdf(rt_, choice, nu, boundary, start_, t0, noise_sd, complement)
                    * mp.npdf(nu, drift, sv_), points)

    def over_time(start_):
        if st == 0:
            return over_drift(rt, start_)
        lo, hi = mp.mpf(rt) - mp.mpf(t0) - mp.mpf(st) / 2, mp.mpf(rt) - mp.mpf(t0) + mp.mpf(st) / 2
        if hi <= 0:
            return over_drift(t0, start_)  # decision time 0 throughout
        # Near decision time 0 the distribution function rises from 0 over a
        # scale set by the start's distance to the boundary, which can be far
        # below the window: pieces in geometric steps down to 1e-6 of it.
        base = max(lo, 0)
        fractions = (1e-6, 1e-5, 1e-4, 1e-3, 0.01, 0.05, 0.25, 0.5)
        points = [base] + [base + (hi - base) * f for f in fractions] + [hi]
        total = quad(lambda tau: over_drift(mp.mpf(t0) + tau, start_), points)
        if lo < 0:
            total += -lo * over_drift(t0, start_)
        return total / st

    if sz == 0:
        return over_time(start)
    lo, hi = mp.mpf(start) - mp.mpf(sz) / 2, mp.mpf(start) + mp.mpf(sz) / 2
    return quad(over_time, mp.linspace(lo, hi, 5)) / sz
