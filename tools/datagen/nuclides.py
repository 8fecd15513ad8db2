# Nuclide table of the data directory, built from the AME2020/NUBASE2020 extract.
# Keeps the source's full-precision mass excesses as text so nothing is lost to float round trips.
import csv
import os

# Columns the solver reads come first, so they sit well inside the loader's 16-field window.
HEADER = ["name", "N", "Z", "mass_excess_keV", "spin", "A", "half_life_s",
          "mass_excess_unc_keV", "mass_from_systematics", "spin_tentative"]

# NUBASE gives no ground-state J for these; a C reader's atof() would turn "nan" into NaN,
# which poisons every partition function that touches the nuclide. Use J = 0 and flag it.
UNKNOWN_SPIN = "0.0"


class Nuclide:
    def __init__(self, row):
        self.name = row["name"]
        self.A = int(row["A"])
        self.Z = int(row["Z"])
        self.N = int(row["N"])
        self.mass_excess_text = row["mass_excess_keV"]
        self.mass_excess_keV = float(row["mass_excess_keV"])
        spin = row["spin"]
        self.spin_unknown = spin.lower() == "nan"
        self.spin_text = UNKNOWN_SPIN if self.spin_unknown else spin
        self.spin = float(self.spin_text)
        self.half_life_text = row["half_life_s"]
        self.half_life_s = float(row["half_life_s"])
        self.mass_unc_text = row["mass_excess_unc_keV"]
        self.systematics = row["mass_from_systematics"]
        self.spin_tentative = "1" if self.spin_unknown else row["spin_tentative"]
        self.decay_modes = row["decay_modes_nubase"]
        if self.N + self.Z != self.A:
            raise ValueError("inconsistent A for %s" % self.name)


def read_nuclides(src_dir):
    path = os.path.join(src_dir, "nuclides_Zle11_Ale24.csv")
    with open(path, newline="") as f:
        rows = [Nuclide(r) for r in csv.DictReader(f)]
    names = [r.name for r in rows]
    if len(set(names)) != len(names):
        raise ValueError("duplicate nuclide names in %s" % path)
    return rows


def write_nuclides(nuclides, path):
    lines = [",".join(HEADER)]
    for n in nuclides:
        fields = [n.name, str(n.N), str(n.Z), n.mass_excess_text, n.spin_text, str(n.A),
                  n.half_life_text, n.mass_unc_text, n.systematics, n.spin_tentative]
        if any(f == "" or "," in f for f in fields):
            raise ValueError("empty or comma field for %s" % n.name)
        lines.append(",".join(fields))
    return "\n".join(lines) + "\n"
