# Reader and evaluator of REACLIB parameter sets (both the version-1 and version-2 chapter layouts).
# A rate is the sum over its sets of exp(a0 + a1/T9 + a2 T9^-1/3 + a3 T9^1/3 + a4 T9 + a5 T9^5/3 + a6 ln T9).
import math

# (reactants, products) per chapter; version 1 puts 3->1 and 3->2 together in chapter 8.
CHAPTER_SIDES = {1: (1, 1), 2: (1, 2), 3: (1, 3), 4: (2, 1), 5: (2, 2), 6: (2, 3),
                 7: (2, 4), 8: (3, 1), 9: (3, 2), 10: (4, 2), 11: (1, 4)}

SPECIAL_NAMES = {"n": "n", "p": "p", "d": "H2", "t": "H3"}


def nuclide_name(token):
    """REACLIB nuclide token (he3, c12, d) -> nuclide-table name (He3, C12, H2)."""
    t = token.strip().lower()
    if t in SPECIAL_NAMES:
        return SPECIAL_NAMES[t]
    letters = t.rstrip("0123456789")
    digits = t[len(letters):]
    if not letters or not digits:
        raise ValueError("unrecognised REACLIB nuclide %r" % token)
    return letters.capitalize() + digits


class RateSet:
    __slots__ = ("reactants", "products", "label", "flag", "reverse", "weak", "Q", "a", "origin")

    def __init__(self, reactants, products, label, flag, reverse, Q, a, origin):
        self.reactants = tuple(sorted(reactants))
        self.products = tuple(sorted(products))
        self.label = label
        self.flag = flag
        self.reverse = reverse
        self.weak = flag == "w"
        self.Q = Q
        self.a = a
        self.origin = origin

    def exponent(self, T9):
        a = self.a
        return (a[0] + a[1] / T9 + a[2] * T9 ** (-1.0 / 3.0) + a[3] * T9 ** (1.0 / 3.0)
                + a[4] * T9 + a[5] * T9 ** (5.0 / 3.0) + a[6] * math.log(T9))


def _fixed_floats(text, n):
    out = []
    for i in range(n):
        field = text[13 * i:13 * (i + 1)].strip()
        out.append(float(field) if field else 0.0)
    return out


def read_reaclib(path, origin):
    with open(path) as f:
        lines = [ln.rstrip("\n") for ln in f]
    sets = []
    chapter = None
    i = 0
    while i < len(lines):
        line = lines[i]
        s = line.strip()
        if not s:
            i += 1
            continue
        if s.isdigit() and len(s) <= 2:
            chapter = int(s)
            i += 1
            continue
        if chapter is None or i + 2 >= len(lines):
            raise ValueError("%s:%d: set outside a chapter" % (path, i + 1))
        header = line.ljust(74)
        tokens = [header[5 + 5 * k:10 + 5 * k].strip() for k in range(6)]
        tokens = [t for t in tokens if t]
        n_in, n_out = CHAPTER_SIDES[chapter]
        if chapter == 8 and len(tokens) == 5:
            n_out = 2
        if len(tokens) != n_in + n_out:
            raise ValueError("%s:%d: %d nuclides for chapter %d" % (path, i + 1, len(tokens), chapter))
        names = [nuclide_name(t) for t in tokens]
        label = header[43:47].strip()
        flag = header[47].strip()
        reverse = header[48] == "v"
        Q = float(header[52:64])
        a = _fixed_floats(lines[i + 1], 4) + _fixed_floats(lines[i + 2], 3)
        sets.append(RateSet(names[:n_in], names[n_in:], label, flag, reverse, Q, a, origin))
        i += 3
    return sets


def log_rate(sets, T9):
    """Natural logarithm of the summed rate (log-sum-exp, so no underflow)."""
    exps = [s.exponent(T9) for s in sets]
    m = max(exps)
    return m + math.log(sum(math.exp(e - m) for e in exps))
