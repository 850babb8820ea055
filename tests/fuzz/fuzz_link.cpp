// The link of a listing line: a directory entry's name, encoded so that a
// client reads the link back as the same name.
#include "content.h"
#include "outcome.h"
#include "paths.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// What the listing gives encode_link: room for every byte escaped.
constexpr size_t link_size = 3 * NAME_MAX + 1;

bool is_prefix(const char *text, const char *of) {
    return strncmp(text, of, strlen(text)) == 0;
}

void check_link(const char *link, size_t size) {
    using fuzz::check;
    check(strlen(link) < size, "link not terminated inside its buffer");
    for (const char *p = link; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        check(c > 0x20 && c != 0x7f && c != '?' && c != '#', "raw byte that ends or changes a URL");
    }
}

// Decodes with the server's own decoder: a link in a listing is requested
// again through it.
void decode(const char *link, char *out, size_t size) {
    memset(out, 0, size);
    memcpy(out, link, strlen(link));
    tolm::uridecode(out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using fuzz::check;
    if (size == 0)
        return 0;
    // The first byte picks a smaller buffer for the second call; the rest is
    // a name as a directory holds it: up to NAME_MAX bytes, no NUL, no '/'.
    const size_t small = 1 + data[0] % 64;
    char name[NAME_MAX + 1] = {};
    size_t n = 0;
    for (size_t i = 1; i < size && n < NAME_MAX; ++i)
        if (data[i] != '\0' && data[i] != '/')
            name[n++] = static_cast<char>(data[i]);

    char *link = new char[link_size];
    char *decoded = new char[link_size];
    fuzz::reset();
    if (setjmp(fuzz::outcome.jump) == 0) {
        tolm::encode_link(name, link, link_size);
        check_link(link, link_size);
        decode(link, decoded, link_size);
        check(strcmp(decoded, name) == 0, "decoded link is not the name");

        // Too little room cuts the link between escapes, never inside one.
        char *cut = new char[small];
        tolm::encode_link(name, cut, small);
        check_link(cut, small);
        check(is_prefix(cut, link), "cut link is not the start of the link");
        decode(cut, decoded, link_size);
        check(is_prefix(decoded, name), "decoded cut link is not the start of the name");
        delete[] cut;
    } else {
        fuzz::fail("encoding ended the run");
    }
    delete[] decoded;
    delete[] link;
    return 0;
}
