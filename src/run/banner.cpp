// The welcome banner and option lines printed at the start of a verbose run.
// The box is 46 columns wide inside, drawn with heavy box-drawing characters.
#include <cstdio>
#include <cstring>
#include <string>

#include "nuvex/config.h"
#include "nuvex/run.h"
#include "run/driver_internal.hpp"

namespace nvx {
namespace {

constexpr int kInner = 46;

// Block letters N U V E X, three rows, five cells per letter, two blanks between letters.
const char* const kLetters[3] = {
    "█▄  █  █   █  █   █  █▀▀▀▀  ▀▄ ▄▀",
    "█ ▀▄█  █   █  ▀▄ ▄▀  █▀▀▀   ▄▀▄ ",
    "▀   ▀  ▀▄▄▄▀    ▀    ▀▀▀▀▀  ▀   ▀",
};

// Display width of UTF-8 text: every code point of the banner takes one column.
int display_width(const std::string& s) {
    int w = 0;
    for (unsigned char ch : s)
        if ((ch & 0xC0) != 0x80) ++w;
    return w;
}

void box_line(std::string& out, const std::string& content, int left_pad) {
    int right = kInner - left_pad - display_width(content);
    if (right < 0) right = 0;
    out += "┃" + std::string(size_t(left_pad), ' ') + content + std::string(size_t(right), ' ') + "┃\n";
}

std::string horizontal() {
    std::string s;
    for (int i = 0; i < kInner; ++i) s += "━";
    return s;
}

}  // namespace

void print_banner(const NVXConfig* c) {
    std::string out = "\n┏" + horizontal() + "┓\n";
    box_line(out, "", 0);
    for (const char* row : kLetters) box_line(out, row, (kInner - display_width(kLetters[0])) / 2);
    box_line(out, "", 0);
    char welcome[64];
    std::snprintf(welcome, sizeof welcome, "Welcome to NUVEX (C backend) v%-8s", NVX_VERSION_STRING);
    box_line(out, welcome, (kInner - display_width(welcome)) / 2);
    box_line(out, "", 0);
    out += "┗" + horizontal() + "┛\n\n";
    nvx_message(c, NVX_MSG_TEXT, "banner", "%s", out.c_str());
}

void log_options(const NVXConfig* c) {
    auto tf = [](int v) { return v ? "True" : "False"; };
    char amax[32];
    if (c->amax >= 0)
        std::snprintf(amax, sizeof amax, "%d", c->amax);
    else
        std::snprintf(amax, sizeof amax, "None");
    nvx_log(c, "opts", "backend              = c");
    nvx_log(c, "opts", "network              = %s (amax=%s)", c->network ? c->network : "None", amax);
    // named only when it differs from the network's own tables, so the default log is unchanged
    if (c->rate_set && std::strcmp(c->rate_set, "nuvex") != 0) nvx_log(c, "opts", "rate_set             = %s", c->rate_set);
    nvx_log(c, "opts", "numerical_precision  = %.3g", c->numerical_precision);
    nvx_log(c, "opts", "radiative_corrections    = %s", tf(c->radiative_corrections));
    nvx_log(c, "opts", "finite_mass_corrections  = %s", tf(c->finite_mass_corrections));
    nvx_log(c, "opts", "thermal_corrections      = %s", tf(c->thermal_corrections));
    nvx_log(c, "opts", "spectral_distortions     = %s", tf(c->spectral_distortions));
    nvx_log(c, "opts", "tau_n_normalization      = %s", tf(c->tau_n_normalization));
    nvx_log(c, "opts", "tau_n                = %.4g s", c->tau_n);
    nvx_log(c, "opts", "Omegabh2             = %.8g (eta0b=%.6g)", c->Omegabh2, c->eta0b);
    nvx_log(c, "opts", "DeltaNeff            = %.8g", c->DeltaNeff);
}

}  // namespace nvx
