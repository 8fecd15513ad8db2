# The NUVEX calculator in the browser (`nuvex serve`): a Flask application over a pool of solver
# sessions, with a JSON API and a page drawn with the locally installed plotly.js.
"""The web calculator: ``python3 -m nuvex.web``.

:func:`create_app` makes the Flask application, :class:`Server` runs it on a local HTTP server,
:func:`main` is the command. The JSON API:

``/api/run``
    One run: the parameters as applied, the quantities with units and definitions, the final
    abundances. ``format=csv`` gives the same as CSV.
``/api/evolution``
    The abundances against time and temperature (``points`` samples, 10 to 2000; CSV too).
``/api/schramm``
    Central values and Monte Carlo bands (central 95 % of ``samples`` samples) of Yp, D/H, 3He/H
    and 7Li/H on ``points`` values of Omega_b h^2 from 0.004 to 0.04, with the observations of
    :mod:`nuvex.observations`; computed once per setting and kept.
``/api/meta``
    The inputs, quantities, reactions of each network, observations and the server's limits.

Each takes its parameters as a JSON body ``{"params": {...}, "client": id, "seq": n, ...}`` (POST) or
as a query string (GET). The accepted parameters are ``Omegabh2`` (or ``eta10``), ``DeltaNeff``,
``tau_n``, ``munuOverTnu_e``, ``network`` ("small" or "large"), ``rate_set``, ``delta_<reaction>``
and ``p_<reaction>``; other keys are refused with HTTP 400, and so are values the package's own
checks refuse, with the package's message.
"""
from __future__ import annotations

from ._service import Limits, Service, WebError
from .app import create_app
from .server import Server, build_parser, main

__all__ = ["create_app", "Server", "Service", "Limits", "WebError", "main", "build_parser"]
