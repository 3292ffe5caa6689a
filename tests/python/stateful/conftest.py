"""Hypothesis profiles for the property tests: no per-example deadline (a
busy machine must not make them flaky), a bounded number of examples, no
example database written into the tree. HYPOTHESIS_PROFILE=thorough runs
more examples."""

import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci",
    deadline=None,
    max_examples=150,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("thorough", parent=settings.get_profile("ci"), max_examples=1000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
