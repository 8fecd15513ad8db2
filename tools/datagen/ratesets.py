# Rate sets: named manifests (nuclear/ratesets/<name>.txt) whose tables replace the listed reactions'
# own, following the published rate choices of one BBN code where our sources hold them.
import math
import os

import reaclib
import tables

# The choices each set follows, and what our sources lack of them. An entry is (reaction, origin):
# origin "default" keeps the shipped table (the code's choice is the fit we already ship); a pair
# (snapshot, label) takes that REACLIB parameter set.
PARTHENOPE_REFS = ("PArthENoPE3.0", "Serpico2004")

PRIMAT_CHOICES = [
    ("d_d__He3_n", ("2025", "gi17"),
     "Gomez Inesta, Iliadis & Coc 2017, ApJ 849, 134 (Bayesian rate; REACLIB gi17), PRIMAT's choice"),
    ("He3_n__t_p", ("2017", "de04"),
     "Descouvemont et al. 2004, ADNDT 88, 203 (R-matrix; REACLIB de04), PRIMAT's choice"),
]

# PRIMAT's rates of the other deuterium and helium-3 reactions, absent from our sources: these
# reactions keep the default tables in the 'primat' set.
PRIMAT_MISSING = [
    ("d_p__He3_g", "Pitrou et al. 2021 Bayesian rate with the LUNA data (Mossa et al. 2020, Nature 587, 210)"),
    ("d_d__t_p", "Gomez Inesta, Iliadis & Coc 2017 (REACLIB gi17; our 2025 snapshot lacks tritium, the 2017 one has only de04)"),
    ("He3_d__a_p", "de Souza, Iliadis & Coc 2019, ApJ 872, 75 (REACLIB de19, not in our snapshots)"),
    ("t_d__a_n", "de Souza et al. 2019, PRC 99, 014619 (REACLIB de18, not in our snapshots)"),
    ("He3_a__Be7_g", "PRIMAT's own evaluation could not be identified in our sources (the default is Cyburt & Davids 2008)"),
]

PARTHENOPE_MISSING = [
    ("t_p__a_g", "Serpico et al. 2004 fit (our key-rate sources hold Caughlan & Fowler 1988)"),
    ("He3_a__Be7_g", "the PArthENoPE fit (our key-rate sources hold Cyburt & Davids 2008)"),
]


def _uncertainty_line(kf):
    for c in kf.comments:
        if c.startswith("# uncertainty:"):
            return c[len("# uncertainty:"):].strip()
    return "see the table"


def _citation(kf):
    for c in kf.comments:
        if c.startswith("# citation:"):
            return c[len("# citation:"):].strip()
    return kf.ref


def _clean(text, limit=None):
    text = text.replace("|", "/").replace("\n", " ")
    return text if limit is None or len(text) <= limit else text[:limit - 3].rstrip() + "..."


def _log_interp(rows, T9, col):
    """Column `col` of (T9, rate, fu) rows, log-log interpolated (held at the ends)."""
    if T9 <= rows[0][0]:
        return rows[0][col]
    if T9 >= rows[-1][0]:
        return rows[-1][col]
    for a, b in zip(rows, rows[1:]):
        if a[0] <= T9 <= b[0]:
            w = math.log(T9 / a[0]) / math.log(b[0] / a[0])
            return math.exp((1 - w) * math.log(a[col]) + w * math.log(b[col]))
    raise AssertionError


class RateSets:
    """Manifests and extra tables of the rate sets, from the build's tables and the REACLIB files."""

    def __init__(self, build, src_dir):
        self.b = build
        self.sets = {}
        for origin, fname in (("2025", "reaclib2025_light_from_microphysics.dat"),
                              ("2017", "winnet_bbn_reactions_reaclib2017.dat")):
            self.sets[origin] = reaclib.read_reaclib(os.path.join(src_dir, "reaclib", fname), origin)
        self.key_files = {}
        for k in build.key_files:
            self.key_files[k.name] = tables.KeyFile(k.key_file)
        self.files = {}
        self.summary = []   # (set, reaction, file, source) for the data README

    def _reaclib_sets(self, name, origin, label):
        rx = self.b.reactions[name]
        want_r, want_p = tuple(sorted(rx.reactants)), tuple(sorted(rx.products))
        out = [s for s in self.sets[origin]
               if s.label == label and not s.reverse and not s.weak
               and s.reactants == want_r and s.products == want_p]
        if not out:
            raise ValueError("REACLIB %s has no %s set for %s" % (origin, label, name))
        return out

    def _reaclib_table(self, name, origin, label, source):
        """A REACLIB parameter set as a table; its band is that of the default table of the reaction."""
        default_rows = self.b.tables[name][2]
        sets = self._reaclib_sets(name, origin, label)
        rows = [(T9, tables.clamp_rate(math.exp(min(reaclib.log_rate(sets, T9), 700.0))),
                 _log_interp(default_rows, T9, 2)) for T9 in tables.GRID]
        rx = self.b.reactions[name]
        ref = "REACLIB-%s:%s" % (origin, label)
        header = ["reaction: %s (%s -> %s)" % (name, " + ".join(rx.reactants), " + ".join(rx.products)),
                  "rate: %s, evaluated from the REACLIB %s snapshot's parameter set %s" % (source, origin, label),
                  "uncertainty: REACLIB carries none and the evaluation's own band is not in our sources: the "
                  "1-sigma factor of the default table of this reaction (%s), interpolated" % self.b.tables[name][0]]
        fname = "%s_%s.txt" % (name, label)
        self.files["nuclear/tables/%s/%s" % (name, fname)] = tables.format_table(ref, header, rows)
        return fname, ref

    def _default_entry(self, name):
        ref = self.b.tables[name][0]
        kf = self.key_files.get(name)
        source = "%s: %s" % (ref, _citation(kf)) if kf else ref
        unc = _uncertainty_line(kf) if kf else "default factor of the table"
        return (name, "%s_nuvex.txt" % name, source, unc)

    def _manifest(self, set_name, lines, entries):
        out = ["# %s" % lines[0]] + ["# " + ln for ln in lines[1:]]
        out.append("# reaction | table file (in nuclear/tables/<reaction>/) | source | 1-sigma uncertainty")
        for name, fname, source, unc in entries:
            out.append("%s | %s | %s | %s" % (name, fname, _clean(source), _clean(unc)))
            self.summary.append((set_name, name, fname, source))
        self.files["nuclear/ratesets/%s.txt" % set_name] = "\n".join(out) + "\n"

    def render(self):
        from network import MT_ORDER
        b = self.b
        mt = [n for n in MT_ORDER if n in b.tables]
        self._manifest("nuvex", [
            "rate set 'nuvex' (the default): every reaction keeps the table its network list names.",
            "The lines below document the tables of the mid-temperature reactions; applying them changes nothing."],
            [self._default_entry(n) for n in mt])

        parthenope = [self._default_entry(n) for n in mt if b.tables[n][0] in PARTHENOPE_REFS]
        self._manifest("parthenope", [
            "rate set 'parthenope': the rates of PArthENoPE 3.0 (Gariazzo et al. 2022, CPC 271, 108205): the",
            "d(p,g)3He, d(d,n)3He and d(d,p)t fits of Pisanti et al. 2021 (JCAP 04, 020) and the Serpico et al.",
            "2004 fits (JCAP 0412, 010) of the other reactions listed. Our default tables already hold these fits,",
            "so the set names them as they are. Not in our sources (these reactions keep the default tables):"] +
            ["  %s: %s" % m for m in PARTHENOPE_MISSING], parthenope)

        primat = []
        for name, (origin, label), source in PRIMAT_CHOICES:
            fname, ref = self._reaclib_table(name, origin, label, source)
            primat.append((name, fname, "%s: %s" % (ref, source),
                           "factor of the default table (%s); the source's own band is not in our sources"
                           % b.tables[name][0]))
        self._manifest("primat", [
            "rate set 'primat': the rates of PRIMAT (Pitrou et al. 2018, Phys. Rep. 754, 1; Pitrou et al. 2021,",
            "MNRAS 502, 2474) where our sources hold them. Not in our sources (these reactions keep the",
            "default tables):"] + ["  %s: %s" % m for m in PRIMAT_MISSING], primat)
        return self.files
