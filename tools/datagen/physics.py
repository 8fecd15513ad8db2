# Reaction naming, side texts, Q values and detailed-balance coefficients from the nuclide table.
# The reverse-rate law is reverse = alpha * T9^beta * exp(gamma/T9) * forward.
import math

K_B = 1.380649e-16          # erg/K
C_LIGHT = 29979245800.0     # cm/s
HBAR = 1.0545718176461565e-27  # erg s
MEV = 1.602176634e-06       # erg
KEV = 1.602176634e-09       # erg
M_E_MEV = 0.51099895
U_MEV = 931.494061

TOKENS = {"n": "n", "p": "p", "H2": "d", "H3": "t", "He4": "a"}
ALIASES = {"d": "H2", "t": "H3", "a": "He4"}


def token(name):
    return TOKENS.get(name, name)


def order_reactants(names, table):
    """Heavier reactant first (ties: lower Z first); an alpha is the projectile on d, t and He3."""
    names = sorted(names, key=lambda s: (-table[s].A, table[s].Z, s))
    if len(names) == 2 and names[0] == "He4" and table[names[1]].A in (2, 3):
        names = [names[1], names[0]]
    return names


def order_products(names, table):
    return sorted(names, key=lambda s: (-table[s].A, table[s].Z, s))


def reaction_name(reactants, products, table, extra=()):
    """target_projectile__products, with 'g', 'Bm' or 'Bp' tokens appended to the products."""
    left = [token(s) for s in order_reactants(reactants, table)]
    right = [token(s) for s in order_products(products, table)] + list(extra)
    return "_".join(left) + "__" + "_".join(right)


def side_text(names, table, extra=(), reactants=False):
    ordered = order_reactants(names, table) if reactants else order_products(names, table)
    return "+".join(list(ordered) + list(extra))


def sides_from_name(name):
    """Split a reaction name into (reactant tokens, product tokens) with d/t/a spelled out."""
    left, right = name.split("__", 1)
    conv = lambda part: [ALIASES.get(t, t) for t in part.split("_")]
    return conv(left), conv(right)


def binding_keV(nuc, dn, dp):
    return nuc.N * dn + nuc.Z * dp - nuc.mass_excess_keV


def q_value_MeV(reactants, products, table):
    dn = table["n"].mass_excess_keV
    dp = table["p"].mass_excess_keV
    b = lambda side: sum(binding_keV(table[s], dn, dp) for s in side)
    return (b(products) - b(reactants)) * 1e-3


def _side_factor(names, table):
    counts = {}
    order = []
    for s in names:
        if s not in counts:
            order.append(s)
            counts[s] = 0
        counts[s] += 1
    f = 1.0
    for s in order:
        nuc = table[s]
        mass_erg = ((nuc.N + nuc.Z) * U_MEV * MEV + nuc.mass_excess_keV * KEV
                    - nuc.Z * M_E_MEV * MEV)
        g = 2.0 * nuc.spin + 1.0
        term = g * (mass_erg * K_B * 1e9 / (2.0 * math.pi)) ** 1.5
        f *= term ** counts[s] / math.factorial(counts[s])
    return f


def detailed_balance(reactants, products, table):
    """(alpha, beta, gamma) of the reverse of reactants -> products, listed once per particle."""
    for s in list(reactants) + list(products):
        if s not in table:
            raise KeyError("unknown nuclide '%s'" % s)
    n_a, n_b = len(reactants), len(products)
    beta = 1.5 * (n_a - n_b)
    q_erg = q_value_MeV(reactants, products, table) * MEV
    gamma = -q_erg / (K_B * 1e9)
    m_u = U_MEV * MEV / C_LIGHT ** 2
    alpha = (_side_factor(reactants, table) / _side_factor(products, table)
             * (m_u / (C_LIGHT * HBAR) ** 3) ** (n_a - n_b))
    return alpha, beta, gamma
