// The PROXY protocol header, versions 1 and 2, as a front end puts it before
// the request: a pure parser over the bytes read so far, which also says how
// many more may be read without passing the header's end.
#pragma once

#include <cstddef>

namespace tolm {

// What the header says about the client; an empty text is an absent value.
struct Client {
    char address[46]; // as inet_ntop writes it
    char port[6];
    char hash[65];        // SHA-256 of the certificate, lower-case hex
    char tls_version[32]; // "TLSv1.3"
    char common_name[256];
};

// A v1 header is one line of at most 107 bytes. A v2 header is 16 bytes and
// a block whose length they give; haproxy's largest, with every option it
// can send, stays below 1 kB, and the limit keeps the read bounded.
constexpr size_t proxy_v1_max = 107;
constexpr size_t proxy_v2_block_max = 2048;
constexpr size_t proxy_max = 16 + proxy_v2_block_max;

struct ProxyStep {
    enum Kind : unsigned char { more, bad, done } kind;
    // more: how many further bytes belong to the header for sure, or, with
    // to_line_end, at most how many, up to and with the next line feed.
    // done: the header's length.
    size_t size;
    bool to_line_end;
    const char *why; // bad: what is wrong
};

// Reads data[0, size) as the start of the input. Fills client (cleared
// first) only when done.
ProxyStep parse_proxy(const unsigned char *data, size_t size, Client &client);

} // namespace tolm
