"""The suite's one way to reach `_taldo_testing`, the module that exposes the
decoding core's internals to these tests.

It is built only for development installs (`pip install -e`) or when asked
for with -Ccmake.define.TALDO_TESTING_HOOKS=ON; a wheel for users lacks it.
Without it, the tests that use it skip, with the reason below, when they
first touch `hooks`; the rest of the suite runs against the installed
package."""
import pytest

REASON = ("_taldo_testing is not installed: it is built for editable installs only "
          "(or with -Ccmake.define.TALDO_TESTING_HOOKS=ON)")

try:
    import _taldo_testing
except ImportError:
    _taldo_testing = None

AVAILABLE = _taldo_testing is not None


class _Absent:
    """Stands in for the missing module: calling any of its functions skips
    the calling test. (Private names are missing as usual, for the tools
    that probe objects.)"""

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        def absent(*args, **kwargs):
            pytest.skip(REASON)
        return absent


hooks = _taldo_testing if AVAILABLE else _Absent()


def canonical(value):
    """A value the hooks return, with LosslessFloats (of either module's
    class) as their bytes, so that it compares with taldo's own."""
    if isinstance(value, dict):
        return {key: canonical(item) for key, item in value.items()}
    if isinstance(value, list):
        return [canonical(item) for item in value]
    if type(value).__name__ == "LosslessFloat":
        return ("LosslessFloat", bytes(value))
    return value
