// Finite-temperature QED correction to the plasma pressure: acquisition of the three interpolants
// of the plasma record from table files or by computation.
#pragma once

#include "nuvex/plasma.h"

namespace nvx {

// Fills plasma->P_int, dP_intdT and d2P_intdT2 (QED enabled); 0 or 1 with a message.
int qed_acquire_interpolants(nvx_plasma* plasma, const NVXConfig* config, char** err);
// The warning of a start temperature above the tables' upper bound (100 MeV), given at every build.
void warn_above_table(const NVXConfig* config);

// nvx_qed_compute_tables polling the cancellation token and reporting progress ("qed") of `run`
// (which may be null: neither).
int qed_compute_tables(size_t n, nvx_qed_tables* t, char** err, double T_min, double T_max, double alpha,
                       double m_e, const NVXConfig* run);

// Writes one table file: four comment lines and rows "%.6E %.6E %.6E %.6E".
int write_one_qed_file(const char* path, const char* source, const char* description,
                       const char* reference, const char* column_header, const double* T,
                       const double* value, const double* first_derivative,
                       const double* second_derivative, size_t n, char** err);

}  // namespace nvx
