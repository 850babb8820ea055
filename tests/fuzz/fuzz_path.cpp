// The request path after the split: percent-decoding, the "/.." stripping
// and the confinement below the content root, in the order of a real run.
// The same bytes also go through the query's decoding alone.
#include "outcome.h"
#include "paths.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t part_size = 1025;

bool is_suffix(const char *text, const char *of) {
    const size_t n = strlen(text);
    const size_t m = strlen(of);
    return n <= m && strcmp(of + m - n, text) == 0;
}

void check_decoded(const char *before, const char *after, int replaced) {
    using fuzz::check;
    size_t percents = 0;
    for (const char *p = before; *p != '\0'; ++p)
        percents += *p == '%';
    check(replaced >= 0 && static_cast<size_t>(replaced) <= percents, "more escapes than '%'");
    check(strlen(after) + 2 * static_cast<size_t>(replaced) <= strlen(before),
          "decoding lengthened the text");
    if (replaced == 0)
        check(strcmp(before, after) == 0, "text changed without an escape");
}

void check_confined(const char *path) {
    using fuzz::check;
    check(path[0] != '/', "confined path is absolute");
    check(strncmp(path, "../", 3) != 0, "confined path begins with ../");
    check(strcmp(path, "..") != 0, "confined path is ..");
    check(strstr(path, "/..") == nullptr, "confined path holds /..");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Heap copies of the exact size of main's buffers, so that any step
    // past them is an out-of-bounds access.
    char *path = new char[part_size]();
    char *query = new char[part_size]();
    char *before = new char[part_size]();
    const size_t n = size < part_size - 1 ? size : part_size - 1;
    memcpy(path, data, n);
    memcpy(query, data, n);
    memcpy(before, data, n);
    fuzz::reset();

    if (setjmp(fuzz::outcome.jump) == 0) {
        check_decoded(before, query, tolm::uridecode(query));

        const int replaced = tolm::uridecode(path);
        check_decoded(before, path, replaced);
        char *decoded = new char[part_size];
        memcpy(decoded, path, part_size);
        tolm::remove_double_dot(path);
        fuzz::check(strstr(path, "/..") == nullptr, "stripping left a /..");
        fuzz::check(is_suffix(path, decoded), "stripping kept more than the end");
        memcpy(decoded, path, part_size);
        tolm::confine_path(path);
        fuzz::check(is_suffix(path, decoded), "confinement kept more than the end");
        check_confined(path);
        delete[] decoded;
    } else {
        fuzz::fail("decoding or stripping ended the run");
    }

    delete[] before;
    delete[] query;
    delete[] path;
    return 0;
}
