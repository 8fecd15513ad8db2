# BBN tables for CMB codes: the helium table that CLASS reads (external/bbn) and the BBN table of CAMB,
# over a grid of baryon density and extra radiation, from Python or `python3 -m nuvex.tables`.
"""Tables of BBN predictions for the Boltzmann codes CLASS and CAMB.

Both tables run the solver over a grid of ``ombh2`` (Omega_b h^2) and ``DeltaN``. ``DeltaN`` is extra
radiation on top of the standard neutrinos: N_eff = 3.044 + DeltaN, where 3.044 is the standard
three-flavour value with incomplete decoupling and QED corrections. It maps one to one onto the
solver's ``DeltaNeff`` parameter, which adds ``DeltaN`` flavours of free-streaming radiation at the
temperature of neutrinos that decoupled before electron-positron annihilation, so that the N_eff of a
run today is 3.044 + DeltaNeff.

- CLASS (``write_class``): ``#`` comment lines, then the counts line ``num_ombh2 num_DeltaN``, then
  one line ``ombh2 DeltaN YHe`` per point with ombh2 varying fastest; YHe is the helium-4 mass
  fraction with atomic masses (``Result.Yp_mass``, solver key YPCMB).
- CAMB (``write_camb``): ``#`` header lines naming the inputs and the columns
  ``ombh2 eta10 DeltaN Yp Yp^BBN sigma_Yp D/H err_D/H``, one row per point, ombh2 varying fastest
  within each DeltaN block; Yp is the mass fraction, Yp^BBN the nucleon fraction 4 n_He4/n_b; the
  error columns are Monte Carlo standard deviations when ``mc`` > 0, else 0.

The default grid: ombh2 from 0.005 to 0.040 in steps of 0.001, with steps of 0.0002 between 0.020
and 0.024 (52 values); DeltaN from -3 to +9 in steps of 0.5 (25 values).
"""
from __future__ import annotations

import argparse
import os
import sys
import tempfile
from typing import Any, Iterable, Sequence

import numpy as np

from ._params import PARAMS
from ._provenance import data_fingerprint, non_default
from ._runner import resolve_data_dir
from ._version import __version__
from .conversions import T_CMB_K, eta10
from .scan import ScanResult, scan

NEFF_STANDARD = 3.044

_CONVENTION = (f"DeltaN = N_eff - {NEFF_STANDARD}: extra radiation on top of the standard neutrinos "
               "(NUVEX parameter DeltaNeff = DeltaN)")


def default_ombh2() -> np.ndarray:
    """The default Omega_b h^2 grid: 0.005 .. 0.040 by 0.001, by 0.0002 within 0.020 .. 0.024 (52 values)."""
    low = np.arange(5, 20) * 1e-3
    dense = 0.020 + 2e-4 * np.arange(21)
    high = np.arange(25, 41) * 1e-3
    return np.round(np.concatenate([low, dense, high]), 6)


def default_DeltaN() -> np.ndarray:
    """The default DeltaN grid: -3 .. +9 by 0.5 (25 values)."""
    return np.round(-3.0 + 0.5 * np.arange(25), 6)


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


def _grid_scan(ombh2: Any, DeltaN: Any, quantities: Sequence[str], params: dict[str, Any], client: Any,
               jobs: int | None, checkpoint: Any, progress: bool, data_dir: Any, mc: int = 0,
               seed: int = 0) -> tuple[np.ndarray, np.ndarray, ScanResult]:
    for key, instead in (("Omegabh2", "ombh2"), ("DeltaNeff", "DeltaN")):
        if key in params:
            raise ValueError(f"{key} is an axis of the table: give the {instead} grid instead")
    ob = _axis("ombh2", ombh2, default_ombh2())
    dn = _axis("DeltaN", DeltaN, default_DeltaN())
    # DeltaN is the outer (slow) axis and ombh2 the inner (fast) one, as both table formats list them
    result = scan({"DeltaNeff": dn.tolist(), "Omegabh2": ob.tolist()}, quantities, client=client, jobs=jobs,
                  checkpoint=checkpoint, progress=progress, data_dir=data_dir, mc=mc, seed=seed, **params)
    if result.failed:
        shown = "; ".join(f"ombh2={f.params['Omegabh2']:g}, DeltaN={f.params['DeltaNeff']:g}: {f.message}"
                          for f in result.failed[:3])
        more = f" (and {len(result.failed) - 3} more)" if len(result.failed) > 3 else ""
        raise RuntimeError(f"{len(result.failed)} grid points failed, so no table was written: {shown}{more}")
    return ob, dn, result


def _header(kind: str, params: dict[str, Any], directory: str, lines: Iterable[str]) -> list[str]:
    changed = non_default(params)
    tau_n = params.get("tau_n", PARAMS["tau_n"].default)
    listed = ", ".join(f"{k} = {v!r}" for k, v in changed.items()) or "none"
    head = [
        f"BBN table for {kind} computed by NUVEX {__version__}",
        f"inputs: tau_n = {tau_n:g} s, T_CMB = {T_CMB_K} K",
        f"parameters differing from the NUVEX defaults: {listed}",
        f"data directory fingerprint: sha256:{data_fingerprint(directory)}",
        _CONVENTION,
        *lines,
    ]
    return ["# " + line for line in head]


def _write_atomic(path: str | os.PathLike[str], text: str) -> None:
    """The table appears complete or not at all: written aside, synced, then renamed into place."""
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".nuvex-table-", dir=directory)
    try:
        with os.fdopen(fd, "w") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def write_class(path: str | os.PathLike[str], ombh2: Sequence[float] | None = None,
                DeltaN: Sequence[float] | None = None, *, client: Any = None, jobs: int | None = None,
                checkpoint: str | os.PathLike[str] | None = None, progress: bool = True,
                data_dir: str | os.PathLike[str] | None = None, **params: Any) -> ScanResult:
    """Write the helium table that CLASS reads (``external/bbn/*.dat``) and return the scan behind it.

    ``ombh2`` and ``DeltaN`` are strictly increasing grids (default: :func:`default_ombh2`,
    :func:`default_DeltaN`); other keywords are run parameters (``tau_n=...``, ``network=...``) and
    the engine options of :func:`nuvex.scan`. The header records the parameters that differ from the
    defaults and the data fingerprint. The file is replaced only once every point has run; when a
    point fails, ``RuntimeError`` names it and nothing is written.
    """
    directory = resolve_data_dir(data_dir)
    ob, dn, result = _grid_scan(ombh2, DeltaN, ["YPCMB"], params, client, jobs, checkpoint, progress, data_dir)
    yhe = result["YPCMB"]
    lines = _header("CLASS", params, directory, [
        "YHe: helium-4 mass fraction with atomic masses (NUVEX YPCMB)",
        f"{len(ob)} values of ombh2 (varying fastest) x {len(dn)} values of DeltaN",
        "first line: num_ombh2 num_DeltaN; then: ombh2 DeltaN YHe",
    ])
    lines.append(f"{len(ob)} {len(dn)}")
    for j, d in enumerate(dn):
        for i, o in enumerate(ob):
            lines.append(f"{o:.8g} {d:.8g} {yhe[j, i]:.10f}")
    _write_atomic(path, "\n".join(lines) + "\n")
    return result


CAMB_COLUMNS = ("ombh2", "eta10", "DeltaN", "Yp", "Yp^BBN", "sigma_Yp", "D/H", "err_D/H")


def write_camb(path: str | os.PathLike[str], ombh2: Sequence[float] | None = None,
               DeltaN: Sequence[float] | None = None, *, mc: int = 0, seed: int = 0, client: Any = None,
               jobs: int | None = None, checkpoint: str | os.PathLike[str] | None = None, progress: bool = True,
               data_dir: str | os.PathLike[str] | None = None, **params: Any) -> ScanResult:
    """Write a BBN table in CAMB's format and return the scan behind it.

    Columns ``ombh2 eta10 DeltaN Yp Yp^BBN sigma_Yp D/H err_D/H``: eta10 = 1e10 n_b/n_gamma for the
    run's Newton constant, Yp the helium-4 mass fraction, Yp^BBN = 4 Y(He4), D/H by number. With
    ``mc`` > 0 every point is a Monte Carlo of ``mc`` samples (seed ``seed``) over the nuclear rates
    and tau_n, and sigma_Yp, err_D/H are their standard deviations; with ``mc`` = 0 they are 0.
    Other arguments as :func:`write_class`.
    """
    directory = resolve_data_dir(data_dir)
    quantities = ["YPCMB", "YPBBN", "DoH"]
    ob, dn, result = _grid_scan(ombh2, DeltaN, quantities, params, client, jobs, checkpoint, progress, data_dir,
                                mc, seed)
    zero = np.zeros(result.shape)
    sigma_yp = result["YPCMB_std"] if mc else zero
    err_doh = result["DoH_std"] if mc else zero
    errors = (f"sigma_Yp, err_D/H: standard deviations of a {mc}-sample Monte Carlo of the nuclear rates and "
              f"tau_n (seed {seed})" if mc else "sigma_Yp, err_D/H: not computed (0)")
    lines = _header("CAMB", params, directory, [
        "Yp: helium-4 mass fraction with atomic masses; Yp^BBN: nucleon fraction 4 n_He4/n_b; D/H by number",
        errors,
        "rows: ombh2 varying fastest within each DeltaN block",
        "   ".join(f"{c:>12}" for c in CAMB_COLUMNS).lstrip(),
    ])
    eta = eta10(ob, float(params.get("GN", PARAMS["GN"].default)))
    for j, d in enumerate(dn):
        for i, o in enumerate(ob):
            row = (f"{o:.8g}", f"{eta[i]:.8g}", f"{d:.8g}", f"{result['YPCMB'][j, i]:.10f}",
                   f"{result['YPBBN'][j, i]:.10f}", f"{sigma_yp[j, i]:.4e}", f"{result['DoH'][j, i]:.8e}",
                   f"{err_doh[j, i]:.4e}")
            lines.append("   ".join(f"{c:>12}" for c in row))
    _write_atomic(path, "\n".join(lines) + "\n")
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
                count = int(np.floor((stop - start) / step + 1e-9)) + 1
                if count < 1:
                    raise argparse.ArgumentTypeError(f"range {part!r} is empty")
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


def _parser(prog: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=prog,
        description="Write a BBN table for CLASS (external/bbn/*.dat) or CAMB. " + _CONVENTION + ".")
    p.add_argument("format", choices=("class", "camb"), help="table format")
    p.add_argument("--out", required=True, help="output file (replaced only when complete)")
    p.add_argument("--tau-n", type=float, help="neutron lifetime in seconds (default %g)" % PARAMS["tau_n"].default)
    p.add_argument("--network", help="reaction network: small (default) or large")
    p.add_argument("--ombh2", type=_grid_arg, help="Omega_b h^2 grid: values and ranges start:stop:step, "
                                                   "comma-separated (default: 52 values from 0.005 to 0.040)")
    p.add_argument("--DeltaN", "--deltan", dest="DeltaN", type=_grid_arg,
                   help="DeltaN grid, same syntax (default: -3:9:0.5)")
    p.add_argument("--set", dest="params", action="append", type=_set_arg, default=[], metavar="KEY=VALUE",
                   help="any other run parameter (repeatable), e.g. --set numerical_precision=1e-8")
    p.add_argument("--mc", type=int, default=0, help="camb: Monte Carlo samples per point for the error columns")
    p.add_argument("--seed", type=int, default=0, help="seed of those Monte Carlo samples")
    p.add_argument("--jobs", type=int, help="local worker processes (default: one per core)")
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


def main(argv: Sequence[str] | None = None, prog: str = "python3 -m nuvex.tables") -> int:
    parser = _parser(prog)
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
