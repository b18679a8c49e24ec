"""Welch's t-test on two means, from their summary figures alone.

The Student t distribution's tail comes from the regularized incomplete beta
function, evaluated by its continued fraction (modified Lentz method), with
nothing beyond the standard library's math.
"""

import math
from dataclasses import dataclass
from typing import Optional

ALPHA = 0.05
NAME = "Welch's t-test, two-sided, 5 % level"

_EPSILON = 1e-15
_TINY = 1e-300
_MAX_TERMS = 100000


def _beta_continued_fraction(a: float, b: float, x: float) -> float:
    c = 1.0
    d = 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > _TINY else _TINY)
    h = d
    for m in range(1, _MAX_TERMS + 1):
        m2 = 2 * m
        for numerator in (m * (b - m) * x / ((a + m2 - 1.0) * (a + m2)),
                          -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0))):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > _TINY else _TINY)
            c = 1.0 + numerator / c
            if abs(c) < _TINY:
                c = _TINY
            h *= d * c
        if abs(d * c - 1.0) < _EPSILON:
            return h
    raise ArithmeticError("incomplete beta: continued fraction did not converge")


def regularized_beta(a: float, b: float, x: float) -> float:
    """I_x(a, b) for a, b > 0 and 0 <= x <= 1."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    log_front = (a * math.log(x) + b * math.log1p(-x)
                 - (math.lgamma(a) + math.lgamma(b) - math.lgamma(a + b)))
    # The fraction converges fast on the side of the mean a / (a + b); use
    # I_x(a, b) = 1 - I_(1-x)(b, a) on the other.
    if x < (a + 1.0) / (a + b + 2.0):
        return math.exp(log_front) * _beta_continued_fraction(a, b, x) / a
    return 1.0 - math.exp(log_front) * _beta_continued_fraction(b, a, 1.0 - x) / b


def student_t_two_sided(t: float, df: float) -> float:
    """P(|T| >= |t|) for T following Student's t with df degrees of freedom."""
    if math.isinf(df):
        return math.erfc(abs(t) / math.sqrt(2.0))
    return regularized_beta(df / 2.0, 0.5, df / (df + t * t))


@dataclass
class Welch:
    t: Optional[float]       # None when the test cannot be made
    df: Optional[float]
    p: Optional[float]
    reason: str = ""         # why it cannot be made

    @property
    def significant(self) -> Optional[bool]:
        return None if self.p is None else self.p < ALPHA

    def verdict(self) -> str:
        if self.p is None:
            return f"n/a ({self.reason})"
        p = "p < 0.0001" if self.p < 0.0001 else f"p = {self.p:.2g}"
        return f"{'significant' if self.significant else 'not significant'} ({p})"


def welch(mean_a: Optional[float], var_a: Optional[float], n_a: int,
          mean_b: Optional[float], var_b: Optional[float], n_b: int) -> Welch:
    """Welch's test of mean_a == mean_b from the sample variances (divided by n - 1)."""
    if n_a < 2 or n_b < 2:
        return Welch(None, None, None, "fewer than 2 steps")
    if mean_a is None or mean_b is None or var_a is None or var_b is None:
        return Welch(None, None, None, "no mean or deviation")
    ea, eb = var_a / n_a, var_b / n_b
    if ea + eb <= 0.0:
        return Welch(None, None, None, "no spread")
    t = (mean_b - mean_a) / math.sqrt(ea + eb)
    df = (ea + eb) ** 2 / (ea * ea / (n_a - 1) + eb * eb / (n_b - 1))
    return Welch(t, df, student_t_two_sided(t, df))
