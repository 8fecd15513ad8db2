// Smooth photon temperature and scale factor against time for the network integration: cubic
// splines in t through the background's own solution at its sampling nodes, found in O(1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "nuvex/background.h"

// The piecewise-linear final tables have a kink at every row, which a high-order stiff integrator
// resolves step by step; these interpolants are twice continuously differentiable instead, and
// pass through nodes that are exact points of the integrated solution (not interpolated ones).
struct nvx_bg_time_table {
    struct Segment {
        double T[4];  // T(t) = T[0] + dt (T[1] + dt (T[2] + dt T[3])), dt = t - knot, MeV
        double a[4];  // a(t) alike
    };
    std::vector<double> t;  // knots, strictly increasing, s
    std::vector<Segment> seg;
    // Segment lookup without search or caller state: positive doubles order like their bit
    // patterns, so buckets of equal width in the bits (about even in ln t) map a time to the last
    // knot at or before the bucket's start, and a walk of a knot or two finishes the job.
    uint64_t bits_lo = 0;
    unsigned shift = 0;
    std::vector<uint32_t> bucket;

    // Index of the segment [t_i, t_i+1] holding tq (0 below the knots, the last one above).
    size_t segment(double tq) const;
    // Photon temperature (MeV) and scale factor at time tq (end cubics extended outside).
    void eval(double tq, double* T_MeV, double* a) const;
};

namespace nvx::bg {

// Builds the table from knots (t ascending, positive) with their temperatures and scale factors;
// nullptr with *err on failure (fewer than 4 knots, times not increasing, out of memory).
nvx_bg_time_table* build_time_table(const std::vector<double>& t, const std::vector<double>& T,
                                     const std::vector<double>& a, char** err);

}  // namespace nvx::bg
