import os
from pathlib import Path

import pytest
import velkorin
from hypothesis import settings

# Sanitized builds and a loaded CI machine are slow; these tests are about results, not time.
settings.register_profile("velkorin", deadline=None)
settings.load_profile("velkorin")


def pytest_report_header(config):
    return f"velkorin: {velkorin.__file__}"


def pytest_configure(config):
    # The sanitizer run sets this so that a stray installed copy cannot stand in.
    expected = os.environ.get("VELKORIN_EXPECT_DIR")
    if expected and not Path(velkorin.__file__).resolve().is_relative_to(Path(expected).resolve()):
        raise pytest.UsageError(
            f"imported velkorin from {velkorin.__file__}, expected the build in {expected}"
        )
