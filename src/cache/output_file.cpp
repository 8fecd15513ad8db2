// Output files written to a private temporary name and renamed into place once complete.
// Special targets (devices, pipes) are written directly: renaming onto them would replace the node.
#include "cache/output_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "config/err.hpp"
#include "nuvex/cache.h"

namespace nvx {
namespace {
std::atomic<unsigned long> g_output_counter{0};
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::open(const char* path, bool make_dirs) {
    discard();
    if (!path || !*path) return false;
    path_ = path;
    if (make_dirs && std::strchr(path, '/')) nvx_mkdirs_for_file(path);
    struct stat st {};
    direct_ = ::stat(path, &st) == 0 && !S_ISREG(st.st_mode);
    tmp_ = direct_ ? path_
                   : strprintf("%s.tmp.%d.%lu", path, static_cast<int>(getpid()), g_output_counter.fetch_add(1));
    fp_ = std::fopen(tmp_.c_str(), "w");
    return fp_ != nullptr;
}

bool OutputFile::commit() {
    if (!fp_) return false;
    const bool written = !std::ferror(fp_);
    const bool closed = std::fclose(fp_) == 0;
    fp_ = nullptr;
    if (direct_) return written && closed;
    if (written && closed && std::rename(tmp_.c_str(), path_.c_str()) == 0) {
        tmp_.clear();
        return true;
    }
    std::remove(tmp_.c_str());
    tmp_.clear();
    return false;
}

void OutputFile::discard() {
    if (fp_) std::fclose(fp_);
    fp_ = nullptr;
    if (!direct_ && !tmp_.empty()) std::remove(tmp_.c_str());
    tmp_.clear();
}

}  // namespace nvx
