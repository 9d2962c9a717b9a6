"""A run without the package to test stops with one sentence, not an error per test file; a run with it
starts the shared OpenMP runtime the way quorvex does, whichever test module imports torch first; and the
memory the library's estimates see can be set for a test (`memory_limit`)."""
import importlib.util

import pytest


def pytest_configure(config):
    if importlib.util.find_spec("quorvex") is None:
        pytest.exit("quorvex is not installed in this Python: run the suite with `bash dev.sh test`, which"
                    " builds the package first, or `pip install .[test]` and then pytest",
                    returncode=pytest.ExitCode.USAGE_ERROR)
    # Before any test module imports torch, so that torch runs on the shared
    # OpenMP runtime that quorvex starts with the bounded spin, not on its own
    # copy with the default wait, whose idle threads hold busy cores for
    # milliseconds after each torch operation.
    import quorvex  # noqa: F401


@pytest.fixture
def memory_limit(monkeypatch):
    """memory_limit(nbytes): the memory the process may use, as the library's estimates see it."""
    def limit(nbytes):
        from quorvex.library.equation import _memory

        monkeypatch.setattr(_memory, "memory_bounds", lambda: [(nbytes, "the memory available on this machine")])
    return limit
