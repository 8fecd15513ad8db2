// QED pressure corrections of order e^2 and e^3: the two electron-distribution integrals, the
// computed 500-point tables with spline derivatives, and the table files (pair, combined, triple).
#include "plasma/qed_pressure.hpp"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cache/output_file.hpp"
#include "config/err.hpp"
#include "config/file_inputs.hpp"
#include "nuvex/cache.h"
#include "nuvex/constants.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kPi2 = 9.869604401089358;
constexpr int kQuadDepth = 30;
constexpr double kPieceTol = 9.09090909090909e-15;  // 1e-13 shared by eleven pieces
constexpr double kPieceEnds[12] = {0, 0.5, 1, 2, 4, 8, 16, 32, 64, 128, 256, 500};

constexpr size_t kTablePoints = 500;
constexpr double kTableTmin_MeV = 0.001;
constexpr double kTableTmax_MeV = 100.0;

double i01_integrand(double k, void* user) {
    const double x = *static_cast<const double*>(user);
    const double E = std::sqrt(k * k + x * x);
    if (E == 0.0) return 0.0;
    return k * k / (E * (std::exp(E) + 1.0));
}

double i2m1_integrand(double k, void* user) {
    const double x = *static_cast<const double*>(user);
    const double E = std::sqrt(k * k + x * x);
    return E / (std::exp(E) + 1.0);
}

double piecewise_integral(nvx_quad_fn f, double x) {
    if (x > 50.0) return 0.0;
    double sum = 0.0;
    for (size_t p = 0; p + 1 < std::size(kPieceEnds); ++p)
        sum += nvx_quad_adaptive(f, &x, kQuadDepth, nullptr, kPieceEnds[p], kPieceEnds[p + 1],
                                 kPieceTol);
    return sum;
}

std::vector<double> log_grid(size_t n, double lo, double hi) {
    std::vector<double> T(n);
    const double a = std::log10(lo), b = std::log10(hi);
    for (size_t i = 0; i < n; ++i)
        T[i] = std::pow(10.0, a + (n > 1 ? double(i) / double(n - 1) : 0.0) * (b - a));
    return T;
}

// Knot derivatives of a fitted spline: segment i at offset 0, the last knot from segment n-2.
void knot_derivatives(const nvx_cubic_spline& sp, double* d1, double* d2) {
    const size_t n = sp.n;
    for (size_t i = 0; i + 1 < n; ++i) {
        d1[i] = sp.b[i];
        d2[i] = 2.0 * sp.c[i];
    }
    const size_t s = n - 2;
    const double h = sp.x[n - 1] - sp.x[n - 2];
    d1[n - 1] = sp.b[s] + 2.0 * sp.c[s] * h + 3.0 * sp.d[s] * h * h;
    d2[n - 1] = 2.0 * sp.c[s] + 6.0 * sp.d[s] * h;
}

double* alloc_doubles(size_t n) {
    return static_cast<double*>(std::calloc(n ? n : 1, sizeof(double)));
}

bool file_exists(const std::string& path) {
    nvx::inputs::probe(path.c_str());
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct OwnedTable {
    NVXTable t{};
    ~OwnedTable() { nvx_table_free(&t); }
    const double* col(size_t j) const { return t.columns[j]; }
    size_t rows() const { return t.nrows; }
};

// Linear interpolant of a + b against T, after checking that T rises strictly.
int linear_sum(nvx_interp1d* ip, const char* path, const double* T, const double* a,
               const double* b, size_t n, char** err) {
    std::vector<double> y(n);
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && !(T[i] > T[i - 1]))
            return nvx::fail(err, "%s: temperatures must increase strictly (data row %zu)", path,
                             i + 1);
        y[i] = a[i] + b[i];
    }
    return nvx_interp1d_init_linear(ip, T, y.data(), n, err);
}

void free_interpolants(nvx_plasma* p) {
    nvx_interp1d_free(&p->P_int);
    nvx_interp1d_free(&p->dP_intdT);
    nvx_interp1d_free(&p->d2P_intdT2);
}

int load_pair(nvx_plasma* p, const std::string& e2, const std::string& e3, char** err) {
    OwnedTable a, b;
    if (nvx_table_read(e2.c_str(), 4, &a.t, err) != 0) return 1;
    if (nvx_table_read(e3.c_str(), 4, &b.t, err) != 0) return 1;
    // The two orders must sit on the same temperatures; mixing grids would add unrelated points.
    if (a.rows() != b.rows())
        return nvx::fail(err, "%s: %zu data rows, but %s has %zu", e3.c_str(), b.rows(), e2.c_str(),
                         a.rows());
    const size_t n = a.rows();
    for (size_t i = 0; i < n; ++i) {
        const double ta = a.col(0)[i], tb = b.col(0)[i];
        if (std::fabs(ta - tb) > 1e-9 * std::fabs(ta))
            return nvx::fail(err, "%s: temperature of data row %zu differs from %s", e3.c_str(),
                             i + 1, e2.c_str());
    }
    const char* path = e2.c_str();
    if (linear_sum(&p->P_int, path, a.col(0), a.col(1), b.col(1), n, err) ||
        linear_sum(&p->dP_intdT, path, a.col(0), a.col(2), b.col(2), n, err) ||
        linear_sum(&p->d2P_intdT2, path, a.col(0), a.col(3), b.col(3), n, err))
        return 1;
    return 0;
}

int load_combined(nvx_plasma* p, const std::string& file, char** err) {
    OwnedTable t;
    if (nvx_table_read(file.c_str(), 7, &t.t, err) != 0) return 1;
    const char* path = file.c_str();
    const size_t n = t.rows();
    if (linear_sum(&p->P_int, path, t.col(0), t.col(1), t.col(2), n, err) ||
        linear_sum(&p->dP_intdT, path, t.col(0), t.col(3), t.col(4), n, err) ||
        linear_sum(&p->d2P_intdT2, path, t.col(0), t.col(5), t.col(6), n, err))
        return 1;
    return 0;
}

int load_triple_one(nvx_interp1d* ip, const std::string& file, char** err) {
    OwnedTable t;
    if (nvx_table_read(file.c_str(), 3, &t.t, err) != 0) return 1;
    return linear_sum(ip, file.c_str(), t.col(0), t.col(1), t.col(2), t.rows(), err);
}

// Spline interpolants of the summed orders; the tables are released either way.
int interpolants_from_tables(nvx_plasma* p, nvx_qed_tables* tab, char** err) {
    const size_t n = tab->n;
    std::vector<double> P(n), dP(n), d2P(n);
    for (size_t i = 0; i < n; ++i) {
        P[i] = tab->dPa[i] + tab->dPe3[i];
        dP[i] = tab->dPa_dT[i] + tab->dPe3_dT[i];
        d2P[i] = tab->d2Pa_dT2[i] + tab->d2Pe3_dT2[i];
    }
    int rc = nvx_interp1d_init_spline(&p->P_int, tab->T, P.data(), n, err);
    if (!rc) rc = nvx_interp1d_init_spline(&p->dP_intdT, tab->T, dP.data(), n, err);
    if (!rc) rc = nvx_interp1d_init_spline(&p->d2P_intdT2, tab->T, d2P.data(), n, err);
    nvx_qed_tables_free(tab);
    return rc;
}


std::string resolve(const NVXConfig* config, const char* file) {
    char buf[4608];
    nvx_config_resolve_shipped_file(config, "plasma", file, buf, sizeof buf);
    return buf;
}

// Loads the first available file form; returns -1 when none exists, else the load status.
int load_from_files(nvx_plasma* p, const NVXConfig* config, char** err) {
    const std::string e2 = resolve(config, "QED_pressure_correction_e2.txt");
    const std::string e3 = resolve(config, "QED_pressure_correction_e3.txt");
    const std::string combined = resolve(config, "QED_tables.txt");
    const std::string tP = resolve(config, "QED_P_int.txt");
    const std::string tdP = resolve(config, "QED_dP_intdT.txt");
    const std::string td2P = resolve(config, "QED_d2P_intdT2.txt");
    if (file_exists(e2) && file_exists(e3)) return load_pair(p, e2, e3, err);
    if (file_exists(combined)) return load_combined(p, combined, err);
    if (file_exists(tP) && file_exists(tdP) && file_exists(td2P)) {
        if (load_triple_one(&p->P_int, tP, err) || load_triple_one(&p->dP_intdT, tdP, err) ||
            load_triple_one(&p->d2P_intdT2, td2P, err))
            return 1;
        return 0;
    }
    return -1;
}

}  // namespace

extern "C" {

double nvx_qed_I01(double x) { return piecewise_integral(i01_integrand, x); }

double nvx_qed_I2m1(double x) { return piecewise_integral(i2m1_integrand, x); }

double nvx_qed_dPa(double T, double alpha, double m_e) {
    if (T < m_e / 50.0) return 0.0;
    const double I = nvx_qed_I01(m_e / T);
    const double T4 = T * T * T * T;
    return alpha / kPi * T4 * (-0.6666666666666666 * I - 0.20264236728467555 * I * I);
}

double nvx_qed_dPe3(double T, double alpha, double m_e) {
    if (T < m_e / 50.0) return 0.0;
    const double x = m_e / T;
    const double B = (nvx_qed_I01(x) + nvx_qed_I2m1(x)) / kPi2;
    if (B <= 0.0) return 0.0;
    const double T4 = T * T * T * T;
    return std::pow(alpha, 1.5) * 1.3333333333333333 * 2.5066282746310002 * T4 * std::pow(B, 1.5);
}

void nvx_qed_tables_free(nvx_qed_tables* t) {
    if (!t) return;
    std::free(t->T);
    std::free(t->dPa);
    std::free(t->dPe3);
    std::free(t->dPa_dT);
    std::free(t->dPe3_dT);
    std::free(t->d2Pa_dT2);
    std::free(t->d2Pe3_dT2);
    std::memset(t, 0, sizeof *t);
}

int nvx_qed_compute_tables(size_t n, nvx_qed_tables* t, char** err, double T_min, double T_max,
                           double alpha, double m_e) {
    return nvx::qed_compute_tables(n, t, err, T_min, T_max, alpha, m_e, nullptr);
}

}  // extern "C"

int nvx::qed_compute_tables(size_t n, nvx_qed_tables* t, char** err, double T_min, double T_max, double alpha,
                            double m_e, const NVXConfig* run) {
    if (!t) return nvx::fail(err, "nvx_qed_compute_tables: null argument");
    std::memset(t, 0, sizeof *t);
    if (n < 4)
        return nvx::fail(err, "nvx_qed_compute_tables: n_pts must be >= 4 (not-a-knot spline minimum)");
    double** arrays[7] = {&t->T, &t->dPa, &t->dPe3, &t->dPa_dT, &t->dPe3_dT, &t->d2Pa_dT2,
                          &t->d2Pe3_dT2};
    for (double** a : arrays) {
        *a = alloc_doubles(n);
        if (!*a) {
            nvx_qed_tables_free(t);
            return nvx::fail(err, "nvx_qed_compute_tables: out of memory");
        }
    }
    t->n = n;
    const std::vector<double> grid = log_grid(n, T_min, T_max);
    for (size_t i = 0; i < n; ++i) {
        if (run && nvx_run_cancelled(run)) {
            nvx_qed_tables_free(t);
            return nvx::fail(err, "QED pressure tables: cancelled");
        }
        t->T[i] = grid[i];
        t->dPa[i] = nvx_qed_dPa(grid[i], alpha, m_e);
        t->dPe3[i] = nvx_qed_dPe3(grid[i], alpha, m_e);
        if (run) nvx_progress(run, "qed", double(i + 1), double(n));
    }
    nvx_cubic_spline sa{}, se{};
    if (nvx_cubic_spline_fit_notaknot(t->T, t->dPa, n, &sa, err) != 0 ||
        nvx_cubic_spline_fit_notaknot(t->T, t->dPe3, n, &se, err) != 0) {
        nvx_cubic_spline_free(&sa);
        nvx_qed_tables_free(t);
        return 1;
    }
    knot_derivatives(sa, t->dPa_dT, t->d2Pa_dT2);
    knot_derivatives(se, t->dPe3_dT, t->d2Pe3_dT2);
    nvx_cubic_spline_free(&sa);
    nvx_cubic_spline_free(&se);
    return 0;
}

extern "C" {

int nvx_qed_save_tables(const nvx_qed_tables* t, const char* dir, char** err) {
    if (!t || !dir) return nvx::fail(err, "nvx_qed_save_tables: null argument");
    nvx_mkdirs(dir);  // a failure shows up when the file is opened
    const std::string e2 = std::string(dir) + "/QED_pressure_correction_e2.txt";
    const std::string e3 = std::string(dir) + "/QED_pressure_correction_e3.txt";
    if (nvx::write_one_qed_file(
            e2.c_str(), "DIDIVA qed_pressure -- QED plasma-pressure correction delta_P_a(T)",
            "delta_P_a: O(e^2), one-loop (Frenkel-Galitskii-Migdal)",
            "Heckler, Phys. Rev. D 49, 611 (1994); Mangano, Miele, Pastor, Peloso, Phys. Lett. B "
            "534, 8 (2002)",
            "T [MeV]       dP_a [MeV^4]      d(dP_a)/dT [MeV^3]  d2(dP_a)/dT2 [MeV^2]", t->T, t->dPa,
            t->dPa_dT, t->d2Pa_dT2, t->n, err) != 0)
        return 1;
    return nvx::write_one_qed_file(
        e3.c_str(), "DIDIVA qed_pressure -- QED plasma-pressure correction delta_P_e3(T)",
        "delta_P_e3: O(e^3), ring/plasmon (Blaizot-Zinn-Justin)",
        "Kapusta, Gale, Finite-Temperature Field Theory (2006), ch. 5; Bennett et al., JCAP 04 "
        "(2021) 073",
        "T [MeV]       dP_e3 [MeV^4]     d(dP_e3)/dT [MeV^3]  d2(dP_e3)/dT2 [MeV^2]", t->T, t->dPe3,
        t->dPe3_dT, t->d2Pe3_dT2, t->n, err);
}

}  // extern "C"

namespace nvx {

int write_one_qed_file(const char* path, const char* source, const char* description,
                       const char* reference, const char* column_header, const double* T,
                       const double* value, const double* first_derivative,
                       const double* second_derivative, size_t n, char** err) {
    // Written under a private name, then renamed: a reader never sees half a table.
    OutputFile out;
    if (!out.open(path)) return fail(err, "nvx_qed_save_tables: cannot open %s for writing", path);
    FILE* fp = out.get();
    std::fprintf(fp, "# Source: %s\n# %s\n# Reference: %s\n# %s\n", source, description, reference, column_header);
    for (size_t i = 0; i < n; ++i)
        std::fprintf(fp, "%.6E %.6E %.6E %.6E\n", T[i], value[i], first_derivative[i], second_derivative[i]);
    if (!out.commit()) return fail(err, "nvx_qed_save_tables: error while writing %s", path);
    return 0;
}

void warn_above_table(const NVXConfig* config) {
    if (config->T_start_cosmo_MeV > 100.0)
        nvx_message(config, NVX_MSG_WARNING, "plasma",
                    "warning: T_start_cosmo_MeV=%.6g MeV exceeds the QED plasma-pressure correction "
                    "table's fixed upper bound (100 MeV); dP_QED will be linearly extrapolated above "
                    "100 MeV, underestimating its true (~T^4) growth. Neff/YP results above this "
                    "temperature may be biased.",
                    config->T_start_cosmo_MeV);
}

int qed_acquire_interpolants(nvx_plasma* p, const NVXConfig* config, char** err) {
    warn_above_table(config);
    char write_dir[4608];
    nvx_config_cache_write_dir(config, "plasma", write_dir, sizeof write_dir);
    if (!config->recompute_qed_corrections) {
        const int rc = load_from_files(p, config, err);
        if (rc >= 0) {
            if (rc != 0) free_interpolants(p);
            return rc;
        }
    }
    nvx_log(config, "init", "Computing QED plasma-pressure tables (%s)...",
            config->recompute_qed_corrections ? "recompute requested" : "files not found");
    const double* c = nvx_constants_init();
    nvx_qed_tables tab{};
    if (qed_compute_tables(kTablePoints, &tab, err, kTableTmin_MeV, kTableTmax_MeV, c[NVX_C_alpha_fs],
                           c[NVX_C_m_e], config) != 0)
        return 1;
    if (config->recompute_qed_corrections && !write_dir[0]) {
        nvx_message(config, NVX_MSG_WARNING, "plasma",
                    "[plasma-c] no cache directory (set cache_dir, XDG_CACHE_HOME or HOME): the recomputed QED "
                    "tables are not saved");
    } else if (config->recompute_qed_corrections) {
        char* save_err = nullptr;
        if (nvx_qed_save_tables(&tab, write_dir, &save_err) != 0)
            nvx_message(config, NVX_MSG_WARNING, "plasma",
                    "[plasma-c] could not write cache to %s: results are unaffected, but the next run will "
                    "recompute. Set the cache_dir parameter to redirect the cache to a writable "
                    "directory.",
                    write_dir);
        std::free(save_err);
    }
    if (interpolants_from_tables(p, &tab, err) != 0) {
        free_interpolants(p);
        return 1;
    }
    return 0;
}

}  // namespace nvx
