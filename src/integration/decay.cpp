// The decay era: the final abundances under radioactive decays alone, dY/dt = M Y, solved exactly at
// each output time with a scaling-and-squaring [13/13] Pade matrix exponential.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "cache/output_file.hpp"
#include "config/err.hpp"
#include "integration/nn_internal.hpp"
#include "nuvex/cache.h"
#include "nuvex/linalg.h"

namespace nvx {
namespace {

using Mat = std::vector<double>;

// C = A B for n x n row-major matrices (i-k-j order keeps the inner loop contiguous).
void matmul(const Mat& A, const Mat& B, Mat& C, size_t n) {
    std::fill(C.begin(), C.end(), 0.0);
    for (size_t i = 0; i < n; ++i)
        for (size_t k = 0; k < n; ++k) {
            const double a = A[i * n + k];
            if (a == 0.0) continue;
            const double* b = &B[k * n];
            double* c = &C[i * n];
            for (size_t j = 0; j < n; ++j) c[j] += a * b[j];
        }
}

// out = c6 A6 + c4 A4 + c2 A2 + c0 I
void combine(Mat& out, double c6, const Mat& A6, double c4, const Mat& A4, double c2, const Mat& A2, double c0,
             size_t n) {
    for (size_t i = 0; i < n * n; ++i) out[i] = c6 * A6[i] + c4 * A4[i] + c2 * A2[i];
    for (size_t i = 0; i < n; ++i) out[i * n + i] += c0;
}

double one_norm(const double* A, size_t n) {
    double best = 0.0;
    for (size_t j = 0; j < n; ++j) {
        double s = 0.0;
        for (size_t i = 0; i < n; ++i) s += std::fabs(A[i * n + j]);
        best = std::fmax(best, s);
    }
    return best;
}

int expm_work(const double* A_in, size_t n, double* E_out, char** err) {
    static const double b[14] = {64764752532480000.0, 32382376266240000.0, 7771770303897600.0,
                                 1187353796428800.0,  129060195264000.0,   10559470521600.0,
                                 670442572800.0,      33522128640.0,       1323241920.0,
                                 40840800.0,          960960.0,            16380.0,
                                 182.0,               1.0};
    const double theta13 = 5.371920351148152;
    const size_t nn = n * n;
    Mat A(A_in, A_in + nn), A2(nn), A4(nn), A6(nn), U(nn), V(nn), W(nn), T(nn), E(nn);
    std::vector<size_t> piv(n);
    std::vector<double> col(n);

    int s = 0;
    const double nu = one_norm(A.data(), n);
    if (nu > theta13) {
        s = std::max(0, static_cast<int>(std::ceil(std::log2(nu / theta13))));
        const double scale = std::ldexp(1.0, -s);
        for (double& x : A) x *= scale;
    }
    matmul(A, A, A2, n);
    matmul(A2, A2, A4, n);
    matmul(A4, A2, A6, n);

    combine(W, b[13], A6, b[11], A4, b[9], A2, 0.0, n);
    matmul(A6, W, T, n);
    combine(W, b[7], A6, b[5], A4, b[3], A2, b[1], n);
    for (size_t i = 0; i < nn; ++i) T[i] += W[i];
    matmul(A, T, U, n);

    combine(W, b[12], A6, b[10], A4, b[8], A2, 0.0, n);
    matmul(A6, W, V, n);
    combine(W, b[6], A6, b[4], A4, b[2], A2, b[0], n);
    for (size_t i = 0; i < nn; ++i) V[i] += W[i];

    // P = V + U goes into T, Q = V - U into V (factorised in place).
    for (size_t i = 0; i < nn; ++i) {
        T[i] = V[i] + U[i];
        V[i] -= U[i];
    }
    if (nvx_lu_factor(V.data(), n, piv.data())) return fail(err, "dt_expm: singular Pade denominator");
    for (size_t j = 0; j < n; ++j) {
        for (size_t i = 0; i < n; ++i) col[i] = T[i * n + j];
        nvx_lu_solve(V.data(), n, piv.data(), col.data());
        for (size_t i = 0; i < n; ++i) E[i * n + j] = col[i];
    }
    for (int k = 0; k < s; ++k) {
        matmul(E, E, W, n);
        E.swap(W);
    }
    std::copy(E.begin(), E.end(), E_out);
    return 0;
}

bool era_requested(const NVXConfig* c) {
    return c->decay_era && nvx_config_is_large(c) && c->output_decay_evolution && c->decay_n_points > 0;
}

// Rows of abundances at every output time, computed from Y0 directly.
int decay_rows(const nvx_nuclear_network* nn, const Mat& M, const std::vector<double>& times,
               std::vector<double>& rows, char** err) {
    const size_t n = nn->n_species;
    Mat A(n * n), E(n * n);
    for (size_t k = 0; k < times.size(); ++k) {
        if (nvx_run_cancelled(nn->config)) return fail(err, "nvx_nuclear_network_decay_era: cancelled");
        nvx_progress(nn->config, "decay", double(k), double(times.size()));
        const double dt = times[k] - nn->t_end;
        for (size_t i = 0; i < n * n; ++i) A[i] = M[i] * dt;
        if (dt_expm(A.data(), n, E.data(), err)) return 1;
        for (size_t u = 0; u < n; ++u) {
            double y = 0.0;
            for (size_t h = 0; h < n; ++h) y += E[u * n + h] * nn->Y_final[h];
            rows[k * n + u] = y < 0.0 ? 0.0 : y;
        }
    }
    return 0;
}

int write_decay_file(const nvx_nuclear_network* nn, const std::vector<double>& times,
                     const std::vector<double>& rows, char** err) {
    const char* path = nn->config->output_decay_file;
    if (!path || !path[0]) return fail(err, "nvx_nuclear_network_decay_era: no output_decay_file");
    OutputFile out;
    if (!out.open(path)) return fail(err, "nvx_nuclear_network_decay_era: cannot open %s", path);
    FILE* fp = out.get();
    const size_t n = nn->n_species;
    std::fputs("t", fp);
    for (size_t j = 0; j < n; ++j) std::fprintf(fp, "\tY%s", nn->species[j]);
    std::fputc('\n', fp);
    for (size_t k = 0; k < times.size(); ++k) {
        std::fprintf(fp, "%.18e", times[k]);
        for (size_t j = 0; j < n; ++j) std::fprintf(fp, "\t%.18e", rows[k * n + j]);
        std::fputc('\n', fp);
    }
    if (!out.commit()) return fail(err, "nvx_nuclear_network_decay_era: cannot write %s", path);
    nvx_message(nn->config, NVX_MSG_NOTICE, "output", "[output] Decay-era evolution (%d rows) written to %s",
                static_cast<int>(times.size()), path);
    return 0;
}

}  // namespace

int dt_expm(const double* A, size_t n, double* E, char** err) {
    try {
        return expm_work(A, n, E, err);
    } catch (const std::bad_alloc&) {
        return fail(err, "dt_expm: out of memory");
    }
}

// Products are counted per nucleus (weight 1 whatever their mass number): the state holds
// abundances per baryon, so a decay into k nuclei adds k of them and sum A*Y stays constant.
std::vector<double> decay_matrix(const NVXNetworkDef& lt, double tau_n_s) {
    const size_t n = lt.n_species;
    std::vector<double> M(n * n, 0.0);
    for (size_t r = 1; r < lt.n_reactions; ++r) {
        if (!lt.weak[r] || !lt.rates_base || lt.n_grid == 0) continue;
        const double lambda = lt.rates_base[(r - 1) * lt.n_grid];
        if (lambda == 0.0) continue;
        const NVXReactionStoich& st = lt.stoich[r];
        for (size_t a = 0; a < st.n_reactants; ++a) {
            const int64_t h = st.reactants[a];
            if (h < 0 || static_cast<size_t>(h) >= n) continue;
            M[h * n + h] -= static_cast<double>(st.reactant_mult[a]) * lambda;
            for (size_t b = 0; b < st.n_products; ++b) {
                const int64_t u = st.products[b];
                if (u < 0 || static_cast<size_t>(u) >= n) continue;
                M[u * n + h] += static_cast<double>(st.product_mult[b]) * lambda;
            }
        }
    }
    const long in = find_name(lt.species, n, "n"), ip = find_name(lt.species, n, "p");
    if (in >= 0 && ip >= 0 && tau_n_s > 0) {
        M[in * n + in] -= 1.0 / tau_n_s;
        M[ip * n + in] += 1.0 / tau_n_s;
    }
    return M;
}

}  // namespace nvx

extern "C" int nvx_nuclear_network_decay_era(const nvx_nuclear_network* nn, char** err) {
    if (!nn || !nn->config || !nvx::era_requested(nn->config)) return 0;
    if (!nn->rates || !nn->Y_final) return nvx::fail(err, "nvx_nuclear_network_decay_era: the network was not solved");
    try {
        const NVXConfig* c = nn->config;
        const size_t N = static_cast<size_t>(c->decay_n_points), n = nn->n_species;
        const std::vector<double> M = nvx::decay_matrix(nn->rates->lt, c->tau_n);
        std::vector<double> times(N), rows(N * n);
        const double L = std::log10(c->t_decay_end);
        for (size_t k = 0; k < N; ++k)
            times[k] = nn->t_end + (N == 1 ? 1.0 : std::pow(10.0, L * static_cast<double>(k) / static_cast<double>(N - 1)));
        if (nvx::decay_rows(nn, M, times, rows, err)) return 1;
        return nvx::write_decay_file(nn, times, rows, err);
    } catch (const std::bad_alloc&) {
        return nvx::fail(err, "nvx_nuclear_network_decay_era: out of memory");
    }
}
