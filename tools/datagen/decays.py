# Beta-decay channels from the NUBASE2020 decay constants and decay-mode strings.
# Each measured branch becomes one reaction; particle-unstable residues are broken up into their fragments.
import csv
import math
import os

# Residues that live far below a microsecond, and what they fall apart into.
BREAKUP = {
    "Be8": ["He4", "He4"],
    "He5": ["He4", "n"],
    "Li5": ["He4", "p"],
    "B9": ["p", "He4", "He4"],
    "H4": ["H3", "n"],
    "He7": ["He6", "n"],
}

# Particles emitted after the beta transition, by NUBASE mode suffix: (name list).
EMITTED = {"n": ["n"], "2n": ["n", "n"], "3n": ["n", "n", "n"], "4n": ["n", "n", "n", "n"],
           "p": ["p"], "A": ["He4"], "d": ["H2"], "t": ["H3"], "pA": ["p", "He4"]}


class Channel:
    def __init__(self, parent, products, beta, fraction, frac_rel_unc, row):
        self.parent = parent
        self.products = products      # nuclide names, fragments resolved
        self.beta = beta              # "Bm" or "Bp"
        self.fraction = fraction
        self.frac_rel_unc = frac_rel_unc
        self.half_life_s = float(row["half_life_s"])
        self.lam = float(row["lambda_per_s"]) * fraction
        self.lam_rel_unc = float(row["lambda_rel_unc_1sigma"])
        self.modes = row["decay_modes_nubase"]

    @property
    def unc_factor(self):
        return 1.0 + math.hypot(self.lam_rel_unc, self.frac_rel_unc)


def _parse_value(text):
    """'50.5_10' -> (50.5, 1.0); the uncertainty digits apply to the last digits of the value."""
    if "_" not in text:
        return float(text), 0.0
    value, unc = text.split("_", 1)
    decimals = len(value.split(".")[1]) if "." in value else 0
    return float(value), float(unc) * 10.0 ** (-decimals)


def _parse_modes(modes):
    """-> (primary 'B-'|'B+', [(suffix, percent, percent_unc)]) for measured particle branches."""
    entries = modes.split("[")[0].split(";")
    primary = entries[0].split("=")[0]
    primary = "B+" if primary in ("B+", "EC") else primary
    branches = []
    for e in entries[1:]:
        if "=" not in e:
            continue  # '_?' (unmeasured) or '<' limits: no rate can be given
        mode, value = e.split("=", 1)
        for prefix in ("B-", "B+"):
            if mode.startswith(prefix) and mode[2:] in EMITTED:
                pct, unc = _parse_value(value)
                branches.append((mode[2:], pct, unc))
    return primary, branches


def _resolve(names, table):
    out = []
    for s in names:
        if s in BREAKUP:
            out.extend(_resolve(BREAKUP[s], table))
        else:
            out.append(s)
    return out


def read_channels(src_dir, table):
    by_za = {(n.Z, n.A): n.name for n in table.values()}
    za = {n.name: (n.Z, n.A) for n in table.values()}
    path = os.path.join(src_dir, "decays_from_nubase2020.csv")
    channels = []
    skipped = []
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            parent = row["parent"]
            if parent == "n":
                continue  # free-neutron decay is part of the weak n<->p rates
            primary, branches = _parse_modes(row["decay_modes_nubase"])
            Z, A = int(row["Z"]), int(row["A"])
            dz, beta = (1, "Bm") if primary == "B-" else (-1, "Bp")
            merged = {}
            rest = 100.0 - sum(b[1] for b in branches)
            rest_unc2 = sum(b[2] * b[2] for b in branches)
            for suffix, pct, unc in [("", rest, math.sqrt(rest_unc2))] + branches:
                if pct <= 0.0:
                    continue
                emitted = EMITTED.get(suffix, [])
                z, a = Z + dz - sum(za[s][0] for s in emitted), A - sum(za[s][1] for s in emitted)
                if (z, a) not in by_za:
                    skipped.append(parent)  # daughter outside the nuclide table (Na24 -> Mg24)
                    continue
                products = tuple(sorted(_resolve([by_za[(z, a)]] + emitted, table)))
                f0, u2 = merged.get(products, (0.0, 0.0))
                merged[products] = (f0 + pct, u2 + unc * unc)
            for products, (pct, unc2) in sorted(merged.items()):
                frac = pct / 100.0
                channels.append(Channel(parent, list(products), beta, frac,
                                        math.sqrt(unc2) / pct, row))
    return channels, sorted(set(skipped))
