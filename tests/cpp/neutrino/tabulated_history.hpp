// A tabulated-spectrum neutrino history built by hand for tests: rows at plasma z = m_e/T from
// 10^lg_z_min to 10^lg_z_max, comoving temperature r T (x = z/r), distortion row(y, z) on y = 0.25...20.
#pragma once

#include <cmath>
#include <functional>
#include <vector>

#include "nuvex/neutrino.h"

struct TabulatedHistory {
    std::vector<double> lnx, w, xw, df, grid;
    nvx_neutrino_history h{};
    TabulatedHistory(double r, int n, double lg_z_min, double lg_z_max,
                     const std::function<double(double y, double z)>& row) {
        for (int j = 1; j <= 80; ++j) grid.push_back(0.25 * j);  // the shipped momentum grid
        for (int i = 0; i < n; ++i) {
            const double z = std::pow(10.0, lg_z_min + (lg_z_max - lg_z_min) * i / (n - 1));
            w.push_back(z);
            xw.push_back(z / r);
            lnx.push_back(std::log(z / r));
            for (double y : grid) df.push_back(row(y, z));
        }
        h.mode = NVX_NU_MODE_TABULATED;
        h.spectral_loaded = 1;
        h.w_min = w.front();
        h.w_max = w.back();
        h.w_sorted = w.data();
        h.x_by_w = xw.data();
        h.n_spec = w.size();
        h.lnx_spec = lnx.data();
        h.dfnu = df.data();
        h.grid = grid.data();
        h.n_mom = grid.size();
        h.grid_min = grid.front();
        h.grid_max = grid.back();
    }
    TabulatedHistory(const TabulatedHistory&) = delete;  // h points into the vectors
    TabulatedHistory& operator=(const TabulatedHistory&) = delete;
};
