// Weak-rate record of a run: the rate and thermal-correction tables on logarithmic temperature
// grids, their fingerprinted cache files, and the log-log interpolants evaluated in kelvin.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "config/file_inputs.hpp"
#include "nuvex/cache.h"
#include "nuvex/constants.h"
#include "weak/weak_internal.hpp"

using namespace nvx::weak;

namespace {

constexpr double kRateFloor = 1e-28;
constexpr const char* kCacheWriteFailed =
    "[weak-c] could not write cache to %s: results are unaffected, but the next run will recompute. Set "
    "the cache_dir parameter to redirect the cache to a writable directory.";

bool file_exists(const char* path) {
    nvx::inputs::probe(path);
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

double* dup_vec(const std::vector<double>& v) {
    auto* p = static_cast<double*>(std::malloc(std::max<size_t>(v.size(), 1) * sizeof(double)));
    if (p && !v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(double));
    return p;
}

// n points log-spaced from 10^lg_lo to 10^lg_hi (n >= 2).
std::vector<double> log_grid(double lg_lo, double lg_hi, size_t n) {
    std::vector<double> T(n);
    for (size_t k = 0; k < n; ++k)
        T[k] = std::pow(10.0, lg_lo + double(k) / double(n - 1) * (lg_hi - lg_lo));
    return T;
}

size_t grid_size(double decades, int per_decade) {
    const long n = std::lround(decades * per_decade);
    return n < 3 ? 2 : size_t(n);
}

struct Columns {
    std::vector<double> T, a, b;
};

// Reads a three-column cache table and checks that it is exactly the grid this run would compute
// (same temperatures), with finite values and, for rates, no negative entry. False with the reason
// otherwise: such a file is recomputed, never used.
bool read_cache(const char* path, const char* hash, const std::vector<double>& T_expected, bool rates_nonnegative,
                Columns& out, std::string& why) {
    NVXTable tab{};
    char* err = nullptr;
    if (nvx_cache_read_table(path, hash, 3, &tab, &err) != 0) {
        why = err ? err : "unreadable";
        std::free(err);
        return false;
    }
    const size_t n = tab.nrows;
    out.T.assign(tab.columns[0], tab.columns[0] + n);
    out.a.assign(tab.columns[1], tab.columns[1] + n);
    out.b.assign(tab.columns[2], tab.columns[2] + n);
    nvx_table_free(&tab);
    if (n != T_expected.size()) {
        why = nvx::strprintf("%zu rows instead of the %zu grid points of this configuration", n, T_expected.size());
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (!(std::fabs(out.T[i] / T_expected[i] - 1.0) < 1e-12)) {
            why = nvx::strprintf("row %zu: temperature %.17g is not the grid point %.17g", i + 1, out.T[i],
                                 T_expected[i]);
            return false;
        }
        if (!std::isfinite(out.a[i]) || !std::isfinite(out.b[i]) ||
            (rates_nonnegative && (out.a[i] < 0.0 || out.b[i] < 0.0))) {
            why = nvx::strprintf("row %zu holds a non-finite%s value", i + 1, rates_nonnegative ? " or negative" : "");
            return false;
        }
    }
    return true;
}

std::string fingerprint_hash(const NVXFingerprintEntry* e, size_t count) {
    char* hash = nvx_fingerprint_hash(e, count);
    std::string out = hash ? hash : "0000000000000000";
    std::free(hash);
    return out;
}

// A cache file that exists but cannot be used is reported and recomputed.
bool use_cache(const NVXConfig* cfg, const char* path, const std::string& hash, const std::vector<double>& T,
               bool rates_nonnegative, Columns& c) {
    if (!file_exists(path)) return false;
    std::string why;
    if (read_cache(path, hash.c_str(), T, rates_nonnegative, c, why)) return true;
    nvx_message(cfg, NVX_MSG_WARNING, "weak", "[weak-c] ignoring the cache file %s (%s); recomputing", path, why.c_str());
    c = Columns{};
    return false;
}

// Writes a three-column cache file into the "weak" write directory; logs a failure.
void save_cache(const NVXConfig* cfg, const std::string& file, const NVXFingerprintEntry* e,
                size_t count, const char* header, const Columns& c, const char* provenance) {
    char dir[4608];
    nvx_config_cache_write_dir(cfg, "weak", dir, sizeof dir);
    if (!dir[0]) {
        nvx_message(cfg, NVX_MSG_WARNING, "weak",
                    "[weak-c] no cache directory (set cache_dir, XDG_CACHE_HOME or HOME): %s is not cached and "
                    "the next run will recompute it", file.c_str());
        return;
    }
    const std::string path = std::string(dir) + "/" + file;
    const double* cols[3] = {c.T.data(), c.a.data(), c.b.data()};
    if (nvx_mkdirs(dir) != 0 ||
        nvx_cache_write(path.c_str(), e, count, header, cols, 3, c.T.size(), provenance) != 0)
        nvx_message(cfg, NVX_MSG_WARNING, "weak", kCacheWriteFailed, path.c_str());
}

void loglog_free(nvx_weak_loglog* ip) {
    std::free(ip->logT);
    std::free(ip->logRate);
    nvx_cubic_spline_free(&ip->spline);
    std::memset(ip, 0, sizeof *ip);
}

// Interpolant over the positive tail of a rate column; 0 below its first temperature.
int loglog_build(nvx_weak_loglog* ip, const double* T, const double* rate, size_t n, char** err) {
    std::memset(ip, 0, sizeof *ip);
    size_t a = 0;
    for (size_t i = 0; i < n; ++i)
        if (!(rate[i] > 0.0)) a = i + 1;
    ip->T_min = a > 0 ? (a < n ? T[a] : INFINITY) : -INFINITY;
    const size_t m = n - a;
    std::vector<double> lt(m), lr(m);
    for (size_t i = 0; i < m; ++i) {
        lt[i] = std::log10(T[a + i]);
        lr[i] = std::log10(rate[a + i]);
    }
    ip->logT = dup_vec(lt);
    ip->logRate = dup_vec(lr);
    ip->m = m;
    if (!ip->logT || !ip->logRate) {
        loglog_free(ip);
        return nvx::fail(err, "nvx_weak_rates_init: out of memory");
    }
    if (m > 3) {
        if (nvx_cubic_spline_fit_notaknot(ip->logT, ip->logRate, m, &ip->spline, err) != 0) {
            loglog_free(ip);
            return 1;
        }
        ip->use_spline = 1;
    }
    return 0;
}

// A column with fewer than two positive entries cannot be interpolated and counts as 0 everywhere.
double loglog_eval(const nvx_weak_loglog* ip, double T) {
    if (ip->m < 2 || !(T >= ip->T_min)) return 0.0;
    const double lt = std::log10(T);
    const double v = ip->use_spline ? nvx_cubic_spline_eval(&ip->spline, lt)
                                    : nvx_interp_linear(ip->logT, ip->logRate, ip->m, 1, lt);
    return std::pow(10.0, v);
}

int take_columns(nvx_weak_rates* r, const Columns& c, char** err) {
    r->T = dup_vec(c.T);
    r->rate_nTOp = dup_vec(c.a);
    r->rate_pTOn = dup_vec(c.b);
    r->n = c.T.size();
    if (!r->T || !r->rate_nTOp || !r->rate_pTOn)
        return nvx::fail(err, "nvx_weak_rates_init: out of memory");
    return 0;
}

// The rate context is needed only to compute a table: a run that loads both tables from their
// caches never builds it (its ratio table is tens of thousands of points).
struct LazyCtx {
    const double* Tnu_T;
    const double* Tnu;
    size_t n_nu;
    const NVXConfig* config;
    const nvx_neutrino_history* history;
    nvx_weak_ctx ctx{};
    bool ready = false;
    ~LazyCtx() {
        if (ready) nvx_weak_ctx_free(&ctx);
    }
    const nvx_weak_ctx* get(char** err) {
        if (!ready && nvx_weak_ctx_init(&ctx, Tnu_T, Tnu, n_nu, config, history, err) != 0) return nullptr;
        ready = true;
        return &ctx;
    }
};

struct RateJob {
    const nvx_weak_ctx* ctx;
    Columns* c;
    double fn;
};

// Task i: grid point i/2, n->p for even i and p->n for odd i.
void rate_task(size_t i, void* user) {
    auto* job = static_cast<RateJob*>(user);
    const size_t k = i / 2;
    const int s = i % 2 == 0 ? +1 : -1;
    const double v = nvx_weak_rate_term(job->ctx, job->c->T[k], s);
    (s > 0 ? job->c->a : job->c->b)[k] = v < kRateFloor ? 0.0 : v / job->fn;
}

int check_range(const NVXConfig* cfg, char** err) {
    const double T_lo = nvx_config_T_end(cfg);
    if (!(T_lo > 0.0) || !(T_lo < nvx_T_start()))
        return nvx::fail(err, "nvx_weak_rates_init: T_end_MeV must be positive and below 10 MeV "
                              "(got %g)", cfg->T_end_MeV);
    return 0;
}

// The grids of the two tables: the rates from T_end to 10 MeV, the thermal corrections from
// 10^8.2 K to 10 MeV.
std::vector<double> rate_grid(const NVXConfig* cfg) {
    const double T_hi = nvx_T_start(), T_lo = nvx_config_T_end(cfg);
    return log_grid(std::log10(T_lo), std::log10(T_hi),
                    grid_size(std::log10(T_hi / T_lo), cfg->sampling_nTOp_per_decade));
}

std::vector<double> thermal_grid(const NVXConfig* cfg) {
    const double lg_hi = std::log10(nvx_T_start());
    return log_grid(kThermalLog10T, lg_hi, grid_size(lg_hi - kThermalLog10T, cfg->sampling_nTOp_thermal_per_decade));
}

// The normalised rates on their grid.
int compute_rates(LazyCtx& lazy, Columns& c, char** err) {
    const NVXConfig* cfg = lazy.config;
    c.T = rate_grid(cfg);
    const size_t n = c.T.size();
    c.a.assign(n, 0.0);
    c.b.assign(n, 0.0);
    const nvx_weak_ctx* ctx = lazy.get(err);
    if (!ctx) return 1;
    RateJob job{ctx, &c, nvx_compute_fn(cfg)};
    // Every point is independent; the single-threaded default keeps Monte Carlo workers lean.
    if (!parallel_for(2 * n, 1, rate_task, &job, cfg, "weak", nullptr))
        return nvx::fail(err, "weak-rate table: cancelled");
    return 0;
}

// The unnormalised thermal corrections on their grid.
int compute_thermal(LazyCtx& lazy, Columns& c, char** err) {
    const NVXConfig* cfg = lazy.config;
    c.T = thermal_grid(cfg);
    const size_t n = c.T.size();
    c.a.assign(n, 0.0);
    c.b.assign(n, 0.0);
    const nvx_weak_ctx* ctx = lazy.get(err);
    if (!ctx) return 1;
    nvx_weak_thermal_table(ctx, c.T.data(), n, 0, cfg->show_progress && !cfg->verbose, c.a.data(), c.b.data());
    if (nvx_run_cancelled(cfg)) return nvx::fail(err, "thermal-correction table: cancelled");
    return 0;
}

constexpr const char* kRateHeader = "T[K] Gamma_nTOp[1/tau_n] Gamma_pTOn[1/tau_n]";
constexpr const char* kThermalHeader = "T[K] L_nTOpCCRTh L_pTOnCCRTh";

std::string thermal_provenance(const NVXConfig* cfg) {
    return nvx::strprintf("backend=c algorithm=vegas vegas_n_eval=%d vegas_n_itn=%d", cfg->vegas_n_eval,
                          cfg->vegas_n_itn);
}

// A usable table with this fingerprint: a cache file (cache_dir, then the data directory's cache
// folder), else the table shipped in the data directory's "weak_tables" folder. Each must record
// the fingerprint and pass the checks of use_cache.
bool load_table(const NVXConfig* cfg, const std::string& file, const std::string& hash,
                const std::vector<double>& grid, bool rates_nonnegative, Columns& c) {
    char path[4608];
    nvx_config_resolve_cache_file(cfg, "weak", file.c_str(), path, sizeof path);
    if (use_cache(cfg, path, hash, grid, rates_nonnegative, c)) return true;
    const std::string shipped = std::string(cfg->data_dir) + "/weak_tables/" + file;
    return use_cache(cfg, shipped.c_str(), hash, grid, rates_nonnegative, c);
}

int build_rate_table(nvx_weak_rates* r, LazyCtx& lazy, char** err) {
    const NVXConfig* cfg = lazy.config;
    if (check_range(cfg, err) != 0) return 1;
    NVXFingerprintEntry fp[NVX_WEAK_FINGERPRINT_LEN];
    const size_t nfp = nvx_weak_rate_fingerprint(cfg, fp);
    const std::string hash = fingerprint_hash(fp, nfp);
    const std::string file = "nTOp_" + hash + ".txt";
    const bool bypass = cfg->spectral_distortions && cfg->analytic_distortions;
    Columns c;
    if (cfg->weak_rate_cache && !bypass && load_table(cfg, file, hash, rate_grid(cfg), true, c)) {
        nvx_log(cfg, "weak", "background n<->p weak rates: loaded from cache.");
    } else {
        if (cfg->weak_rate_cache && !bypass)
            nvx_log(cfg, "weak", "Recomputing n<->p weak rates (no cache for this configuration).");
        if (compute_rates(lazy, c, err) != 0) return 1;
        if (!bypass && cfg->save_nTOp) save_cache(cfg, file, fp, nfp, kRateHeader, c, nullptr);
    }
    if (take_columns(r, c, err) != 0) return 1;
    if (loglog_build(&r->interp_nTOp, r->T, r->rate_nTOp, r->n, err) != 0) return 1;
    return loglog_build(&r->interp_pTOn, r->T, r->rate_pTOn, r->n, err);
}

int build_thermal_table(nvx_weak_rates* r, LazyCtx& lazy, char** err) {
    const NVXConfig* cfg = lazy.config;
    NVXFingerprintEntry fp[NVX_THERMAL_FINGERPRINT_LEN];
    const size_t nfp = nvx_thermal_fingerprint(cfg, fp);
    const std::string hash = fingerprint_hash(fp, nfp);
    const std::string file = "nTOp_thermal_" + hash + ".txt";
    Columns c;
    if (load_table(cfg, file, hash, thermal_grid(cfg), false, c)) {
        nvx_log(cfg, "weak", "n <--> p thermal corrections loaded from cache.");
    } else {
        nvx_message(cfg, NVX_MSG_WARNING, "weak",
                    "[weak-c] Re-evaluating n <--> p thermal corrections (vegas). This may take a while ...");
        if (compute_thermal(lazy, c, err) != 0) return 1;
        if (cfg->save_nTOp_thermal)
            save_cache(cfg, file, fp, nfp, kThermalHeader, c, thermal_provenance(cfg).c_str());
        nvx_log(cfg, "weak", "n <--> p thermal corrections computed");
    }
    // The file holds unnormalised corrections; the rates are in units of the decay rate.
    const double fn = nvx_compute_fn(cfg);
    for (size_t i = 0; i < c.T.size(); ++i) {
        c.a[i] /= fn;
        c.b[i] /= fn;
    }
    r->T_th = dup_vec(c.T);
    r->L_nTOp = dup_vec(c.a);
    r->L_pTOn = dup_vec(c.b);
    r->n_th = c.T.size();
    if (!r->T_th || !r->L_nTOp || !r->L_pTOn)
        return nvx::fail(err, "nvx_weak_rates_init: out of memory");
    r->has_thermal = 1;
    return 0;
}

double rate_at(const nvx_weak_rates* r, const nvx_weak_loglog* ip, const double* L, double T) {
    double v = loglog_eval(ip, T);
    if (r->has_thermal && T >= kThermalT_K)
        v += nvx_interp_quadratic_local(r->T_th, L, r->n_th, T);
    return v;
}

}  // namespace

int nvx::weak::rates_init(nvx_weak_rates* rates, const double* Tnu_T, const double* Tnu, size_t n_nu,
                          const NVXConfig* config, const nvx_neutrino_history* nu_history, bool* computed,
                          char** err) {
    if (computed) *computed = false;
    if (!rates) return nvx::fail(err, "nvx_weak_rates_init: null record");
    std::memset(rates, 0, sizeof *rates);
    nvx_constants_init();
    if (!config || !Tnu_T || !Tnu || n_nu == 0)
        return nvx::fail(err, "nvx_weak_ctx_init: missing configuration or neutrino temperatures");
    LazyCtx lazy{Tnu_T, Tnu, n_nu, config, nu_history};
    int rc = build_rate_table(rates, lazy, err);
    if (rc == 0 && config->thermal_corrections) rc = build_thermal_table(rates, lazy, err);
    if (rc != 0) nvx_weak_rates_free(rates);
    // the ratio table enters only what was computed; tables read from files never see it
    if (computed) *computed = lazy.ready;
    return rc;
}

int nvx::weak::write_shipped_tables(const NVXConfig* cfg, const double* Tnu_T, const double* Tnu, size_t n_nu,
                                    const nvx_neutrino_history* history, const char* dir, std::string* written,
                                    char** err) {
    nvx_constants_init();
    if (check_range(cfg, err) != 0) return 1;
    LazyCtx lazy{Tnu_T, Tnu, n_nu, cfg, history};
    Columns rates, thermal;
    if (compute_rates(lazy, rates, err) != 0) return 1;
    if (cfg->thermal_corrections && compute_thermal(lazy, thermal, err) != 0) return 1;
    auto write = [&](const char* stem, const NVXFingerprintEntry* fp, size_t nfp, const char* header,
                     const Columns& c, const char* provenance) {
        const std::string path = std::string(dir) + "/" + stem + "_" + fingerprint_hash(fp, nfp) + ".txt";
        const double* cols[3] = {c.T.data(), c.a.data(), c.b.data()};
        if (nvx_mkdirs(dir) != 0 || nvx_cache_write(path.c_str(), fp, nfp, header, cols, 3, c.T.size(), provenance))
            return nvx::fail(err, "cannot write '%s'", path.c_str());
        if (written) *written += path + "\n";
        return 0;
    };
    NVXFingerprintEntry fp[NVX_WEAK_FINGERPRINT_LEN];
    size_t nfp = nvx_weak_rate_fingerprint(cfg, fp);
    if (write("nTOp", fp, nfp, kRateHeader, rates, nullptr) != 0) return 1;
    if (!cfg->thermal_corrections) return 0;
    NVXFingerprintEntry tfp[NVX_THERMAL_FINGERPRINT_LEN];
    nfp = nvx_thermal_fingerprint(cfg, tfp);
    return write("nTOp_thermal", tfp, nfp, kThermalHeader, thermal, thermal_provenance(cfg).c_str());
}

extern "C" {

int nvx_weak_rates_init(nvx_weak_rates* rates, const double* Tnu_T, const double* Tnu, size_t n_nu,
                        const NVXConfig* config, const nvx_neutrino_history* nu_history,
                        char** err) {
    return nvx::weak::rates_init(rates, Tnu_T, Tnu, n_nu, config, nu_history, nullptr, err);
}

double nvx_weak_rate_nTOp(const nvx_weak_rates* rates, double T) {
    return rate_at(rates, &rates->interp_nTOp, rates->L_nTOp, T);
}

double nvx_weak_rate_pTOn(const nvx_weak_rates* rates, double T) {
    return rate_at(rates, &rates->interp_pTOn, rates->L_pTOn, T);
}

void nvx_weak_rates_free(nvx_weak_rates* rates) {
    if (!rates) return;
    std::free(rates->T);
    std::free(rates->rate_nTOp);
    std::free(rates->rate_pTOn);
    loglog_free(&rates->interp_nTOp);
    loglog_free(&rates->interp_pTOn);
    std::free(rates->T_th);
    std::free(rates->L_nTOp);
    std::free(rates->L_pTOn);
    std::memset(rates, 0, sizeof *rates);
}

}  // extern "C"
