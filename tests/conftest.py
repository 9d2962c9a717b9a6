"""A run without the package to test stops with one sentence, not an error per test file."""
import importlib.util

import pytest


def pytest_configure(config):
    if importlib.util.find_spec("quorvex") is None:
        pytest.exit("quorvex is not installed in this Python: run the suite with `bash dev.sh test`, which"
                    " builds the package first, or `pip install .[test]` and then pytest",
                    returncode=pytest.ExitCode.USAGE_ERROR)
