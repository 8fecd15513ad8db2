// Command-line front end of NUVEX: builds a parameter record from the data directory, an INI file
// and --set overrides, runs one computation and prints the result quantities as a table or JSON.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/mc.h"
#include "nuvex/results.h"
#include "nuvex/run.h"

#ifndef NUVEX_DEFAULT_DATA_DIR
#define NUVEX_DEFAULT_DATA_DIR "data"
#endif

namespace {

struct Options {
    std::string data_dir = NUVEX_DEFAULT_DATA_DIR;
    std::string ini;
    std::vector<std::pair<std::string, std::string>> sets;
    bool json = false;
    int mc = 0;
    std::vector<std::string> quantities = {"YPBBN", "DoH", "He3oH", "Li7oH"};
    long seed = 0;
    int jobs = -1;
    std::vector<std::string> mc_only;  // Monte Carlo options given, refused without --mc
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: nuvex [--data-dir DIR] [--ini FILE] [--set KEY=VALUE]... [--json]\n"
                 "             [--mc N [--quantities Q1,Q2,...] [--seed S] [--jobs J]]\n\n"
                 "Runs one Big Bang Nucleosynthesis computation with the defaults of the data directory,\n"
                 "the INI file and the --set overrides (values as in INI files: 880, 1e-7, True, 'large',\n"
                 "None), and prints the result quantities. --mc N estimates uncertainties from N samples\n"
                 "with perturbed nuclear rates and neutron lifetime.\n");
}

std::vector<std::string> split_commas(const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t comma = s.find(',', start);
        std::string item = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) out.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

// Whole-text decimal integer within [lo, hi]; false for anything else.
bool parse_long(const std::string& text, long lo, long hi, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end || errno == ERANGE || v < lo || v > hi) return false;
    out = v;
    return true;
}

// Returns 0 to go on, 1 for a usage error, 2 after --help.
int parse_args(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 2;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--data-dir" && value(v)) {
            o.data_dir = v;
        } else if (a == "--ini" && value(v)) {
            o.ini = v;
        } else if (a == "--set" && value(v)) {
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0) {
                std::fprintf(stderr, "nuvex: --set expects KEY=VALUE, got '%s'\n", v.c_str());
                return 1;
            }
            o.sets.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (a == "--mc" && value(v)) {
            char* end = nullptr;
            long n = std::strtol(v.c_str(), &end, 10);
            if (!end || *end || n < 1 || n > 100000000) {
                std::fprintf(stderr, "nuvex: --mc expects a positive number of samples, got '%s'\n", v.c_str());
                return 1;
            }
            o.mc = static_cast<int>(n);
        } else if (a == "--quantities" && value(v)) {
            o.quantities = split_commas(v);
            if (o.quantities.empty()) {
                std::fprintf(stderr, "nuvex: --quantities names no quantity, got '%s' (e.g. YPBBN,DoH)\n", v.c_str());
                return 1;
            }
            o.mc_only.push_back(a);
        } else if (a == "--seed" && value(v)) {
            o.mc_only.push_back(a);
            if (!parse_long(v, LONG_MIN, LONG_MAX, o.seed)) {
                std::fprintf(stderr, "nuvex: --seed expects an integer, got '%s'\n", v.c_str());
                return 1;
            }
        } else if (a == "--jobs" && value(v)) {
            o.mc_only.push_back(a);
            long jobs = 0;
            if (!parse_long(v, -1, 4096, jobs)) {
                std::fprintf(stderr, "nuvex: --jobs expects an integer from -1 to 4096, got '%s'\n", v.c_str());
                return 1;
            }
            o.jobs = static_cast<int>(jobs);
        } else {
            std::fprintf(stderr, "nuvex: unknown or incomplete option '%s'\n", a.c_str());
            usage(stderr);
            return 1;
        }
    }
    // options of the Monte Carlo alone would be ignored silently by a single run
    if (o.mc == 0 && !o.mc_only.empty()) {
        std::fprintf(stderr, "nuvex: %s applies to a Monte Carlo run only: add --mc N\n", o.mc_only.front().c_str());
        return 1;
    }
    return 0;
}

// Standard output that could not be written (a full disk, a closed pipe, a full device) is a
// failure of the command, not a result.
int finish_stdout() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "nuvex: cannot write standard output: %s\n", errno ? std::strerror(errno) : "write error");
    return 1;
}

int fail_with(const char* what, char* err) {
    std::fprintf(stderr, "nuvex: %s: %s\n", what, err ? err : "(no message)");
    std::free(err);
    return 1;
}

// JSON has no NaN or infinity: a non-finite number is null.
std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

void print_results(const NVXResults& r, bool json) {
    static const char* const kNames[] = {"YPCMB", "YPBBN",   "DoH",  "He3oH",      "He3oHe4",         "Li7oH",
                                         "Li6oLi7", "YCNO", "Neff", "Omeganurel", "OneOverOmeganunr"};
    std::vector<std::pair<std::string, double>> rows;
    for (const char* n : kNames) {
        int found = 0;
        double v = nvx_results_get_quantity(&r, n, &found);
        if (found) rows.emplace_back(n, v);
    }
    if (json) {
        std::printf("{");
        for (size_t i = 0; i < rows.size(); ++i)
            std::printf("%s\"%s\": %s", i ? ", " : "", rows[i].first.c_str(), json_number(rows[i].second).c_str());
        std::printf("%s\"Y_final\": {", rows.empty() ? "" : ", ");
        for (size_t i = 0; i < r.n_nuclides; ++i)
            std::printf("%s\"%s\": %s", i ? ", " : "", r.nuclide_names[i], json_number(r.Y_final[i]).c_str());
        std::printf("}}\n");
        return;
    }
    std::printf("%-18s %s\n", "quantity", "value");
    for (const auto& [name, v] : rows) std::printf("%-18s %.6e\n", name.c_str(), v);
}

int build_config(const Options& o, NVXConfig& config) {
    char* err = nullptr;
    if (nvx_config_init_defaults(&config, o.data_dir.c_str(), &err)) return fail_with("cannot initialise", err);
    // strict_params given on the command line applies to the INI file read before the --set values
    for (const auto& [key, text] : o.sets)
        if (key == "strict_params") {
            NVXParam p = nvx_parse_literal(text.c_str());
            if (p.kind == NVX_PARAM_BOOL || p.kind == NVX_PARAM_INT) config.strict_params = p.payload.i != 0;
        }
    if (!o.ini.empty() && nvx_ini_load(&config, o.ini.c_str(), &err)) {
        nvx_config_free(&config);
        return fail_with("cannot load INI file", err);
    }
    for (const auto& [key, text] : o.sets) {
        NVXParam p = nvx_parse_literal(text.c_str());
        if (nvx_config_set_by_name(&config, key.c_str(), p.kind, p.payload, &err)) {
            nvx_config_free(&config);
            return fail_with("invalid --set", err);
        }
    }
    if (nvx_config_validate(&config, &err)) {
        nvx_config_free(&config);
        return fail_with("invalid parameters", err);
    }
    return 0;
}

// With --json, standard output carries the JSON document only: everything the run prints there
// (notices of written files, the verbose log) goes to standard error instead.
class StdoutToStderr {
  public:
    explicit StdoutToStderr(bool active) {
        if (!active) return;
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        if (saved_ >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~StdoutToStderr() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

  private:
    int saved_ = -1;
};

int run_single(const Options& o) {
    NVXConfig config;
    if (build_config(o, config)) return 1;
    NVXResults results{};
    char* err = nullptr;
    StdoutToStderr quiet_stdout(o.json);
    int rc = didiva_run(&config, nullptr, &results, &err);
    quiet_stdout.restore();
    nvx_config_free(&config);
    if (rc) {
        didiva_results_free(&results);
        return fail_with("run failed", err);
    }
    print_results(results, o.json);
    didiva_results_free(&results);
    return finish_stdout();
}

int run_monte_carlo(const Options& o) {
    // the same record as a single run (defaults, INI file, --set), copied by the driver
    NVXConfig config;
    if (build_config(o, config)) return 1;
    std::vector<const char*> q;
    for (const auto& s : o.quantities) q.push_back(s.c_str());
    NVXMCOptions opts;
    nvx_mc_default_options(&opts);
    opts.num_mc = o.mc;
    opts.quantities = q.data();
    opts.n_quantities = q.size();
    opts.seed = static_cast<uint64_t>(o.seed);
    opts.n_jobs = o.jobs;
    opts.progress = 1;
    NVXMCResult mc{};
    char* err = nullptr;
    StdoutToStderr quiet_stdout(o.json);
    const int rc = nvx_mc_run(&config, nullptr, &opts, &mc, &err);
    quiet_stdout.restore();
    nvx_config_free(&config);
    if (rc) return fail_with(rc == NVX_CANCELLED ? "Monte Carlo cancelled" : "Monte Carlo failed", err);
    if (o.json) {
        std::printf("{");
        for (size_t i = 0; i < mc.count; ++i)
            std::printf("%s\"%s\": {\"central\": %s, \"mean\": %s, \"std\": %s}", i ? ", " : "", mc.entries[i].name,
                        json_number(mc.entries[i].central).c_str(), json_number(mc.entries[i].mean).c_str(),
                        json_number(mc.entries[i].std).c_str());
        std::printf("}\n");
    } else {
        std::printf("%-18s %-14s %-14s %s\n", "quantity", "central", "mean", "std");
        for (size_t i = 0; i < mc.count; ++i)
            std::printf("%-18s %.6e   %.6e   %.6e\n", mc.entries[i].name, mc.entries[i].central, mc.entries[i].mean,
                        mc.entries[i].std);
    }
    nvx_mc_result_free(&mc);
    return finish_stdout();
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int rc = parse_args(argc, argv, o);
    if (rc) return rc == 2 ? finish_stdout() : 2;
    return o.mc > 0 ? run_monte_carlo(o) : run_single(o);
}
