// The MIME lookup on any path: a type only for a known extension after the
// last dot, the fallback otherwise.
#include "mimes.h"
#include "outcome.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using fuzz::check;
    constexpr size_t path_size = 1025;
    char *path = new char[path_size]();
    memcpy(path, data, size < path_size - 1 ? size : path_size - 1);

    static const char fallback[] = "x-fuzz/fallback";
    static const char other[] = "x-fuzz/other";
    const char *type = tolm::get_file_mime(path, fallback);
    const char *again = tolm::get_file_mime(path, other);
    check(type != nullptr, "no type");

    const char *dot = strrchr(path, '.');
    if (type == fallback) {
        check(again == other, "the fallback depends on the fallback");
    } else {
        check(dot != nullptr, "a type for a path without a dot");
        const char *ext = dot + 1;
        check(ext[0] != '\0' && strspn(ext, "abcdefghijklmnopqrstuvwxyz0123456789") == strlen(ext),
              "a type for an extension that is not lower-case letters and digits");
        check(strchr(type, '/') != nullptr, "a type without a '/'");
        check(again == type, "the same path gave two types");
    }
    delete[] path;
    return 0;
}
