"""High-precision first-passage time densities written with mpmath, apart
from the C++ core: the unnormalised image and Fourier series summed far past
double precision, and the across-trial variabilities as numerical
integrals (mpmath.quad) rather than closed forms.
"""

import mpmath as mp

mp.mp.dps = 20


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
