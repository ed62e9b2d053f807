"""Hypothesis profiles for the property tests.

"ci" (the default) is fixed and reproducible: a derandomised search with a fixed number
of examples per test and no example database, so every run on every machine tries the
same inputs and a failure prints the blob that replays it. Against the sanitizer build
(QUARNEL_SANITIZED=1), where every Python allocation is instrumented and the example
generation itself runs several times slower, the default is "ci-sanitized": the same
derandomised search with fewer examples, enough to take every layout and every failure
path through the instrumented code. "long" is for runs by hand:

    QUARNEL_HYPOTHESIS_PROFILE=long python3 -m pytest tests/test_properties.py
"""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

# The sanitizer build runs a few times slower; neither profile may fail on timing.
_COMMON = dict(
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

CI_EXAMPLES = 100
SANITIZED_EXAMPLES = 30

settings.register_profile(
    "ci", max_examples=CI_EXAMPLES, derandomize=True, database=None, **_COMMON
)
settings.register_profile(
    "ci-sanitized", max_examples=SANITIZED_EXAMPLES, derandomize=True, database=None, **_COMMON
)
settings.register_profile("long", max_examples=5000, **_COMMON)

_DEFAULT = "ci-sanitized" if os.environ.get("QUARNEL_SANITIZED") == "1" else "ci"
PROFILE = os.environ.get("QUARNEL_HYPOTHESIS_PROFILE", _DEFAULT)
settings.load_profile(PROFILE)
