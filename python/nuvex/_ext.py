# The compiled extension: the copy installed inside the package, else the one of a build tree on
# sys.path (PYTHONPATH=build/python), with a clear error when neither exists.
from __future__ import annotations

try:
    from . import _nuvex_c as ext  # type: ignore[attr-defined]
except ImportError:
    try:
        import _nuvex_c as ext  # type: ignore[no-redef]
    except ImportError as e:
        raise ImportError(
            "nuvex: the compiled extension _nuvex_c was not found; install the package with "
            "'python3 -m pip install --no-build-isolation .' or build it (make build) and put "
            "build/python on PYTHONPATH") from e

HAS_SESSION = hasattr(ext, "Session")

__all__ = ["ext", "HAS_SESSION"]
