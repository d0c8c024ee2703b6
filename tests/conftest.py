"""Test-suite settings shared by every file.

Property tests check results, never timing: speed lives in benchmarks/. So
the Hypothesis deadline and its slow-generation health checks are off; a
loaded CI machine or a sanitizer build must not turn into a failure.
"""

from hypothesis import HealthCheck, settings

settings.register_profile(
    "quorvane",
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("quorvane")
