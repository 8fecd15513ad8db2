# Builds every file of the data directory in memory: {relative path: text}.
# Policy decisions (which source wins, default uncertainty factors) live in network.py and tables.py.
import math

import decays
import network
import nuclides as nucmod
import physics
import ratesets
import tables
import readme


class Build:
    def __init__(self, src_dir):
        self.nuclides = nucmod.read_nuclides(src_dir)
        self.table = {n.name: n for n in self.nuclides}
        self.files = {}
        self.key_rows = []      # (name, source used, ref, why) for the README
        self.deviations = []    # (name, ref, ratio at 0.1, ratio at 1, reason)
        self.src_dir = src_dir
        self._assemble(src_dir)

    # -- selection -------------------------------------------------------------------------------
    def _assemble(self, src_dir):
        t = self.table
        rl = network.reaclib_reactions(src_dir, t)
        by_skey = {r.skey: r for r in rl}
        chosen = {}
        key_names = []
        self.tables = {}
        self.key_files = network.key_reactions(src_dir, t)
        for k in self.key_files:
            rk = by_skey.get(k.skey)
            kf = tables.KeyFile(k.key_file)
            use_key, why = True, "MT-era reaction: published fit" if k.name in network.MT_ORDER else ""
            if k.name not in network.MT_ORDER:
                if rk is None:
                    why = "no REACLIB counterpart"
                else:
                    ratios = [kf.interp(T, kf.rate) / tables.reaclib_rate(rk, T, t) for T in (0.1, 1.0)]
                    lo, hi = network.SAME_EVALUATION
                    if all(lo <= x <= hi for x in ratios):
                        why = "same evaluation as REACLIB (ratio %.3f, %.3f): fit with its error band" % tuple(ratios)
                    else:
                        use_key = False
                        why = ("fit differs from REACLIB by %.3f, %.3f at T9=0.1, 1 (older estimate "
                               "or doubtful fit): REACLIB used" % tuple(ratios))
            if use_key:
                rows, notes = tables.key_table(kf, rk, t)
                k.ref, k.note = kf.ref, "published fit %s" % kf.ref
                header = [c[2:] for c in kf.comments[1:6]] + notes
                self.tables[k.name] = (k.ref, header, rows)
                chosen[k.name] = k
                self.key_rows.append((k.name, "key fit", kf.ref, why))
            else:
                rk.kind = "key-reaclib"
                chosen[k.name] = rk
                self.key_rows.append((k.name, "REACLIB", rk.ref, why))
            key_names.append(k.name)
        # photon channel of p + Li7
        li7pa = chosen["Li7_p__a_a"]
        est = network.Reaction("Li7_p__a_a_g", ["Li7", "p"], ["He4", "He4"], ["g"], "estimate")
        est.ref = "estimate:%g*%s" % (network.LI7PG_FRACTION, li7pa.ref)
        est.note = "estimated as %g of Li7_p__a_a (no evaluated rate available)" % network.LI7PG_FRACTION
        rows = [(T, tables.clamp_rate(network.LI7PG_FRACTION * r), network.LI7PG_FU)
                for T, r, _ in self.tables["Li7_p__a_a"][2]]
        self.tables[est.name] = (est.ref, [
            "reaction: Li7_p__a_a_g (p + Li7 -> 8Be + gamma -> 2 He4)",
            "no evaluated rate in our sources: %g x the alpha channel, factor %g" % (
                network.LI7PG_FRACTION, network.LI7PG_FU)], rows)
        chosen[est.name] = est
        self.key_rows.append((est.name, "estimate", est.ref, "no evaluated rate available"))

        order = [n for n in network.MT_ORDER]
        order += [n for n in key_names if n not in network.MT_ORDER]
        rest = [r for r in rl if r.name not in chosen]
        rest.sort(key=lambda r: (max(t[s].A for s in r.reactants + r.products), r.name))
        for r in rest:
            chosen[r.name] = r
            order.append(r.name)
        species = set()
        for n in order:
            species.update(chosen[n].reactants + chosen[n].products)
        channels, self.skipped_decays = decays.read_channels(src_dir, t)
        dec = network.decay_reactions(channels, t)
        added = True
        while added:
            added = False
            for d in dec:
                if d.name not in chosen and d.reactants[0] in species:
                    chosen[d.name] = d
                    order.append(d.name)
                    species.update(d.products)
                    added = True
        self.reactions = chosen
        self.large = order
        self.small = [n for n in network.MT_ORDER
                      if all(s in network.SMALL_SPECIES
                             for s in chosen[n].reactants + chosen[n].products)]
        self.species = species
        for n in order:
            rx = chosen[n]
            if n not in self.tables and not rx.weak:
                self.tables[n] = (rx.ref, [
                    "reaction: %s (%s -> %s)" % (n, " + ".join(rx.reactants), " + ".join(rx.products)),
                    rx.note,
                    "uncertainty: default factor %g for this kind of source (no published error)" % rx.fu,
                ], tables.reaclib_table(rx, t, rx.fu))
        self.reaclib_by_skey = by_skey

    # -- writers ---------------------------------------------------------------------------------
    def render(self):
        t = self.table
        f = self.files
        f["csv/nuclides.csv"] = nucmod.write_nuclides(self.nuclides, None)
        cat = ["name,reactants,products,kind,note"]
        db = ["name,Q_MeV,alpha,beta,gamma"]
        dec = ["# name  half_life_s  rate_per_s  unc_factor  source",
               "# rate = branching * ln2 / half-life (NUBASE2020); unc = 1 + relative 1-sigma error"]
        for n in self.large:
            rx = self.reactions[n]
            rs = physics.side_text(rx.reactants, t, reactants=True)
            ps = physics.side_text(rx.products, t, rx.extra)
            note = rx.note.replace(",", ";")[:127]
            cat.append("%s,%s,%s,%s,%s" % (n, rs, ps, "decay" if rx.weak else "strong", note))
            if rx.weak:
                ch = rx.channel
                dec.append("%s %.10e %.10e %.6f %s" % (n, ch.half_life_s, ch.lam, ch.unc_factor, rx.ref))
            else:
                a, b, g = physics.detailed_balance(rx.reactants, rx.products, t)
                q = physics.q_value_MeV(rx.reactants, rx.products, t)
                db.append("%s,%.6f,%.10e,%.1f,%.8f" % (n, q, a, b, g))
                ref, header, rows = self.tables[n]
                f["nuclear/tables/%s/%s_nuvex.txt" % (n, n)] = tables.format_table(ref, header, rows)
        f["csv/reactions_large.csv"] = "\n".join(cat) + "\n"
        f["csv/detailed_balance.csv"] = "\n".join(db) + "\n"
        f["nuclear/tables/decays.txt"] = "\n".join(dec) + "\n"
        f["nuclear/networks/small.txt"] = self._network_text(
            "small", "the mid-temperature reactions among n p H2 H3 He3 He4 Li7 Be7", self.small)
        f["nuclear/networks/large.txt"] = self._network_text(
            "large", "key BBN reactions first then REACLIB reactions by mass then decays", self.large)
        self.rate_sets = ratesets.RateSets(self, self.src_dir)
        f.update(self.rate_sets.render())
        self._deviations()
        f["README.md"] = readme.render(self)
        return f

    def _network_text(self, name, what, names):
        head = ["# %s network: %d reactions; %s" % (name, len(names), what),
                "# one reaction per line; its rate table is nuclear/tables/<name>/<name>_nuvex.txt"]
        return "\n".join(head + names) + "\n"

    def _deviations(self):
        t = self.table
        for n in self.large:
            rx = self.reactions[n]
            if rx.weak:
                continue
            rk = self.reaclib_by_skey.get(rx.skey)
            if rk is None:
                continue
            rows = self.tables[n][2]
            ratios = []
            for T in (0.1, 1.0):
                ratios.append(interp_rows(rows, T) / tables.reaclib_rate(rk, T, t))
            if any(abs(x - 1.0) > 0.1 for x in ratios):
                self.deviations.append((n, rx.ref, rk.ref, ratios[0], ratios[1]))


def interp_rows(rows, T9):
    for (x0, y0, _), (x1, y1, _) in zip(rows, rows[1:]):
        if x0 <= T9 <= x1:
            w = math.log(T9 / x0) / math.log(x1 / x0)
            return math.exp((1 - w) * math.log(y0) + w * math.log(y1))
    raise ValueError("T9 outside table")
