# BBN tables for CMB codes: the helium table that CLASS reads (external/bbn) and the BBN table of CAMB,
# over a grid of baryon density and extra radiation, from Python or `python3 -m nuvex.tables`.
"""Tables of BBN predictions for the Boltzmann codes CLASS and CAMB.

Both tables run the solver over a grid of ``ombh2`` (Omega_b h^2) and ``DeltaN``, where
``DeltaN = N_eff - neff_reference`` and ``neff_reference`` is the N_eff that the reading code
subtracts before it looks up the table: 3.046 for CLASS (v3.3.4 computes DeltaN = Neff_bbn - 3.046),
3.044 for CAMB (delta_neff = N_eff - default_nnu, default_nnu = 3.044). A table written for the
subtraction its reader makes returns the helium of the reader's own N_eff. Every row runs the solver
with ``DeltaNeff = N_eff - 3.044``, 3.044 being the standard three-flavour value with incomplete
decoupling and QED corrections: ``DeltaNeff`` adds free-streaming radiation (negative: removes it) at
the temperature of neutrinos that decoupled before electron-positron annihilation, so that a run's
N_eff today is 3.044 + DeltaNeff. N_eff = 0 is a universe whose expansion rate holds no neutrino
radiation; the three flavours still take part in the weak n <-> p reactions, as in every table of
this kind.

- CLASS (``write_class``): ``#`` comment lines, then the counts line ``num_ombh2 num_DeltaN``, then
  one line ``ombh2 DeltaN YHe`` per point with ombh2 varying fastest; YHe is the helium-4 mass
  fraction with atomic masses (``Result.Yp_mass``, solver key YPCMB).
- CAMB (``write_camb``): ``#`` header lines naming the inputs and the columns
  ``ombh2 eta10 DeltaN Yp Yp^BBN sigma_Yp D/H err_D/H``, one row per point, ombh2 varying fastest
  within each DeltaN block; Yp is the mass fraction, Yp^BBN the nucleon fraction 4 n_He4/n_b; the
  error columns are Monte Carlo standard deviations when ``mc`` > 0, else 0.

The default grids keep the error of the readers' cubic-spline interpolation below 1e-6 in YHe over
ombh2 0.005 - 0.040 and N_eff 0 - 12: ombh2 from 0.002 to 0.046 (50 values: steps of 0.0005 below
0.010, 0.001 up to 0.040, 0.002 beyond), N_eff from 0 to 15 (37 values: rows refined towards N_eff = 0,
which cannot be passed, steps of 0.5 from 1.5 to 12, then 13, 14, 15). Table runs use
``numerical_precision`` = 1e-9 unless the caller gives another value: the run default of 1e-7
scatters YHe by up to 8e-7 from point to point.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any, Iterable, Sequence

import numpy as np

from ._output import check_target, write_text
from ._params import PARAMS
from ._provenance import data_fingerprint, non_default
from ._runner import resolve_data_dir
from ._version import __version__
from .conversions import T_CMB_K, eta10
from .scan import MAX_POINTS, ScanResult, scan

# Standard N_eff of three neutrino flavours (incomplete decoupling, QED corrections): a run's N_eff is
# 3.044 + DeltaNeff.
NEFF_STANDARD = 3.044
# What the readers subtract from their N_eff to form the table's DeltaN. CLASS v3.3.4 (commit e858083,
# source/thermodynamics.c, thermodynamics_helium_from_bbn) takes DeltaN = Neff_bbn - 3.046, the value
# of N_eff standard before 2020; CAMB takes N_eff - default_nnu with default_nnu = 3.044.
NEFF_REFERENCE_CLASS = 3.046
NEFF_REFERENCE_CAMB = 3.044
# Integration tolerance of the table runs unless the caller gives one. With the run default (1e-7), YHe
# scatters by up to 8e-7 from point to point (steps of the stiff solver switch as the parameters move),
# which alone would use up the readers' 1e-6 budget; at 1e-9 it is within 3e-8 of the converged value
# and smooth, for about 1.5 times the time.
TABLE_PRECISION = 1e-9


def _table_params(params: dict[str, Any]) -> dict[str, Any]:
    return {"numerical_precision": TABLE_PRECISION, **params}


def _convention(neff_reference: float) -> str:
    return (f"DeltaN = N_eff - {neff_reference:g}: extra radiation counted from the N_eff that the reading code "
            "subtracts; each row ran NUVEX with DeltaNeff = N_eff - 3.044")


def _reference_reason(neff_reference: float) -> list[str]:
    """Header lines saying whose subtraction the table follows and what a row means."""
    if neff_reference == NEFF_REFERENCE_CLASS:
        who = ("CLASS computes DeltaN = Neff_bbn - 3.046 (thermodynamics_helium_from_bbn; checked with CLASS v3.3.4, "
               "commit e858083), so CLASS as released reads the YHe of its own N_eff")
    elif neff_reference == NEFF_REFERENCE_CAMB:
        who = ("for readers that subtract the standard 3.044: CAMB (delta_neff = N_eff - default_nnu, 3.044) and "
               "readers following the header convention DeltaN = N_eff - 3.044")
    else:
        who = f"N_eff reference {neff_reference:g} chosen by the caller"
    shift = round(neff_reference - NEFF_STANDARD, 10)
    relation = "DeltaNeff = DeltaN" + (f" {'+' if shift > 0 else '-'} {abs(shift):g}" if shift else "")
    return [who,
            f"3.044: standard three-flavour N_eff (incomplete decoupling, QED); {relation}",
            "N_eff = 0: no neutrino radiation in the expansion rate (the three flavours still drive the weak "
            "n <-> p rates)"]


def _grid(*pieces: tuple[float, float, float]) -> np.ndarray:
    """Concatenated inclusive ranges (start, stop, step), rounded to the decimals they are written with."""
    parts = [start + step * np.arange(int(round((stop - start) / step)) + 1) for start, stop, step in pieces]
    return np.round(np.concatenate(parts), 8)


def default_ombh2() -> np.ndarray:
    """The default Omega_b h^2 grid (50 values): 0.002 .. 0.0095 by 0.0005, 0.010 .. 0.040 by 0.001,
    0.042 .. 0.046 by 0.002.

    The CMB codes' cubic splines err most at the ends of the table (CLASS's natural spline by up to
    1e-4 in YHe at ombh2 = 0.0055 on a table that starts at 0.005 with steps of 0.001), and YHe bends
    most at small ombh2: the grid is finer there and reaches past 0.005 and 0.040, which keeps the
    interpolation error below 2e-7 between them.
    """
    return _grid((0.002, 0.0095, 0.0005), (0.010, 0.040, 0.001), (0.042, 0.046, 0.002))


def default_Neff() -> np.ndarray:
    """The default N_eff grid (37 values): 0, 0.025, 0.05, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.75, 1, 1.25,
    1.5, then 2 .. 12 by 0.5, then 13, 14, 15.

    N_eff = 0 (no neutrino radiation) is the lower end, where CLASS runs with N_ur = 0 look up the table
    and which no physical table can pass; the rows close in on it because YHe bends most there (a
    natural spline through rows 0.5 apart errs by 6e-5 near the end). Past 12 the rows continue to
    15 so that the spline's free end lies outside the range asked for.
    """
    return np.concatenate([[0.0, 0.025, 0.05, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.75, 1.0, 1.25, 1.5],
                           _grid((2.0, 12.0, 0.5)), [13.0, 14.0, 15.0]])


def default_DeltaN(neff_reference: float = NEFF_REFERENCE_CLASS) -> np.ndarray:
    """The default DeltaN grid for a reader that subtracts ``neff_reference``: :func:`default_Neff` -
    ``neff_reference`` (37 values, from -3.046 by default)."""
    return np.round(default_Neff() - float(neff_reference), 8)


def _axis(name: str, values: Any, default: np.ndarray) -> np.ndarray:
    if values is None:
        return default
    try:
        arr = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"the {name} grid must be a sequence of numbers") from None
    if arr.ndim != 1 or arr.size < 2:
        raise ValueError(f"the {name} grid must be a one-dimensional sequence of at least 2 values "
                         "(the CMB codes interpolate in it)")
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"the {name} grid holds a value that is not finite")
    if not np.all(np.diff(arr) > 0):
        raise ValueError(f"the {name} grid must be strictly increasing")
    if name == "ombh2" and arr[0] <= 0:
        raise ValueError(f"the ombh2 grid must be positive (got {arr[0]:g})")
    return arr


def _neff_reference(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"neff_reference must be a number (got {value!r})")
    ref = float(value)
    if not (2.0 <= ref <= 4.0):  # NaN fails too
        raise ValueError(f"neff_reference={ref:g} is not a standard N_eff: the readers subtract 3.046 (CLASS) "
                         "or 3.044 (CAMB)")
    return ref


def _grid_scan(ombh2: Any, DeltaN: Any, neff_reference: float, quantities: Sequence[str], params: dict[str, Any],
               client: Any, jobs: int | None, checkpoint: Any, progress: bool, data_dir: Any, mc: int = 0,
               seed: int = 0) -> tuple[np.ndarray, np.ndarray, ScanResult]:
    for key, instead in (("Omegabh2", "ombh2"), ("DeltaNeff", "DeltaN")):
        if key in params:
            raise ValueError(f"{key} is an axis of the table: give the {instead} grid instead")
    ob = _axis("ombh2", ombh2, default_ombh2())
    dn = _axis("DeltaN", DeltaN, default_DeltaN(neff_reference))
    # the rows' N_eff, rounded so that the row written as -3.046 (N_eff = 0) runs at DeltaNeff = -3.044
    # exactly instead of a round-off below it, which would ask for negative radiation
    neff = np.round(dn + neff_reference, 10)
    if neff[0] < 0:
        raise ValueError(f"the DeltaN grid starts at {dn[0]:g}, that is N_eff = {neff[0]:g} < 0 for a reader "
                         f"subtracting {neff_reference:g}: no radiation is left to remove below N_eff = 0 "
                         f"(DeltaN = {-neff_reference:g})")
    dneff = np.round(neff - NEFF_STANDARD, 10)
    # DeltaN is the outer (slow) axis and ombh2 the inner (fast) one, as both table formats list them
    result = scan({"DeltaNeff": dneff.tolist(), "Omegabh2": ob.tolist()}, quantities, client=client, jobs=jobs,
                  checkpoint=checkpoint, progress=progress, data_dir=data_dir, mc=mc, seed=seed, **params)
    if result.failed:
        shown = "; ".join(f"ombh2={f.params['Omegabh2']:g}, "
                          f"DeltaN={f.params['DeltaNeff'] + NEFF_STANDARD - neff_reference:.10g} "
                          f"(DeltaNeff={f.params['DeltaNeff']:g}): {f.message}" for f in result.failed[:3])
        more = f" (and {len(result.failed) - 3} more)" if len(result.failed) > 3 else ""
        raise RuntimeError(f"{len(result.failed)} grid points failed, so no table was written: {shown}{more}")
    return ob, dn, result


def _header(kind: str, params: dict[str, Any], directory: str, neff_reference: float, ob: np.ndarray,
            dn: np.ndarray, lines: Iterable[str]) -> list[str]:
    changed = non_default(params)
    tau_n = params.get("tau_n", PARAMS["tau_n"].default)
    listed = ", ".join(f"{k} = {v!r}" for k, v in changed.items()) or "none"
    head = [
        f"BBN table for {kind} computed by NUVEX {__version__}",
        f"inputs: tau_n = {tau_n:g} s, T_CMB = {T_CMB_K} K",
        f"parameters differing from the NUVEX defaults: {listed}",
        f"data directory fingerprint: sha256:{data_fingerprint(directory)}",
        _convention(neff_reference),
        *_reference_reason(neff_reference),
        f"{len(ob)} values of ombh2 ({ob[0]:g} .. {ob[-1]:g}) x {len(dn)} values of DeltaN ({dn[0]:.10g} .. "
        f"{dn[-1]:.10g}, N_eff {dn[0] + neff_reference:.10g} .. {dn[-1] + neff_reference:.10g})",
        *lines,
    ]
    return ["# " + line for line in head]


def write_class(path: str | os.PathLike[str], ombh2: Sequence[float] | None = None,
                DeltaN: Sequence[float] | None = None, *, neff_reference: float = NEFF_REFERENCE_CLASS,
                client: Any = None, jobs: int | None = None, checkpoint: str | os.PathLike[str] | None = None,
                progress: bool = True, data_dir: str | os.PathLike[str] | None = None, **params: Any) -> ScanResult:
    """Write the helium table that CLASS reads (``external/bbn/*.dat``) and return the scan behind it.

    ``DeltaN`` values are those of the table's DeltaN column, N_eff - ``neff_reference``, where
    ``neff_reference`` is what the reader subtracts from its N_eff: 3.046 (default) for CLASS as
    released (v3.3.4 computes DeltaN = Neff_bbn - 3.046), 3.044 for readers that follow the convention
    DeltaN = N_eff - 3.044. Every row runs with ``DeltaNeff`` = N_eff - 3.044; N_eff must be >= 0.
    ``ombh2`` and ``DeltaN`` are strictly increasing grids (default: :func:`default_ombh2`,
    :func:`default_DeltaN` of ``neff_reference``, i.e. N_eff from 0 to 15); other keywords are run
    parameters (``tau_n=...``, ``network=...``; ``numerical_precision`` is 1e-9 unless given, since
    the run default of 1e-7 scatters YHe by up to 8e-7) and the engine options of :func:`nuvex.scan`
    (the returned scan's ``DeltaNeff`` axis holds the values run). The header records the N_eff convention,
    the parameters that differ from the defaults and the data fingerprint. The file is replaced only
    once every point has run; when a point fails, ``RuntimeError`` names it and nothing is written.
    """
    check_target(path)  # a device or directory is refused before the scan, not after it
    directory = resolve_data_dir(data_dir)
    ref = _neff_reference(neff_reference)
    params = _table_params(params)
    ob, dn, result = _grid_scan(ombh2, DeltaN, ref, ["YPCMB"], params, client, jobs, checkpoint, progress,
                                data_dir)
    yhe = result["YPCMB"]
    lines = _header("CLASS", params, directory, ref, ob, dn, [
        "YHe: helium-4 mass fraction with atomic masses (NUVEX YPCMB)",
        "first line: num_ombh2 num_DeltaN; then: ombh2 DeltaN YHe, ombh2 varying fastest",
    ])
    lines.append(f"{len(ob)} {len(dn)}")
    for j, d in enumerate(dn):
        for i, o in enumerate(ob):
            lines.append(f"{o:.10g} {d:.10g} {yhe[j, i]:.10f}")
    write_text(path, "\n".join(lines) + "\n")
    return result


CAMB_COLUMNS = ("ombh2", "eta10", "DeltaN", "Yp", "Yp^BBN", "sigma_Yp", "D/H", "err_D/H")


def write_camb(path: str | os.PathLike[str], ombh2: Sequence[float] | None = None,
               DeltaN: Sequence[float] | None = None, *, neff_reference: float = NEFF_REFERENCE_CAMB, mc: int = 0,
               seed: int = 0, client: Any = None, jobs: int | None = None,
               checkpoint: str | os.PathLike[str] | None = None, progress: bool = True,
               data_dir: str | os.PathLike[str] | None = None, **params: Any) -> ScanResult:
    """Write a BBN table in CAMB's format and return the scan behind it.

    Columns ``ombh2 eta10 DeltaN Yp Yp^BBN sigma_Yp D/H err_D/H``: eta10 = 1e10 n_b/n_gamma for the
    run's Newton constant, Yp the helium-4 mass fraction, Yp^BBN = 4 Y(He4), D/H by number. DeltaN =
    N_eff - ``neff_reference``, 3.044 by default: CAMB looks the table up at N_eff - default_nnu, and
    default_nnu is 3.044 (3.046 in CAMB releases that still used 3.046: pass
    ``neff_reference=3.046`` for those). With ``mc`` > 0 every point is a Monte Carlo of ``mc``
    samples (seed ``seed``) over the nuclear rates and tau_n, and sigma_Yp, err_D/H are their standard
    deviations; with ``mc`` = 0 they are 0. Other arguments as :func:`write_class`.
    """
    check_target(path)  # a device or directory is refused before the scan, not after it
    directory = resolve_data_dir(data_dir)
    ref = _neff_reference(neff_reference)
    params = _table_params(params)
    quantities = ["YPCMB", "YPBBN", "DoH"]
    ob, dn, result = _grid_scan(ombh2, DeltaN, ref, quantities, params, client, jobs, checkpoint, progress,
                                data_dir, mc, seed)
    zero = np.zeros(result.shape)
    sigma_yp = result["YPCMB_std"] if mc else zero
    err_doh = result["DoH_std"] if mc else zero
    errors = (f"sigma_Yp, err_D/H: standard deviations of a {mc}-sample Monte Carlo of the nuclear rates and "
              f"tau_n (seed {seed})" if mc else "sigma_Yp, err_D/H: not computed (0)")
    lines = _header("CAMB", params, directory, ref, ob, dn, [
        "Yp: helium-4 mass fraction with atomic masses; Yp^BBN: nucleon fraction 4 n_He4/n_b; D/H by number",
        errors,
        "rows: ombh2 varying fastest within each DeltaN block",
        "   ".join(f"{c:>12}" for c in CAMB_COLUMNS).lstrip(),
    ])
    eta = eta10(ob, float(params.get("GN", PARAMS["GN"].default)))
    for j, d in enumerate(dn):
        for i, o in enumerate(ob):
            row = (f"{o:.10g}", f"{eta[i]:.8g}", f"{d:.10g}", f"{result['YPCMB'][j, i]:.10f}",
                   f"{result['YPBBN'][j, i]:.10f}", f"{sigma_yp[j, i]:.4e}", f"{result['DoH'][j, i]:.8e}",
                   f"{err_doh[j, i]:.4e}")
            lines.append("   ".join(f"{c:>12}" for c in row))
    write_text(path, "\n".join(lines) + "\n")
    return result


# ---- command line ----------------------------------------------------------------------------------

def _grid_arg(text: str) -> list[float]:
    """Comma-separated values or inclusive ranges start:stop:step, e.g. "0.005:0.019:0.001,0.02:0.024:0.0002"."""
    out: list[float] = []
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        try:
            if ":" in part:
                start, stop, step = (float(x) for x in part.split(":"))
                if step <= 0:
                    raise argparse.ArgumentTypeError(f"range {part!r}: the step must be positive")
                span = (stop - start) / step
                if not math.isfinite(span):
                    raise argparse.ArgumentTypeError(f"range {part!r}: start, stop and step must be finite")
                count = int(np.floor(span + 1e-9)) + 1
                if count < 1:
                    raise argparse.ArgumentTypeError(f"range {part!r} is empty")
                # checked before the values are made: a tiny step would ask for unbounded memory
                if count > MAX_POINTS:
                    raise argparse.ArgumentTypeError(f"range {part!r} has {count} values; a grid takes at most "
                                                     f"{MAX_POINTS} points")
                out.extend(np.round(start + step * np.arange(count), 10).tolist())
            else:
                out.append(float(part))
        except ValueError:
            raise argparse.ArgumentTypeError(f"{part!r} is neither a number nor a range start:stop:step") from None
    if not out:
        raise argparse.ArgumentTypeError("empty grid")
    return out


def _literal(text: str) -> Any:
    low = text.strip()
    if low in ("True", "true"):
        return True
    if low in ("False", "false"):
        return False
    if low in ("None", "none"):
        return None
    for kind in (int, float):
        try:
            return kind(low)
        except ValueError:
            pass
    return text


def _set_arg(text: str) -> tuple[str, Any]:
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError(f"{text!r} is not KEY=VALUE")
    return key.strip(), _literal(value)


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python3 -m nuvex.tables",
        description="Write a BBN table for CLASS (external/bbn/*.dat) or CAMB. DeltaN = N_eff - NEFF_REFERENCE, "
                    "the N_eff that the reader subtracts (CLASS v3.3.4: 3.046, CAMB: 3.044); every row runs "
                    "with DeltaNeff = N_eff - 3.044.")
    p.add_argument("format", choices=("class", "camb"), help="table format")
    p.add_argument("--out", required=True, help="output file (replaced only when complete)")
    p.add_argument("--tau-n", type=float, help="neutron lifetime in seconds (default %g)" % PARAMS["tau_n"].default)
    p.add_argument("--network", help="reaction network: small (default) or large")
    p.add_argument("--ombh2", type=_grid_arg, help="Omega_b h^2 grid: values and ranges start:stop:step, "
                                                   "comma-separated (default: 50 values from 0.002 to 0.046)")
    p.add_argument("--DeltaN", "--deltan", dest="DeltaN", type=_grid_arg,
                   help="DeltaN grid (N_eff - NEFF_REFERENCE), same syntax (default: 37 values for N_eff from 0 to 15)")
    p.add_argument("--neff-reference", type=float, metavar="NEFF_REFERENCE",
                   help=f"the N_eff the reader subtracts to form DeltaN (default: {NEFF_REFERENCE_CLASS} for class, "
                        f"as CLASS v3.3.4 does; {NEFF_REFERENCE_CAMB} for camb)")
    p.add_argument("--set", dest="params", action="append", type=_set_arg, default=[], metavar="KEY=VALUE",
                   help="any other run parameter (repeatable), e.g. --set numerical_precision=1e-8")
    p.add_argument("--mc", type=int, default=0, help="camb: Monte Carlo samples per point for the error columns")
    p.add_argument("--seed", type=int, default=0, help="seed of those Monte Carlo samples")
    p.add_argument("--jobs", type=int, help="local worker threads (default: one per core)")
    p.add_argument("--scheduler", help="address of a Dask scheduler to run on (e.g. tcp://host:8786)")
    p.add_argument("--checkpoint", help="resumable checkpoint file of the points")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    return p


_GRID_OPTIONS = ("--ombh2", "--DeltaN", "--deltan")


def _join_grid_values(argv: Sequence[str]) -> list[str]:
    """'--DeltaN -3:9:0.5' as '--DeltaN=-3:9:0.5': argparse would take a value that starts with '-' and
    is not a plain number for an option."""
    out: list[str] = []
    it = iter(argv)
    for token in it:
        if token in _GRID_OPTIONS:
            value = next(it, None)
            out.append(token if value is None else f"{token}={value}")
        else:
            out.append(token)
    return out


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(_join_grid_values(sys.argv[1:] if argv is None else argv))
    params = dict(args.params)
    if args.tau_n is not None:
        params["tau_n"] = args.tau_n
    if args.network is not None:
        params["network"] = args.network
    if args.mc and args.format == "class":
        parser.error("--mc applies to camb tables only (CLASS tables hold no errors)")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    client = None
    try:
        if args.scheduler:
            from distributed import Client

            client = Client(args.scheduler)
        options = dict(client=client, jobs=args.jobs, checkpoint=args.checkpoint, progress=not args.quiet)
        if args.neff_reference is not None:
            options["neff_reference"] = args.neff_reference
        if args.format == "class":
            write_class(args.out, args.ombh2, args.DeltaN, **options, **params)
        else:
            write_camb(args.out, args.ombh2, args.DeltaN, mc=args.mc, seed=args.seed, **options, **params)
    except (ValueError, TypeError) as e:
        parser.error(str(e))
    except (RuntimeError, OSError) as e:
        print(f"{parser.prog}: error: {e}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
    print(f"wrote {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
