# Assembly of the shipped reactions: REACLIB reactions in their exothermic direction, the key BBN
# reactions from published fits, and NUBASE decay channels; every reaction carries its rate table recipe.
import math
import os

import physics
import reaclib

# The fixed order of the mid-temperature era.
MT_ORDER = ["n_p__d_g", "d_p__He3_g", "d_d__He3_n", "d_d__t_p", "t_p__a_g", "t_d__a_n",
            "t_a__Li7_g", "He3_n__t_p", "He3_d__a_p", "He3_a__Be7_g", "Be7_n__Li7_p",
            "Li7_p__a_a", "Be7_d__a_a_p", "Be7_n__a_a", "Li6_p__Be7_g", "Li7_p__a_a_g",
            "d_a__Li6_g"]
SMALL_SPECIES = ["n", "p", "H2", "H3", "He3", "He4", "Li7", "Be7"]

# Default 1-sigma factors of REACLIB rates without a published error, by kind of source.
THEORY_LABELS = {"rath", "thra", "rpsm", "ths8", "fkth"}     # Hauser-Feshbach calculations
ESTIMATE_LABELS = {"wag", "mafo"}                             # order-of-magnitude estimates
FU_THEORY, FU_ESTIMATE, FU_MEASURED = 3.0, 2.0, 1.3

# A key-rate fit replaces REACLIB only when it is the same evaluation (within this band at
# T9 = 0.1 and 1) or REACLIB has no such reaction; the MT-era reactions always use the fit.
SAME_EVALUATION = (0.9, 1.1)

# The photon channel of p + Li7 (via 8Be) has no evaluated rate in our sources. Its S-factor is
# of order one percent of the alpha channel's, so it is carried as that fraction of p + Li7 -> 2a
# with a wide factor; its effect on Li7 is at the percent level of the alpha channel at most.
LI7PG_FRACTION, LI7PG_FU = 0.01, 3.0


class Reaction:
    def __init__(self, name, reactants, products, extra, kind):
        self.name = name
        self.reactants = list(reactants)
        self.products = list(products)
        self.extra = list(extra)      # 'g', 'Bm' or 'Bp' tokens
        self.kind = kind              # "key", "reaclib", "estimate" or "decay"
        self.weak = any(t in ("Bm", "Bp") for t in extra)
        self.note = ""
        self.ref = "?"
        self.sets = None              # REACLIB sets (rate in their own direction)
        self.sets_reversed = False    # the sets describe the reverse of this reaction
        self.sets_origin = None
        self.key_file = None
        self.channel = None
        self.fu = None

    @property
    def skey(self):
        return (tuple(sorted(self.reactants)), tuple(sorted(self.products)), "g" in self.extra)


def _unordered(r, p):
    a, b = tuple(sorted(r)), tuple(sorted(p))
    return (a, b) if a <= b else (b, a)


def default_fu(labels):
    fu = FU_MEASURED
    for lab in labels:
        if lab in THEORY_LABELS:
            fu = max(fu, FU_THEORY)
        elif lab in ESTIMATE_LABELS:
            fu = max(fu, FU_ESTIMATE)
    return fu


def reaclib_reactions(src_dir, table):
    """One Reaction per REACLIB reaction whose nuclides are all in the table."""
    files = [("2025", "reaclib2025_light_from_microphysics.dat"),
             ("2017", "winnet_bbn_reactions_reaclib2017.dat")]
    groups = {}   # unordered key -> origin -> list of sets
    for origin, fname in files:
        for s in reaclib.read_reaclib(os.path.join(src_dir, "reaclib", fname), origin):
            if s.weak or not all(x in table for x in s.reactants + s.products):
                continue
            groups.setdefault(_unordered(s.reactants, s.products), {}).setdefault(origin, []).append(s)
    out = []
    for key in sorted(groups):
        by_origin = groups[key]
        origin = "2025" if "2025" in by_origin else "2017"
        sets = by_origin[origin]
        forward_sets = [s for s in sets if not s.reverse] or sets
        # REACLIB may list a reaction in both directions; keep one direction of the sets.
        d0 = (forward_sets[0].reactants, forward_sets[0].products)
        forward_sets = [s for s in forward_sets if (s.reactants, s.products) == d0]
        r, p = list(d0[0]), list(d0[1])
        if physics.q_value_MeV(r, p, table) < 0:
            r, p = p, r
            reversed_ = True
        else:
            reversed_ = False
        if len(r) == 1:
            continue  # spontaneous breakup of a bound nucleus: not a two-body rate
        extra = ["g"] if len(p) == 1 else []
        name = physics.reaction_name(r, p, table, extra)
        rx = Reaction(name, r, p, extra, "reaclib")
        rx.sets, rx.sets_reversed, rx.sets_origin = forward_sets, reversed_, origin
        labels = sorted(set(s.label for s in forward_sets))
        rx.ref = "REACLIB-%s:%s" % (origin, "+".join(labels))
        rx.fu = default_fu(labels)
        rx.note = "REACLIB %s snapshot label %s%s" % (
            origin, "+".join(labels), " (converted by detailed balance)" if reversed_ else "")
        out.append(rx)
    return out


def reaclib_log_rate(rx, T9, table):
    """ln of the REACLIB rate of rx in its own direction."""
    lr = reaclib.log_rate(rx.sets, T9)
    if rx.sets_reversed:
        s0 = rx.sets[0]
        alpha, beta, gamma = physics.detailed_balance(list(s0.reactants), list(s0.products), table)
        lr += math.log(alpha) + beta * math.log(T9) + gamma / T9
    return lr


def key_reactions(src_dir, table):
    kdir = os.path.join(src_dir, "key_rates")
    out = []
    for fname in sorted(os.listdir(kdir)):
        if not fname.endswith(".txt"):
            continue
        name = fname[:-4]
        r, p = physics.sides_from_name(name)
        extra = [t for t in p if t == "g"]
        p = [t for t in p if t != "g"]
        if name != physics.reaction_name(r, p, table, extra):
            raise ValueError("key-rate file %s does not follow the naming rule" % fname)
        rx = Reaction(name, r, p, extra, "key")
        rx.key_file = os.path.join(kdir, fname)
        out.append(rx)
    return out


def decay_reactions(channels, table):
    out = []
    for ch in channels:
        name = physics.reaction_name([ch.parent], ch.products, table, [ch.beta])
        rx = Reaction(name, [ch.parent], ch.products, [ch.beta], "decay")
        rx.channel = ch
        rx.ref = "NUBASE2020 %s" % ch.modes
        rx.note = "NUBASE2020 half-life %.6g s branch %.6g" % (ch.half_life_s, ch.fraction)
        out.append(rx)
    return out
