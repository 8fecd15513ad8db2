# Logarithmic sensitivities d ln Q / d ln k of result quantities to every reaction rate of the network
# and to chosen parameters, by central differences evaluated in parallel on solver sessions.
from __future__ import annotations

import math
import os
from typing import Any, Iterable, Mapping, Sequence

import numpy as np

from ._data import data_dir as _default_dir
from ._params import PARAMS
from ._quantities import DEFAULT_QUANTITIES, check_quantities, label
from ._runner import run
from .notation import parameter, reaction
from .scan import FailedPoint, scan

# Standard N_eff of three neutrino flavours (incomplete decoupling, QED corrections); DeltaNeff adds to it.
NEFF_STANDARD = 3.044
DEFAULT_PARAMS = ("Omegabh2", "tau_n", "DeltaNeff")


class Sensitivities:
    """Logarithmic derivatives of result quantities.

    ``matrix[i, j]`` is d ln Q_i / d ln x_j for quantity ``quantities[i]`` and variable
    ``variables[j]``: a reaction name (its rate scaled by a constant factor at every temperature), or a
    parameter. ``kinds[j]`` says what x is: "rate" (the reaction's rate), "log" (the parameter
    itself), "Neff" (for DeltaNeff: N_eff = 3.044 + DeltaNeff, so the entry is comparable with published
    d ln Q / d ln N_nu) or "linear" (a parameter whose value is 0: d ln Q / dx instead).
    ``central`` holds the quantities of the unperturbed run; ``failed`` the runs that failed (their
    entries are NaN). :meth:`derivative` turns an entry into the plain derivative dQ/dx, for instance
    dYp/dDeltaNeff.
    """

    def __init__(self, quantities: Sequence[str], variables: Sequence[str], kinds: Sequence[str], matrix: np.ndarray,
                 central: Mapping[str, float], step: float, failed: Sequence[FailedPoint],
                 bases: Sequence[float] | None = None) -> None:
        self.quantities = tuple(quantities)
        self.variables = tuple(variables)
        self.kinds = tuple(kinds)
        self.matrix = matrix
        self.central = dict(central)
        self.step = step
        self.failed = list(failed)
        # the value of each variable x at the central point (1 for the "linear" kind: there the
        # entry is already d ln Q / dx)
        self.bases = tuple(bases) if bases is not None else tuple(math.nan for _ in self.variables)

    def derivative(self, quantity: str, variable: str) -> float:
        """The local derivative dQ/dx at the central point: Q d(ln Q)/d(ln x) / x. For DeltaNeff it is
        dQ/dDeltaNeff (= dQ/dN_eff), e.g. dYp/dDeltaNeff = 0.0134 at the defaults; for a reaction,
        dQ per unit of the rate factor. It is a derivative, not the difference over a finite step: the
        change of Yp from DeltaNeff = 0 to 1, 0.0125, is smaller because Yp grows more slowly than
        linearly with N_eff."""
        j = self.variables.index(variable) if variable in self.variables else -1
        if j < 0 or quantity not in self.quantities:
            raise KeyError(f"no sensitivity of {quantity!r} to {variable!r}")
        return self.central.get(quantity, math.nan) * self[quantity, variable] / self.bases[j]

    def __getitem__(self, key: tuple[str, str]) -> float:
        quantity, variable = key
        try:
            return float(self.matrix[self.quantities.index(quantity), self.variables.index(variable)])
        except ValueError:
            raise KeyError(f"no sensitivity of {quantity!r} to {variable!r}") from None

    def sorted(self, quantity: str) -> list[tuple[str, float]]:
        """(variable, d ln Q / d ln x) of one quantity, largest magnitude first (NaN last)."""
        row = self.matrix[self.quantities.index(quantity)]
        pairs = list(zip(self.variables, (float(v) for v in row)))
        return sorted(pairs, key=lambda p: -abs(p[1]) if math.isfinite(p[1]) else math.inf)

    def to_dict(self) -> dict[str, dict[str, float]]:
        """{quantity: {variable: value}}."""
        return {q: dict(zip(self.variables, (float(v) for v in self.matrix[i]))) for i, q in enumerate(self.quantities)}

    def table(self, top: int | None = None) -> str:
        """One block per quantity: variables sorted by the magnitude of their sensitivity."""
        kind_of = dict(zip(self.variables, self.kinds))
        shown_name = {v: f"{reaction(v)}  ({v})" if k == "rate" and reaction(v) != v else v
                      for v, k in zip(self.variables, self.kinds)}
        width = max(len(v) for v in shown_name.values())
        lines = []
        for q in self.quantities:
            lines.append(f"d ln {q} / d ln x   (central {q} = {self.central.get(q, math.nan):.6g})")
            for var, value in self.sorted(q)[:top]:
                note = {"Neff": "   x = N_eff = 3.044 + DeltaNeff", "linear": "   d ln Q / dx (x = 0)"}.get(
                    kind_of[var], "")
                if kind_of[var] == "Neff" and math.isfinite(value):
                    note += f"; d{q}/dDeltaNeff = {self.derivative(q, var):+.4g} (local derivative)"
                shown = f"{value:+.4f}" if not math.isfinite(value) or abs(value) >= 1e-4 or value == 0 else f"{value:+.1e}"
                lines.append(f"  {shown_name[var]:<{width}}  {shown:>8}{note}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"nuvex.Sensitivities (step {self.step:g})\n" + self.table()

    def plot(self, quantities: Iterable[str] | None = None, top: int = 10, axes: Any = None) -> Any:
        """Horizontal bars of the ``top`` largest sensitivities of each quantity; returns the figure."""
        import matplotlib.pyplot as plt

        names = list(quantities) if quantities is not None else list(self.quantities)
        if axes is None:
            fig, axes = plt.subplots(1, len(names), figsize=(4.2 * len(names), 0.35 * top + 1.6), squeeze=False)
            axes = axes[0]
        else:
            axes = np.atleast_1d(axes)
            fig = axes[0].figure
        # the variable each bar differentiates by: N_eff for DeltaNeff, dx for a parameter at 0
        # reactions in nuclear notation, d(d,n)3He
        tick = {v: {"Neff": parameter("N_eff", tex=True), "linear": f"{parameter(v, tex=True)} (d/dx)",
                    "rate": reaction(v, tex=True)}.get(k, parameter(v, tex=True))
                for v, k in zip(self.variables, self.kinds)}
        for ax, q in zip(axes, names):
            rows = [(v, x) for v, x in self.sorted(q)[:top] if math.isfinite(x)][::-1]
            ax.barh([tick.get(v, v) for v, _ in rows], [x for _, x in rows],
                    color=["tab:blue" if x >= 0 else "tab:red" for _, x in rows])
            ax.axvline(0, color="k", lw=0.6)
            ax.set_xlabel(f"d ln({label(q)}) / d ln x")
            ax.set_title(label(q))
            ax.tick_params(axis="y", labelsize=8)
        fig.tight_layout()
        return fig


def _reactions_of_network(fixed: Mapping[str, Any], call: Mapping[str, Any]) -> tuple[list[str], Any]:
    """The tabulated reactions of the run's network (the weak n <-> p conversion excluded, which the
    rate variations do not scale) and the central values, from one run that records its rates."""
    params = {**fixed, "output_time_evolution": True, "output_rates_time_evolution": True, "output_n_points": 2}
    result = run(**call, **params)
    names = [k[:-len("_frwrd")] for k in result.evolution.rates if k.endswith("_frwrd")]
    return names, result


def _param_steps(name: str, fixed: Mapping[str, Any], h: float) -> tuple[str, Any, Any, float]:
    """(kind, value below, value above, width in the variable) of one parameter."""
    info = PARAMS.get(name)
    if info is None or info.kind not in ("number", "number or None"):
        raise ValueError(f"sensitivity to {name!r}: only numeric run parameters can be varied")
    value = fixed.get(name, info.default)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"sensitivity to {name!r}: its value {value!r} is not a finite number")
    if name == "DeltaNeff":
        neff = NEFF_STANDARD + value
        if neff <= 0:
            raise ValueError(f"sensitivity to DeltaNeff: N_eff = 3.044 + DeltaNeff = {neff:g} must be positive")
        return "Neff", neff * math.exp(-h) - NEFF_STANDARD, neff * math.exp(h) - NEFF_STANDARD, 2 * h
    if value == 0:
        return "linear", -h, h, 2 * h
    return "log", value * math.exp(-h), value * math.exp(h), 2 * h


def _rate_steps(name: str, fixed: Mapping[str, Any], h: float) -> tuple[str, float, float, float]:
    # A rate variation multiplies the rate by (u**p + delta): with p = 0 the factor 1 + delta is the
    # same at every temperature, so stepping delta scales the whole rate by exactly that factor.
    if fixed.get("p_" + name):
        raise ValueError(f"sensitivity to {name}: p_{name} is set, so its rate scaling is not a constant factor")
    base = 1.0 + float(fixed.get("delta_" + name, 0.0))
    if base - h <= 0:
        raise ValueError(f"sensitivity to {name}: delta_{name} = {base - 1:g} leaves no room for the step {h:g}")
    return "rate", base - h - 1.0, base + h - 1.0, math.log((base + h) / (base - h))


def sensitivities(quantities: Sequence[str] = DEFAULT_QUANTITIES, reactions: str | Sequence[str] = "all",
                  params: Sequence[str] = DEFAULT_PARAMS, *, step: float = 0.01, client: Any = None,
                  jobs: int | None = None, progress: bool = False, custom_network: Mapping[str, Any] | None = None,
                  data_dir: str | os.PathLike[str] | None = None, **fixed: Any) -> Sensitivities:
    """Logarithmic derivatives d ln Q / d ln x of ``quantities`` by central differences.

    ``reactions``: "all" (every tabulated reaction of the run's network), a list of reaction names,
    or () for none; each rate is scaled by 1 +- ``step`` at all temperatures (``delta_<reaction>`` =
    +-step). ``params``: numeric run parameters, each varied by a factor exp(+-step); DeltaNeff is
    varied through N_eff = 3.044 + DeltaNeff, so its entry is d ln Q / d ln N_eff. The 2 (R + P)
    runs go to ``client`` (Dask) or ``jobs`` local threads as in :func:`nuvex.scan`. Other
    keywords are fixed run parameters. The default step 0.01 keeps the truncation error of the
    differences near 1e-5 relative while staying far above the integration tolerance.
    """
    if isinstance(step, bool) or not isinstance(step, (int, float)) or not 0 < step < 0.5:
        raise ValueError(f"step must be a number between 0 and 0.5, not {step!r}")
    call: dict[str, Any] = {}
    if custom_network is not None:
        call["custom_network"] = custom_network
    if data_dir is not None:
        call["data_dir"] = data_dir
    names, keys = check_quantities(quantities, data_dir if data_dir is not None else _default_dir())
    if isinstance(params, str):
        params = (params,)
    param_steps = [(p, _param_steps(p, fixed, step)) for p in params]
    network, central_run = _reactions_of_network(fixed, call)
    if isinstance(reactions, str):
        if reactions != "all":
            raise ValueError(f"reactions must be 'all' or a list of reaction names, not {reactions!r}")
        reactions = network
    reactions = list(reactions)
    unknown = [r for r in reactions if r not in network]
    if unknown:
        raise ValueError(f"reaction {unknown[0]!r} is not in this run's network")
    steps = [(r, _rate_steps(r, fixed, step)) for r in reactions] + param_steps
    points = []
    for name, (kind, low, high, _) in steps:
        key = "delta_" + name if kind == "rate" else name
        points += [{key: low}, {key: high}]
    # a varied key's fixed value is the base of its steps, so it leaves the fixed parameters
    varied = {k for p in points for k in p}
    base = {k: v for k, v in fixed.items() if k not in varied}
    done = scan(points, names, client=client, jobs=jobs, progress=progress, **call, **base)
    matrix = np.full((len(keys), len(steps)), np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        for j, (_, (_, _, _, width)) in enumerate(steps):
            for i, name in enumerate(names):
                lo, hi = done.values[name][2 * j], done.values[name][2 * j + 1]
                matrix[i, j] = (math.log(hi) - math.log(lo)) / width if lo > 0 and hi > 0 else math.nan
    central = {n: float(central_run[k]) for n, k in zip(names, keys) if k in central_run}
    # each variable's central value, from its two steps: exp(+-h) x for parameters (N_eff for
    # DeltaNeff), (1 + delta) +- h for rates, 1 for a parameter at 0
    bases = []
    for _, (kind, low, high, width) in steps:
        bases.append({"log": low * math.exp(width / 2), "Neff": (low + NEFF_STANDARD) * math.exp(width / 2),
                      "rate": 1.0 + 0.5 * (low + high)}.get(kind, 1.0))
    return Sensitivities(names, [s[0] for s in steps], [s[1][0] for s in steps], matrix, central, step, done.failed,
                         bases)

