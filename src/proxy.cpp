// The PROXY protocol header: both versions' grammar, their limits, and the
// fields of version 2 that tell of the client's certificate. Reading the
// bytes is left to the caller, led by what each step says it may read.
#include "proxy.h"

#include "utils.h"

#include <arpa/inet.h>
#include <cstring>
#include <sys/socket.h>

namespace tolm {

namespace {

constexpr unsigned char v2_signature[12] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d,
                                            0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};
constexpr char v1_signature[] = "PROXY ";
// Enough to tell the versions apart, and shorter than the shortest header
// of either ("PROXY UNKNOWN" and CR LF, 15 bytes), so never past its end.
constexpr size_t first_read = 8;

// Version 2 types: the unique id (haproxy's unique-id-format, here the
// certificate's fingerprint), and the TLS block with its own fields.
constexpr unsigned char type_unique_id = 0x05;
constexpr unsigned char type_ssl = 0x20;
constexpr unsigned char subtype_version = 0x21;
constexpr unsigned char subtype_cn = 0x22;
constexpr unsigned char client_ssl = 0x01;
constexpr unsigned char client_cert = 0x02 | 0x04; // on this connection, or its session's

constexpr ProxyStep need(size_t size, bool to_line_end = false) {
    return {ProxyStep::more, size, to_line_end, nullptr};
}
constexpr ProxyStep refuse(const char *why) {
    return {ProxyStep::bad, 0, false, why};
}
constexpr ProxyStep parsed(size_t size) {
    return {ProxyStep::done, size, false, nullptr};
}

size_t smaller(size_t a, size_t b) {
    return a < b ? a : b;
}

// Decimal digits of value at into; gives the end. (snprintf, and musl's
// inet_ntop for IPv4, which calls it, would cost a run more than the rest
// of the header.)
char *put_decimal(unsigned value, char *into) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *into++ = digits[--n];
    *into = '\0';
    return into;
}

// The canonical text, whatever spelling the header used.
void take_address(int family, const unsigned char *binary, char *into) {
    // An IPv4 client of a listener on both families comes as ::ffff:a.b.c.d:
    // a script compares and limits it as the IPv4 address it is.
    constexpr unsigned char v4_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (family == AF_INET6 && memcmp(binary, v4_mapped, sizeof v4_mapped) == 0) {
        family = AF_INET;
        binary += sizeof v4_mapped;
    }
    if (family == AF_INET6) {
        inet_ntop(family, binary, into, sizeof Client::address);
        return;
    }
    for (int i = 0; i < 4; ++i) {
        into = put_decimal(binary[i], into);
        if (i < 3)
            *into++ = '.';
    }
}

// Decimal 0 to 65535, without a sign or leading zeros.
bool take_port_text(const char *text, char *into) {
    const size_t n = strlen(text);
    if (n == 0 || n > 5 || (n > 1 && text[0] == '0'))
        return false;
    unsigned long value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    if (value > 65535)
        return false;
    memcpy(into, text, n + 1);
    return true;
}

ProxyStep parse_v1(const unsigned char *data, size_t size, Client &client) {
    const auto *lf =
        static_cast<const unsigned char *>(memchr(data, '\n', smaller(size, proxy_v1_max)));
    if (lf == nullptr)
        return size >= proxy_v1_max ? refuse("version 1 line longer than 107 bytes")
                                    : need(proxy_v1_max - size, true);
    const size_t length = static_cast<size_t>(lf - data) + 1;
    if (lf[-1] != '\r')
        return refuse("version 1 line does not end in CR LF");
    // The fields between "PROXY " and CR LF, each ended by one blank.
    char line[proxy_v1_max];
    const size_t n = length - 2 - (sizeof v1_signature - 1);
    memcpy(line, data + sizeof v1_signature - 1, n);
    line[n] = '\0';
    if (strlen(line) != n)
        return refuse("version 1 line holds a NUL byte");
    // The protocol leaves what follows UNKNOWN to the sender.
    if (strncmp(line, "UNKNOWN", 7) == 0 && (line[7] == '\0' || line[7] == ' '))
        return parsed(length);
    // Six at most: a sixth means too many.
    char *fields[6] = {};
    size_t count = 0;
    char *p = line;
    while (p != nullptr && count < 6) {
        fields[count++] = p;
        p = strchr(p, ' ');
        if (p != nullptr)
            *p++ = '\0';
    }
    const bool tcp4 = strcmp(fields[0], "TCP4") == 0;
    if (!tcp4 && strcmp(fields[0], "TCP6") != 0)
        return refuse("version 1 protocol unknown");
    if (count != 5 || p != nullptr)
        return refuse("version 1 fields are not five, one blank apart");
    const int family = tcp4 ? AF_INET : AF_INET6;
    unsigned char source[16], destination[16];
    if (inet_pton(family, fields[1], source) != 1 || inet_pton(family, fields[2], destination) != 1)
        return refuse("version 1 address malformed");
    char destination_port[6];
    if (!take_port_text(fields[3], client.port) || !take_port_text(fields[4], destination_port))
        return refuse("version 1 port malformed");
    take_address(family, source, client.address);
    return parsed(length);
}

// Text for a script: whole, and without a byte that could end or forge a
// line; otherwise absent.
void take_text(const unsigned char *value, size_t n, char *into, size_t size) {
    if (n == 0 || n >= size)
        return;
    for (size_t i = 0; i < n; ++i)
        if (is_control(value[i]))
            return;
    memcpy(into, value, n);
    into[n] = '\0';
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 64 hex digits, in either case, are a SHA-256 fingerprint; anything else
// in the unique id is something else.
void take_hash(const unsigned char *value, size_t n, char *into) {
    if (n != 64)
        return;
    char hash[65];
    for (size_t i = 0; i < n; ++i) {
        const int digit = hex_value(value[i]);
        if (digit < 0)
            return;
        hash[i] = "0123456789abcdef"[digit];
    }
    hash[64] = '\0';
    memcpy(into, hash, sizeof hash);
}

struct Tls {
    bool seen;
    unsigned char client;
};

struct Field {
    unsigned char type;
    size_t size;
    const unsigned char *value;
};

// The type-length-value field at p, and p past it; false when it runs past
// end.
bool next_field(const unsigned char *&p, const unsigned char *end, Field &field) {
    if (end - p < 3)
        return false;
    field.type = p[0];
    field.size = static_cast<size_t>(p[1] << 8 | p[2]);
    p += 3;
    if (field.size > static_cast<size_t>(end - p))
        return false;
    field.value = p;
    p += field.size;
    return true;
}

// The TLS block's own fields.
bool walk_tls(const unsigned char *p, const unsigned char *end, Client &client) {
    Field field{};
    while (p < end) {
        if (!next_field(p, end, field))
            return false;
        if (field.type == subtype_version)
            take_text(field.value, field.size, client.tls_version, sizeof client.tls_version);
        else if (field.type == subtype_cn)
            take_text(field.value, field.size, client.common_name, sizeof client.common_name);
    }
    return true;
}

// The fields after the addresses; false when one runs past its block.
bool walk_fields(const unsigned char *p, const unsigned char *end, Client &client, Tls &tls) {
    Field field{};
    while (p < end) {
        if (!next_field(p, end, field))
            return false;
        if (field.type == type_unique_id) {
            take_hash(field.value, field.size, client.hash);
        } else if (field.type == type_ssl) {
            // One byte of client flags, four of verification result (a
            // self-made certificate fails it: Gemini trusts on first use).
            if (field.size < 5 || !walk_tls(field.value + 5, field.value + field.size, client))
                return false;
            tls.seen = true;
            tls.client = field.value[0];
        }
    }
    return true;
}

ProxyStep parse_v2(const unsigned char *data, size_t size, Client &client) {
    if (size < 16)
        return need(16 - size);
    const unsigned version = data[12] >> 4, command = data[12] & 0xFU;
    const unsigned family = data[13] >> 4, transport = data[13] & 0xFU;
    const size_t length = static_cast<size_t>(data[14] << 8 | data[15]);
    if (version != 2)
        return refuse("version 2 signature with another version");
    if (command > 1)
        return refuse("version 2 command unknown");
    if (family > 3 || transport > 2)
        return refuse("version 2 family or transport unknown");
    if (length > proxy_v2_block_max)
        return refuse("version 2 block longer than 2048 bytes");
    if (size < 16 + length)
        return need(16 + length - size);
    // LOCAL is the proxy's own connection (a health check), UNSPEC a
    // client it cannot name: neither says anything about a client.
    if (command == 0 || family == 0)
        return parsed(16 + length);
    const unsigned char *block = data + 16;
    constexpr size_t address_sizes[] = {0, 12, 36, 216};
    const size_t addresses = address_sizes[family];
    if (length < addresses)
        return refuse("version 2 block shorter than its addresses");
    Tls tls{};
    if (!walk_fields(block + addresses, block + length, client, tls))
        return refuse("version 2 field runs past the block");
    // The unique id counts as a fingerprint only when the TLS block says a
    // certificate came: haproxy's expression over no certificate may give
    // a digest all the same. A name, too, only with its certificate.
    const bool over_tls = tls.seen && (tls.client & client_ssl) != 0;
    if (!over_tls)
        client.tls_version[0] = '\0';
    if (!over_tls || (tls.client & client_cert) == 0)
        client.hash[0] = '\0';
    if (client.hash[0] == '\0')
        client.common_name[0] = '\0';
    if (family == 1 || family == 2) {
        const unsigned char *port = block + (family == 1 ? 8 : 32);
        put_decimal(static_cast<unsigned>(port[0] << 8 | port[1]), client.port);
        take_address(family == 1 ? AF_INET : AF_INET6, block, client.address);
    }
    return parsed(16 + length);
}

} // namespace

ProxyStep parse_proxy(const unsigned char *data, size_t size, Client &client) {
    memset(&client, 0, sizeof client);
    const bool v1 = memcmp(data, v1_signature, smaller(size, sizeof v1_signature - 1)) == 0;
    const bool v2 = memcmp(data, v2_signature, smaller(size, sizeof v2_signature)) == 0;
    if (!v1 && !v2)
        return refuse("no PROXY protocol header");
    if (size < first_read)
        return need(first_read - size);
    ProxyStep step = v1 ? parse_v1(data, size, client) : parse_v2(data, size, client);
    if (step.kind != ProxyStep::done)
        memset(&client, 0, sizeof client);
    return step;
}

} // namespace tolm
