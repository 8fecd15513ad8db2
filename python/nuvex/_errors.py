# Exceptions named after the user's call: the extension's messages begin with its internal entry
# ("didiva_run failed: nvx_bg: ..."), a name the user never called and cannot look up.
from __future__ import annotations

import contextlib
import re
from typing import Iterator

_INTERNAL = re.compile(r"^(?:(?:didiva_run|nvx_\w+|Session\.run|Session\.mc|nvx_session_create) failed: )?"
                       r"(?:(?:didiva_run|nvx_\w+): )?")


def without_internal_names(message: str) -> str:
    """The message without the leading names of the extension's internal functions."""
    return _INTERNAL.sub("", message, count=1)


@contextlib.contextmanager
def user_call(name: str) -> Iterator[None]:
    """Re-raise the extension's RuntimeError and ValueError as ``name: message``, of the same type."""
    try:
        yield
    except (RuntimeError, ValueError) as e:
        text = str(e)
        plain = without_internal_names(text)
        if plain == text or type(e) not in (RuntimeError, ValueError):
            raise
        raise type(e)(f"{name}: {plain}").with_traceback(e.__traceback__) from None
