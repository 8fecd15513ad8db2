# Rate tables (T9, rate, 1-sigma factor): REACLIB sums, published key fits spliced onto REACLIB
# outside their range of validity, and the estimated photon channel of p + Li7.
import math
import re

import network

RATE_FLOOR = 1e-100      # rates below this are written as this value (the loader needs positive rates)
RATE_CEIL = 1e100
N_PER_DECADE = 40
GRID = [10.0 ** (-3 + i / N_PER_DECADE) for i in range(4 * N_PER_DECADE + 1)]

# Fits held constant above these temperatures by their source are replaced by REACLIB there.
HELD_CONSTANT_ABOVE = {"Serpico2004": 2.5, "PArthENoPE3.0": 4.0}


def clamp_rate(x):
    return min(max(x, RATE_FLOOR), RATE_CEIL)


def reaclib_rate(rx, T9, table):
    lr = network.reaclib_log_rate(rx, T9, table)
    return math.exp(min(lr, 700.0)) if lr > -745.0 else 0.0


class KeyFile:
    def __init__(self, path):
        self.comments, self.T9, self.rate, self.fu = [], [], [], []
        with open(path) as f:
            for line in f:
                if line.startswith("#"):
                    self.comments.append(line.rstrip("\n"))
                elif line.strip():
                    a, b, c = line.split()
                    self.T9.append(float(a))
                    self.rate.append(float(b))
                    self.fu.append(float(c))
        self.ref = self.comments[0].split("ref=", 1)[1].strip()
        m = None
        for c in self.comments:
            m = m or re.match(r"# valid_T9_min=([0-9.eE+-]+)", c)
        self.valid_min = float(m.group(1)) if m else self.T9[0]

    def interp(self, T9, col):
        xs = self.T9
        ys = col
        if T9 <= xs[0]:
            return ys[0]
        if T9 >= xs[-1]:
            return ys[-1]
        for i in range(len(xs) - 1):
            if xs[i] <= T9 <= xs[i + 1]:
                w = math.log(T9 / xs[i]) / math.log(xs[i + 1] / xs[i])
                return math.exp((1 - w) * math.log(ys[i]) + w * math.log(ys[i + 1]))
        raise AssertionError


def key_table(kf, reaclib_rx, table):
    """Rows of a key reaction: its own grid, REACLIB-shaped (scaled to join continuously) where the
    fit is not valid. Returns (rows, notes)."""
    lo = min(t for t, fu in zip(kf.T9, kf.fu) if t >= kf.valid_min and fu < 10.0)
    hi = HELD_CONSTANT_ABOVE.get(kf.ref) if reaclib_rx is not None else None
    notes = []
    rows = []
    if reaclib_rx is not None and lo > kf.T9[0]:
        s_lo = kf.interp(lo, kf.rate) / reaclib_rate(reaclib_rx, lo, table)
        fu_lo = kf.interp(lo, kf.fu)
        notes.append("below T9=%.4g the fit is not valid: %s scaled by %.4f, factor held at %.4f"
                     % (lo, reaclib_rx.ref, s_lo, fu_lo))
    if hi is not None:
        s_hi = kf.interp(hi, kf.rate) / reaclib_rate(reaclib_rx, hi, table)
        fu_hi = kf.interp(hi, kf.fu)
        notes.append("above T9=%.4g (where the source holds the fit constant): %s scaled by %.4f"
                     % (hi, reaclib_rx.ref, s_hi))
    for T9, rate, fu in zip(kf.T9, kf.rate, kf.fu):
        if reaclib_rx is not None and T9 < lo:
            rate, fu = s_lo * reaclib_rate(reaclib_rx, T9, table), fu_lo
        elif hi is not None and T9 > hi:
            rate, fu = s_hi * reaclib_rate(reaclib_rx, T9, table), fu_hi
        rows.append((T9, clamp_rate(rate), max(fu, 1.0)))
    return rows, notes


def reaclib_table(rx, table, fu):
    return [(T9, clamp_rate(reaclib_rate(rx, T9, table)), fu) for T9 in GRID]


def format_table(ref, header_lines, rows):
    out = ["# ref=%s" % ref]
    out += ["# " + h for h in header_lines]
    out.append("# columns: T9 rate(N_A^(n-1)<sigma v>, cm^3 mol^-1 s^-1 for two bodies) fu(1-sigma factor)")
    for T9, rate, fu in rows:
        out.append("%.8e %.8e %.6f" % (T9, rate, fu))
    return "\n".join(out) + "\n"
