"""Shared test settings."""

import os

from hypothesis import HealthCheck, settings

# The default run stays quick; VELMORA_HEAVY=1 explores far more inputs.
settings.register_profile("quick", max_examples=60, deadline=None)
settings.register_profile(
    "heavy", max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile("heavy" if os.environ.get("VELMORA_HEAVY") else "quick")
