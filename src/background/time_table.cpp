// Construction and evaluation of the smooth T(t), a(t) splines that the network integration reads
// at every right-hand side, with the bucketed segment lookup.
#include "background/time_table.hpp"

#include <bit>
#include <cstdlib>
#include <new>

#include "config/err.hpp"
#include "nuvex/numerics.h"

namespace {

uint64_t bits_of(double t) { return std::bit_cast<uint64_t>(t); }

// Not-a-knot spline of y against t into one coefficient column of the segments.
int fit(const std::vector<double>& t, const std::vector<double>& y, std::vector<nvx_bg_time_table::Segment>& seg,
        double (nvx_bg_time_table::Segment::*col)[4], char** err) {
    nvx_cubic_spline sp{};
    if (nvx_cubic_spline_fit_notaknot(t.data(), y.data(), t.size(), &sp, err) != 0) return 1;
    for (size_t i = 0; i + 1 < t.size(); ++i) {
        double* c = seg[i].*col;
        c[0] = sp.a[i], c[1] = sp.b[i], c[2] = sp.c[i], c[3] = sp.d[i];
    }
    nvx_cubic_spline_free(&sp);
    return 0;
}

}  // namespace

size_t nvx_bg_time_table::segment(double tq) const {
    const size_t last = t.size() - 2;
    if (!(tq > t.front())) return 0;  // NaN included
    if (tq >= t.back()) return last;
    size_t i = bucket[(bits_of(tq) - bits_lo) >> shift];
    while (i < last && tq >= t[i + 1]) ++i;
    return i;
}

void nvx_bg_time_table::eval(double tq, double* T_MeV, double* a) const {
    const size_t i = segment(tq);
    const Segment& s = seg[i];
    const double dt = tq - t[i];
    *T_MeV = s.T[0] + dt * (s.T[1] + dt * (s.T[2] + dt * s.T[3]));
    *a = s.a[0] + dt * (s.a[1] + dt * (s.a[2] + dt * s.a[3]));
}

namespace nvx::bg {

nvx_bg_time_table* build_time_table(const std::vector<double>& t, const std::vector<double>& T,
                                     const std::vector<double>& a, char** err) {
    const size_t n = t.size();
    if (n < 4 || T.size() != n || a.size() != n)
        return fail(err, "nvx_bg_init_standard: the time interpolants need at least 4 nodes"), nullptr;
    for (size_t i = 0; i < n; ++i)
        if (!(t[i] > 0.0) || (i > 0 && !(t[i] > t[i - 1])))
            return fail(err, "nvx_bg_init_standard: background times are not increasing at node %zu (t = %g s)",
                        i, t[i]), nullptr;
    auto* tab = new (std::nothrow) nvx_bg_time_table;
    if (!tab) return fail(err, "nvx_bg_init_standard: out of memory"), nullptr;
    try {
        tab->t = t;
        tab->seg.resize(n - 1);
        if (fit(t, T, tab->seg, &nvx_bg_time_table::Segment::T, err) ||
            fit(t, a, tab->seg, &nvx_bg_time_table::Segment::a, err)) {
            delete tab;
            return nullptr;
        }
        // About four buckets per knot: the walk after the bucket rarely takes more than one step.
        tab->bits_lo = bits_of(t.front());
        const uint64_t span = bits_of(t.back()) - tab->bits_lo;
        while ((span >> tab->shift) > 4 * uint64_t(n)) ++tab->shift;
        tab->bucket.resize(size_t(span >> tab->shift) + 1);
        size_t i = 0;
        for (size_t b = 0; b < tab->bucket.size(); ++b) {
            const uint64_t start = tab->bits_lo + (uint64_t(b) << tab->shift);
            while (i + 2 < n && bits_of(t[i + 1]) <= start) ++i;
            tab->bucket[b] = uint32_t(i);
        }
    } catch (const std::bad_alloc&) {
        delete tab;
        return fail(err, "nvx_bg_init_standard: out of memory"), nullptr;
    }
    return tab;
}

}  // namespace nvx::bg
