// PROXY protocol headers: a reader led by the parser takes the header and
// never a byte past it, however the bytes come; it ends as the whole input
// parsed at once does; and what it yields for a script is well-formed.
#include "outcome.h"
#include "proxy.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using fuzz::check;
using tolm::Client;
using tolm::ProxyStep;

bool terminated_in(const char *text, size_t size) {
    return memchr(text, '\0', size) != nullptr;
}

bool printable(const char *text) {
    for (const char *p = text; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f)
            return false;
    return true;
}

void check_client(const Client &c) {
    check(terminated_in(c.address, sizeof c.address) && terminated_in(c.port, sizeof c.port) &&
              terminated_in(c.hash, sizeof c.hash) &&
              terminated_in(c.tls_version, sizeof c.tls_version) &&
              terminated_in(c.common_name, sizeof c.common_name),
          "a field is not terminated");
    unsigned char binary[16];
    check(c.address[0] == '\0' || inet_pton(AF_INET, c.address, binary) == 1 ||
              inet_pton(AF_INET6, c.address, binary) == 1,
          "address is no address");
    check((c.address[0] == '\0') == (c.port[0] == '\0'), "address without port or port alone");
    if (c.port[0] != '\0') {
        const size_t n = strspn(c.port, "0123456789");
        check(n == strlen(c.port) && n <= 5 && (n == 1 || c.port[0] != '0') &&
                  strtoul(c.port, nullptr, 10) <= 65535,
              "port is no port");
    }
    check(c.hash[0] == '\0' || (strlen(c.hash) == 64 && strspn(c.hash, "0123456789abcdef") == 64),
          "fingerprint is not 64 lower-case hex digits");
    check(c.common_name[0] == '\0' || c.hash[0] != '\0', "a name without its certificate");
    check(printable(c.tls_version) && printable(c.common_name), "control byte for a script");
}

// Reads as the program does: what each step allows, in pieces of at most
// `piece` bytes, stopping at a line feed where told.
ProxyStep read_led(const uint8_t *data, size_t size, size_t piece, size_t &got, Client &c) {
    got = 0;
    for (;;) {
        const ProxyStep step = tolm::parse_proxy(data, got, c);
        if (step.kind != ProxyStep::more)
            return step;
        check(step.size > 0, "asks for nothing more");
        check(got + step.size <= tolm::proxy_max, "asks for more than the limit");
        size_t take = step.size < piece ? step.size : piece;
        if (take > size - got)
            take = size - got;
        if (step.to_line_end) {
            const void *lf = memchr(data + got, '\n', take);
            if (lf != nullptr)
                take = static_cast<size_t>(static_cast<const uint8_t *>(lf) - (data + got)) + 1;
        }
        if (take == 0)
            return step; // the input ended first
        got += take;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Client whole;
    const ProxyStep at_once = tolm::parse_proxy(data, size, whole);
    if (at_once.kind == ProxyStep::bad)
        check(at_once.why != nullptr && at_once.why[0] != '\0', "refused without a reason");
    if (at_once.kind == ProxyStep::done) {
        check(at_once.size <= size && at_once.size <= tolm::proxy_max, "header past the input");
        check(at_once.size <= tolm::proxy_v1_max || data[0] != 'P', "version 1 over 107 bytes");
        check_client(whole);
    }
    constexpr size_t pieces[] = {1, 7, tolm::proxy_max};
    for (const size_t piece : pieces) {
        size_t got = 0;
        Client c;
        const ProxyStep step = read_led(data, size, piece, got, c);
        if (step.kind == ProxyStep::done) {
            check(got == step.size, "read past the header or short of it");
            check(at_once.kind == ProxyStep::done && at_once.size == step.size &&
                      memcmp(&c, &whole, sizeof c) == 0,
                  "pieces and the whole input disagree");
        } else if (step.kind == ProxyStep::bad) {
            check(at_once.kind == ProxyStep::bad && strcmp(at_once.why, step.why) == 0,
                  "refused in pieces, not whole");
        } else {
            check(got == size && at_once.kind == ProxyStep::more, "stopped before the input ended");
        }
    }
    return 0;
}
