# The baryon-to-photon ratio eta_10 = 1e10 n_b/n_gamma and the baryon density Omega_b h^2, converted
# into each other with the same constants as the solver (CODATA 2018, IAU 2015 parsec, T_CMB 2.7255 K).
from __future__ import annotations

import math
from typing import Any

_G_SI = 6.6743e-11            # m^3 kg^-1 s^-2 (CODATA 2018)
_MPC_CM = 3.08567758149e24     # cm (IAU 2015 parsec)
_K_B = 1.380649e-16           # erg/K
_HBAR = 1.0545718176461565e-27  # erg s
_C = 29979245800.0            # cm/s
T_CMB_K = 2.7255              # K (Fixsen 2009)
_U_G = 931.494061 * 1.602176634e-6 / _C**2  # atomic mass unit in g, from its energy in MeV
_ZETA3 = 1.2020569031595942
# mean mass per baryon in u for a primordial helium mass fraction near 0.247
_M_BARYON_U = 0.753 * 1.00782503223 + 0.247 * 0.25 * 4.0026032541


def eta10_per_Omegabh2(GN: float = _G_SI) -> float:
    """eta_10 / (Omega_b h^2): about 273.75 for the measured Newton constant ``GN`` (SI units).

    eta = Omega_b h^2 rho_c/h^2 / (m_B n_gamma0), with rho_c/h^2 = 3 H_100^2 / (8 pi G), the photon
    number density today n_gamma0 = 2 zeta(3)/pi^2 (k T_CMB / hbar c)^3 and m_B the mean mass per baryon.
    """
    h100 = 1e7 / _MPC_CM  # 100 km/s/Mpc in 1/s
    rho_c_over_h2 = 3 * h100**2 / (8 * math.pi * GN * 1e3)  # g/cm^3
    n_gamma0 = 2 * _ZETA3 / math.pi**2 * (_K_B * T_CMB_K / (_HBAR * _C)) ** 3  # 1/cm^3
    return 1e10 * rho_c_over_h2 / (_M_BARYON_U * _U_G * n_gamma0)


def eta10(Omegabh2: Any, GN: float = _G_SI) -> Any:
    """eta_10 = 1e10 n_b / n_gamma today for a baryon density Omega_b h^2 (scalars or numpy arrays)."""
    return Omegabh2 * eta10_per_Omegabh2(GN)


def Omegabh2_from_eta10(eta_10: Any, GN: float = _G_SI) -> Any:
    """Omega_b h^2 for eta_10 = 1e10 n_b / n_gamma (scalars or numpy arrays)."""
    return eta_10 / eta10_per_Omegabh2(GN)
