# A custom reaction network: replace the rate table of d(p,g)3He by the shipped one scaled up by 10 %,
# and remove 7Li(p,a)4He, the main destroyer of lithium-7; compare with the standard network.
from pathlib import Path

import nuvex

name = "d_p__He3_g"
table = Path(nuvex.data_dir(), "nuclear", "tables", name, f"{name}_nuvex.txt").read_text()
scaled = []
for line in table.splitlines():
    fields = line.split()
    if line.startswith("#") or len(fields) < 3:
        continue
    T9, rate, factor = map(float, fields[:3])  # T9, N_A<sigma v> (cm^3/mol/s), 1-sigma factor
    scaled.append(f"{T9:.6e} {1.1 * rate:.6e} {factor:.6e}")

standard = nuvex.run()
faster = nuvex.run(custom_network={"replaced": {name: "\n".join(scaled)}})
no_li7_burning = nuvex.run(custom_network={"removed": ["Li7_p__a_a"]})

print(f"D/H   standard {standard.DoH:.4e}, d(p,g)3He x 1.1 {faster.DoH:.4e} "
      f"(d ln D/H / d ln rate = {(faster.DoH / standard.DoH - 1) / 0.1:+.2f})")
print(f"7Li/H standard {standard.Li7oH:.4e}, without 7Li(p,a)4He {no_li7_burning.Li7oH:.4e}")
