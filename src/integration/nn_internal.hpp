// Pieces of the network integration shared between its source files and its tests.
// Not part of the public interface.
#pragma once

#include <cstddef>
#include <vector>

#include "nuvex/nuclear_network.h"

namespace nvx {

// Index of a name in an array of fixed-size names; -1 when absent.
long find_name(const char (*names)[NVX_NAME_LEN], size_t n, const char* name);

// Recorder of one era: row 0 is the era's initial point, one row per accepted step after it.
// The debug trace switch ("NVX_NN_DEBUG") is read once when the era starts, not at every step.
struct EraRecorder {
    size_t width = 0;
    bool debug_trace = false;
    std::vector<double> t;
    std::vector<double> rows;  // row-major, width values per row
    bool out_of_memory = false;

    EraRecorder(size_t w, double t0, const double* y0);
    size_t count() const { return t.size(); }
    const double* row(size_t i) const { return rows.data() + i * width; }
};

// The integrators' recorder callback (user data: an EraRecorder).
void recorder_cb(double t, const double* y, size_t n, void* recorder);

// Forward-rate columns of the LT network: "<reaction>_frwrd" for reactions 1..R-1 sorted by name
// (stable), with the reaction position (row of the rate table) of each sorted column.
void build_rate_columns(const NVXNetworkDef& lt, char (*names)[NVX_RXN_NAME_LEN], size_t* order);

// exp(A) of an n x n row-major matrix by scaling and squaring with the [13/13] Pade approximant.
// 0 on success; 1 with a message ("dt_expm: ...") on allocation failure or a singular denominator.
int dt_expm(const double* A, size_t n, double* E, char** err);

// Decay matrix of the LT network: M[u][h] is the rate (s^-1) at which species h feeds species u.
std::vector<double> decay_matrix(const NVXNetworkDef& lt, double tau_n_s);

// Prints a warning for a failed output file and releases the message.

}  // namespace nvx
