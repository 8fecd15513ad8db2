# numpy imported on first use: the modules that `import nuvex` loads refer to it through this stand-in,
# so that a single run starts without paying for numpy's import (about 0.1 s) before it needs arrays.
from __future__ import annotations

import importlib
from typing import Any


class _OnFirstUse:
    """Forwards attribute access to a module imported the first time an attribute is asked for."""

    def __init__(self, name: str) -> None:
        self._name = name
        self._module: Any = None

    def __getattr__(self, attr: str) -> Any:
        if self._module is None:
            self._module = importlib.import_module(self._name)
        return getattr(self._module, attr)


numpy: Any = _OnFirstUse("numpy")

__all__ = ["numpy"]
