# Reactions and nuclides as a physicist writes them: d(d,n)3He for the solver's d_d__He3_n, 7Be -> 7Li
# for a decay, in plain text for tables and messages and in TeX for figure labels.
"""Nuclear notation of the solver's reaction and nuclide names.

The solver names a reaction by its reactants and products, ``_``-separated, the two sides joined by
``__`` (``d_d__He3_n``; a decay has one reactant and ends in ``_Bm`` or ``_Bp``). A person reads
``d(d,n)3He``: target(projectile,ejectile)residual, the target being the heavier reactant and the
residual the heaviest product. :func:`reaction` gives that text (``tex=True``: a matplotlib label);
names that are not of the solver's form come back unchanged.
"""
from __future__ import annotations

import re

# light particles: (text, TeX) as projectile or ejectile
_PARTICLES = {"n": ("n", "n"), "p": ("p", "p"), "d": ("d", "d"), "t": ("t", "t"), "a": ("α", r"$\alpha$"),
              "g": ("γ", r"$\gamma$"), "He3": ("3He", r"$^{3}$He")}
# mass and charge numbers of the particles named by a letter
_LETTERS = {"n": (1, 0), "p": (1, 1), "d": (2, 1), "t": (3, 1), "a": (4, 2), "g": (0, 0)}
_DECAYS = {"Bm": ("β-", r"$\beta^-$"), "Bp": ("β+", r"$\beta^+$")}
_ELEMENTS = ("n H He Li Be B C N O F Ne Na Mg Al Si P S Cl Ar K Ca").split()
_NUCLIDE = re.compile(r"([A-Z][a-z]?)(\d+)")


def _size(name: str) -> tuple[int, int]:
    """(A, Z) of a particle or nuclide name; (0, 0) when unknown."""
    if name in _LETTERS:
        return _LETTERS[name]
    m = _NUCLIDE.fullmatch(name)
    if m and m.group(1) in _ELEMENTS:
        return int(m.group(2)), _ELEMENTS.index(m.group(1))
    return 0, 0


def nuclide(name: str, tex: bool = False) -> str:
    """A nucleus as a person writes it: He3 -> 3He (TeX: $^{3}$He), a -> 4He, d, t, n, p unchanged."""
    if name == "a":
        name = "He4"
    m = _NUCLIDE.fullmatch(name)
    if not m:
        return name
    return rf"$^{{{m.group(2)}}}${m.group(1)}" if tex else f"{m.group(2)}{m.group(1)}"


def _particles(names: list[str], tex: bool) -> str:
    """Light particles of one side, repeated ones counted: ['p', 'p'] -> 2p, ['n', 'p'] -> np."""
    out, seen = [], []
    for n in names:
        if n not in seen:
            seen.append(n)
    for n in seen:
        text = _PARTICLES[n][1 if tex else 0] if n in _PARTICLES else nuclide(n, tex)
        count = names.count(n)
        out.append(f"{count}{text}" if count > 1 else text)
    return "".join(out)


def reaction(name: str, tex: bool = False) -> str:
    """``d_d__He3_n`` -> ``d(d,n)3He``; ``Be7__Li7_Bp`` -> ``7Be -> 7Li (β+)``; other names unchanged."""
    left, sep, right = name.partition("__")
    if not sep or not left or not right:
        return name
    reactants, products = left.split("_"), right.split("_")
    decay = products[-1] if products[-1] in _DECAYS else None
    if decay:
        products = products[:-1]
    if not products or any(_size(x) == (0, 0) and x != "g" for x in reactants + products):
        return name
    arrow = r" $\rightarrow$ " if tex else " -> "
    if len(reactants) == 1:
        # a decay: parent -> daughter(s), with its kind
        kind = f" ({_DECAYS[decay][1 if tex else 0]})" if decay else ""
        return nuclide(reactants[0], tex) + arrow + " + ".join(nuclide(p, tex) for p in products) + kind
    target = max(reactants, key=_size)
    projectiles = list(reactants)
    projectiles.remove(target)
    residual = max(products, key=_size)
    ejectiles = list(products)
    ejectiles.remove(residual)
    return (f"{nuclide(target, tex)}({_particles(projectiles, tex)},{_particles(ejectiles, tex)})"
            f"{nuclide(residual, tex)}")


# parameters as figures label them
_PARAMETERS_TEX = {"Omegabh2": r"$\Omega_b h^2$", "DeltaNeff": r"$\Delta N_{\rm eff}$", "N_eff": r"$N_{\rm eff}$",
                   "tau_n": r"$\tau_n$", "h": "$h$", "Omegach2": r"$\Omega_c h^2$"}


def parameter(key: str, tex: bool = False) -> str:
    r"""A parameter as a reader writes it: a rate-variation key in nuclear notation
    (``p_d_d__He3_n`` -> ``p[d(d,n)3He]``), and with ``tex`` the usual symbols (``$\Omega_b h^2$``);
    other keys unchanged."""
    for prefix in ("p_", "delta_"):
        if key.startswith(prefix) and "__" in key:
            return f"{prefix[:-1]}[{reaction(key[len(prefix):], tex)}]"
    return _PARAMETERS_TEX.get(key, key) if tex else key


__all__ = ["reaction", "nuclide", "parameter"]
