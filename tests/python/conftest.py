# Shared fixtures for the vorn_python tests: the PanicException class (it is
# not a module attribute) and a runner for code that needs a fresh process.
import os
import subprocess
import sys
import textwrap

import pytest

import vorn_python


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException class, obtained by provoking one fatal error."""
    try:
        vorn_python.Circuit(1).h(1)
    except BaseException as exc:  # noqa: BLE001 - the class is what we want
        return type(exc)
    pytest.fail("an out-of-range qubit did not raise")


@pytest.fixture
def run_python():
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.
    In `env_overrides` a value of None removes the variable."""

    def run(code, env_overrides=None, timeout=120):
        env = dict(os.environ)
        for name, value in (env_overrides or {}).items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
        )

    return run


@pytest.fixture
def import_without(run_python):
    """Runs `before` after `import vorn` in a fresh interpreter, then imports
    `module` as if the package `toolkit` were not installed; returns the
    CompletedProcess, whose stdout holds the ImportError's text."""

    def run(toolkit, module, before=""):
        return run_python(f"""
import sys
import vorn
{textwrap.dedent(before)}
sys.modules[{toolkit!r}] = None
try:
    import {module}
except ImportError as exc:
    print(exc)
""")

    return run
