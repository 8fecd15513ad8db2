// Reader of plain numeric text tables into column-major NVXTable records: "#" comments, blank,
// tab and comma separators, a fixed or first-line column count, and messages naming path and line.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/err.hpp"
#include "config/file_inputs.hpp"
#include "nuvex/numerics.h"

namespace {

constexpr size_t kMsgBuf = 4352;
constexpr size_t kFirstCapacity = 64;
constexpr size_t kQuotedField = 80;  // characters of a bad field quoted in a message

// The standard white-space class and the comma.
inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
inline bool is_sep(char c) { return c == ',' || is_space(c); }

// Messages are cut to the fixed message buffer before they are handed out.
__attribute__((format(printf, 2, 3))) int table_fail(char** err, const char* fmt, ...) {
    char buf[kMsgBuf];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (err) *err = nvx::dup_cstr(buf);
    return 1;
}

// One field as a double, exactly as strtod reads it. The whole field must be the number (a '#'
// may follow it, starting a comment): "1.5D3" or "12abc" are errors, not 1.5 and 12.
// from_chars is correctly rounded like strtod; forms it does not take (a leading '+',
// hexadecimal constants, "nan(...)", underflow) go through strtod.
bool parse_field(const char* b, const char* e, double& out) {
    const auto r = std::from_chars(b, e, out);
    if (r.ec == std::errc() && (r.ptr == e || *r.ptr == '#')) return true;
    const std::string text(b, e);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || (errno == ERANGE && std::isinf(v))) return false;
    const size_t used = size_t(end - text.c_str());  // a NUL inside the field ends strtod early
    if (used != text.size() && text[used] != '#') return false;
    out = v;
    return true;
}

// Parses one table held in memory; owns the partial record until it hands it over.
class Parser {
  public:
    Parser(const char* name, NVXTable* t) : name_(name), t_(t) {}

    int run(const char* text, size_t length, char** err) {
        const char* p = text;
        const char* end = text + length;
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            const char* line_end = nl ? nl : end;
            ++lineno_;
            if (parse_line(p, line_end, err) != 0) return abort();
            p = nl ? nl + 1 : end;
        }
        if (t_->nrows != 0 || t_->ncols != 0) return 0;
        return table_fail(err, "%s: no data rows found", name_);
    }

  private:
    int parse_line(const char* p, const char* end, char** err) {
        const char* s = p;
        while (s < end && is_space(*s)) ++s;
        if (s == end || *s == '#') return 0;
        // fields: the column count is known after the first row, so no per-line field list is needed
        const size_t nf = count_fields(s, end);
        if (nf == 0) return 0;
        if (t_->ncols == 0) t_->ncols = nf;
        if (nf != t_->ncols)
            return table_fail(err, "%s:%llu: expected %zu columns, found %zu", name_, lineno_, t_->ncols, nf);
        if (t_->nrows == capacity_ && grow() != 0) return table_fail(err, "%s:%llu: out of memory", name_, lineno_);
        size_t j = 0;
        const char* q = s;
        while (j < nf) {
            while (q < end && is_sep(*q)) ++q;
            const char* b = q;
            while (q < end && !is_sep(*q)) ++q;
            double v;
            if (!parse_field(b, q, v)) {
                const int shown = int(std::min<size_t>(size_t(q - b), kQuotedField));
                return table_fail(err, "%s:%llu: cannot parse '%.*s%s' as a number", name_, lineno_, shown, b,
                                  size_t(q - b) > kQuotedField ? "..." : "");
            }
            t_->columns[j++][t_->nrows] = v;
        }
        ++t_->nrows;
        return 0;
    }

    static size_t count_fields(const char* q, const char* end) {
        size_t n = 0;
        while (q < end) {
            while (q < end && is_sep(*q)) ++q;
            if (q == end) break;
            ++n;
            while (q < end && !is_sep(*q)) ++q;
        }
        return n;
    }

    int grow() {
        const size_t cap = capacity_ == 0 ? kFirstCapacity : 2 * capacity_;
        if (cap > SIZE_MAX / sizeof(double)) return 1;
        if (!t_->columns) {
            t_->columns = static_cast<double**>(std::calloc(t_->ncols, sizeof(double*)));
            if (!t_->columns) return 1;
        }
        for (size_t j = 0; j < t_->ncols; ++j) {
            void* p = std::realloc(t_->columns[j], cap * sizeof(double));
            if (!p) return 1;
            t_->columns[j] = static_cast<double*>(p);
        }
        capacity_ = cap;
        return 0;
    }

    // Nothing of a partly read table survives a failure.
    int abort() {
        nvx_table_free(t_);
        return 1;
    }

    const char* name_;
    NVXTable* t_;
    unsigned long long lineno_ = 0;
    size_t capacity_ = 0;
};

// The whole file in one buffer; false on a read error (a directory opens but cannot be read).
bool slurp(FILE* fp, std::string& out) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, n);
    return !std::ferror(fp);
}

}  // namespace

int nvx_table_parse(const char* text, size_t length, const char* name, size_t expected_columns, NVXTable* table,
                    char** error) {
    if (!table || (!text && length)) return table_fail(error, "nvx_table_parse: null argument");
    table->columns = nullptr;
    table->ncols = expected_columns;
    table->nrows = 0;
    Parser parser(name ? name : "(text)", table);
    return parser.run(text ? text : "", length, error);
}

int nvx_table_read(const char* path, size_t expected_columns, NVXTable* table, char** error) {
    if (!path || !table) return table_fail(error, "nvx_table_read: null argument");
    nvx::inputs::read(path);
    FILE* fp = std::fopen(path, "rb");
    if (!fp) return table_fail(error, "cannot open table file '%s'", path);
    std::string text;
    const bool ok = slurp(fp, text);
    std::fclose(fp);
    if (ok) nvx::inputs::content(path, text.data(), text.size());
    if (!ok) {
        table->columns = nullptr;
        table->ncols = 0;
        table->nrows = 0;
        return table_fail(error, "cannot read table file '%s'", path);
    }
    return nvx_table_parse(text.data(), text.size(), path, expected_columns, table, error);
}

void nvx_table_free(NVXTable* table) {
    if (!table) return;
    if (table->columns) {
        for (size_t j = 0; j < table->ncols; ++j) std::free(table->columns[j]);
        std::free(table->columns);
    }
    table->columns = nullptr;
    table->ncols = 0;
    table->nrows = 0;
}
