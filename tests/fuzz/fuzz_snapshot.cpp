// Fuzzes the readers of stage snapshots: the five stage records read from arbitrary bytes, and the
// snapshot file itself (header, checksum, identity, input list). Any input ends in a record that
// writes back to the same bytes, or in a refusal with nothing left allocated; no crash, no hang.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cache/snapshot.hpp"
#include "fuzz_common.hpp"
#include "run/stage_snapshot.hpp"

using namespace nvx::session;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 6) {
        case 0: {
            nvx_plasma p{};
            if (load_plasma(bytes, p)) {
                if (save_plasma(p) != bytes) std::abort();
                nvx_plasma_free(&p);
            }
            break;
        }
        case 1: {
            nvx_neutrino_history h{};
            if (load_history(bytes, h)) {
                if (save_history(h) != bytes) std::abort();
                nvx_neutrino_history_free(&h);
            }
            break;
        }
        case 2: {
            nvx_background b{};
            if (load_background(bytes, b)) {
                if (save_background(b) != bytes) std::abort();
                nvx_background_free(&b);
            }
            break;
        }
        case 3: {
            nvx_weak_rates w{};
            bool computed = false;
            std::vector<double> gT, gN;
            if (load_weak(bytes, w, &computed, &gT, &gN)) {
                if (save_weak(w, computed, gT, gN) != bytes) std::abort();
                nvx_weak_rates_free(&w);
            }
            break;
        }
        case 4: {
            NVXNuclearRates r{};
            // bytes that do not compile to a network are refused like malformed ones
            if (load_networks(bytes, r)) {
                if (save_networks(r) != bytes) std::abort();
                nvx_nuclear_rates_free(&r);
            }
            break;
        }
        default: {
            const std::string path = fuzz::write("x.snap", data + 1, size - 1);
            const nvx::snapshot::Identity id{"{\"stage\":\"fuzz\"}", {1}};
            nvx::snapshot::Mapped mapped;
            uint64_t cid = 0;
            std::string why;
            const nvx::snapshot::Status st = nvx::snapshot::load(path, id, &mapped, &cid, &why);
            if (st == nvx::snapshot::Status::Ok && mapped.content.size() > size) std::abort();
            if (st != nvx::snapshot::Status::Ok && st != nvx::snapshot::Status::Missing && why.empty()) std::abort();
            break;
        }
    }
    return 0;
}
