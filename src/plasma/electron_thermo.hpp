// Electron-positron thermodynamic tables: Fermi-Dirac integrals on a logarithmic temperature grid,
// their spline fits and the fingerprinted on-disk cache.
#pragma once

#include "nuvex/plasma.h"

namespace nvx {

// Fills the four electron splines of the plasma record from the cache or by computation.
int electron_tables_acquire(nvx_plasma* plasma, const NVXConfig* config, char** err);

}  // namespace nvx
