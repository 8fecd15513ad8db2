// Reader of plain numeric text tables into column-major NVXTable records: "#" comments, blank,
// tab and comma separators, a fixed or first-line column count, and messages naming path and line.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/err.hpp"
#include "nuvex/numerics.h"

namespace {

constexpr size_t kLineBuf = 8192;
constexpr size_t kMsgBuf = 4352;
constexpr size_t kFirstCapacity = 64;

bool is_sep(char c) { return c == ',' || std::isspace(static_cast<unsigned char>(c)); }

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

// Splits `line` in place into fields separated by any run of blanks, tabs, newlines and commas.
// Every field is kept (the line buffer bounds their number), so no value is silently dropped.
void split_fields(char* line, std::vector<char*>& fields) {
    fields.clear();
    char* p = line;
    while (*p) {
        while (*p && is_sep(*p)) ++p;
        if (!*p) break;
        fields.push_back(p);
        while (*p && !is_sep(*p)) ++p;
        if (*p) *p++ = '\0';
    }
}

// Reads one table; owns the file and the partial record until it hands the record over.
class Reader {
  public:
    Reader(const char* path, FILE* fp, NVXTable* t) : path_(path), fp_(fp), t_(t) {}
    ~Reader() { std::fclose(fp_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    int run(char** err) {
        char line[kLineBuf];
        char copy[kLineBuf];
        std::vector<char*> fields;
        while (std::fgets(line, sizeof line, fp_)) {
            ++lineno_;
            const char* s = line;
            while (*s && std::isspace(static_cast<unsigned char>(*s))) ++s;
            if (*s == '\0' || *s == '#') continue;
            std::memcpy(copy, line, std::strlen(line) + 1);
            split_fields(copy, fields);
            if (fields.empty()) continue;
            if (store_row(fields, err) != 0) return abort();
        }
        if (std::ferror(fp_)) {
            abort();
            return table_fail(err, "cannot read table file '%s'", path_);
        }
        if (t_->nrows != 0 || t_->ncols != 0) return 0;
        return table_fail(err, "%s: no data rows found", path_);
    }

  private:
    int store_row(const std::vector<char*>& fields, char** err) {
        if (t_->ncols == 0) t_->ncols = fields.size();
        if (fields.size() != t_->ncols)
            return table_fail(err, "%s:%llu: expected %zu columns, found %zu", path_, lineno_,
                              t_->ncols, fields.size());
        if (t_->nrows == capacity_ && grow() != 0)
            return table_fail(err, "%s:%llu: out of memory", path_, lineno_);
        for (size_t j = 0; j < t_->ncols; ++j) {
            char* end = nullptr;
            errno = 0;
            const double v = std::strtod(fields[j], &end);
            if (end == fields[j] || (errno == ERANGE && std::isinf(v)))
                return table_fail(err, "%s:%llu: cannot parse '%s' as a number", path_, lineno_,
                                  fields[j]);
            t_->columns[j][t_->nrows] = v;
        }
        ++t_->nrows;
        return 0;
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

    const char* path_;
    FILE* fp_;
    NVXTable* t_;
    unsigned long long lineno_ = 0;
    size_t capacity_ = 0;
};

}  // namespace

int nvx_table_read(const char* path, size_t expected_columns, NVXTable* table, char** error) {
    if (!path || !table) return table_fail(error, "nvx_table_read: null argument");
    FILE* fp = std::fopen(path, "r");
    if (!fp) return table_fail(error, "cannot open table file '%s'", path);
    table->columns = nullptr;
    table->ncols = expected_columns;
    table->nrows = 0;
    Reader reader(path, fp, table);
    return reader.run(error);
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
