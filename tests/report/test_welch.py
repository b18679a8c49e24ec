import math

import pytest

from kvbench_report.welch import student_t_two_sided, welch


@pytest.mark.parametrize("t, df, p", [
    # Closed forms: df 1 is Cauchy, P(|T| >= t) = 1 - 2 atan(t) / pi;
    # df 2 gives 1 - t / sqrt(t^2 + 2); infinite df is the normal tail.
    *[(t, 1, 1 - 2 * math.atan(t) / math.pi) for t in (0.1, 1.0, 3.0, 40.0)],
    *[(t, 2, 1 - t / math.sqrt(t * t + 2)) for t in (0.1, 1.0, 3.0, 40.0)],
    (1.959964, math.inf, 0.05), (0.0, 7, 1.0), (-3.0, 1, 1 - 2 * math.atan(3.0) / math.pi),
    # Two-sided 5 % critical values from printed t tables.
    (12.7062, 1, 0.05), (2.228139, 10, 0.05), (2.042272, 30, 0.05), (1.962339, 1000, 0.05),
    # Very many degrees of freedom: the normal tail.
    (1.959964, 5e6, 0.05), (5.0, 1e9, math.erfc(5.0 / math.sqrt(2.0))),
])
def test_student_t_tail(t, df, p):
    assert student_t_two_sided(t, df) == pytest.approx(p, rel=1e-5, abs=1e-12)


def test_welch_statistic_degrees_of_freedom_and_cases_without_a_test():
    # Sample variances 4 and 1 over 5 and 10 steps: 4/5 = 0.8 and 1/10 = 0.1,
    # t = (2 - 1) / sqrt(0.9) = 1.05409, df = 0.81 / (0.64/4 + 0.01/9) = 5.02759.
    w = welch(1.0, 4.0, 5, 2.0, 1.0, 10)
    assert (w.t, w.df) == pytest.approx((1.0540926, 5.0275862))
    assert w.significant is False and w.verdict() == "not significant (p = 0.34)"
    assert welch(2.0, 1.0, 10, 1.0, 4.0, 5).t == pytest.approx(-w.t)
    for case, reason in [((1.0, 1.0, 1, 2.0, 1.0, 5), "fewer than 2 steps"),
                         ((1.0, 0.0, 5, 2.0, 0.0, 5), "no spread"),
                         ((None, 1.0, 5, 2.0, 1.0, 5), "no mean or deviation")]:
        assert welch(*case).verdict() == f"n/a ({reason})"
