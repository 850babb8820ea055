// The PROXY protocol header parser: what each version yields, how much it
// lets a reader take at each step, and the hostile and broken headers it
// refuses.
#include "proxy.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using tolm::Client;
using tolm::parse_proxy;
using tolm::ProxyStep;

const std::string sig("\r\n\r\n\0\r\nQUIT\n", 12);

std::string be16(size_t n) {
    return {static_cast<char>(n >> 8), static_cast<char>(n & 0xff)};
}
std::string tlv(int type, const std::string &value) {
    return static_cast<char>(type) + be16(value.size()) + value;
}
// Version 2 with command and family bytes, the block's length as given.
std::string v2(int command, int family, const std::string &block, size_t length) {
    return sig + static_cast<char>(0x20 | command) + static_cast<char>(family) + be16(length) +
           block;
}
std::string v2(int command, int family, const std::string &block) {
    return v2(command, family, block, block.size());
}
// 192.0.2.7 port 50000 to 198.51.100.1 port 1965.
const std::string inet("\xc0\x00\x02\x07\xc6\x33\x64\x01\xc3\x50\x07\xad", 12);
const std::string inet6 = std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x01" +
                          std::string(16, '\0') + std::string("\x00\x50\x07\xad", 4);
const std::string hash = "3F0A" + std::string(60, 'c');
const std::string hash_lower = "3f0a" + std::string(60, 'c');
// The TLS block: client flags, the verification result, its own fields.
std::string ssl(int flags, const std::string &fields) {
    return tlv(0x20, static_cast<char>(flags) + std::string("\0\0\0\x14", 4) + fields);
}
const std::string version13 = tlv(0x21, "TLSv1.3");
const std::string cn_alice = tlv(0x22, "alice");

struct Row {
    std::string name;
    std::string input;
    ProxyStep::Kind kind;
    size_t size = 0; // done: the header's length; more: how much more
    bool to_line_end = false;
    std::string why; // bad: the detail
    std::string address, port, hash, version, cn;
};

void expect_row(const Row &row) {
    SCOPED_TRACE(row.name);
    Client c;
    memset(&c, 'x', sizeof c);
    const ProxyStep step =
        parse_proxy(reinterpret_cast<const unsigned char *>(row.input.data()), row.input.size(), c);
    EXPECT_EQ(row.kind, step.kind);
    if (step.kind == ProxyStep::bad) {
        EXPECT_EQ(row.why, step.why);
        return;
    }
    EXPECT_EQ(row.size, step.size);
    EXPECT_EQ(row.to_line_end, step.to_line_end);
    EXPECT_EQ(row.address, c.address);
    EXPECT_EQ(row.port, c.port);
    EXPECT_EQ(row.hash, c.hash);
    EXPECT_EQ(row.version, c.tls_version);
    EXPECT_EQ(row.cn, c.common_name);
}

TEST(ProxyHeader, VersionOne) {
    const std::string tcp4 = "PROXY TCP4 192.0.2.7 198.51.100.1 50000 1965\r\n";
    const Row rows[] = {
        {"TCP4", tcp4, ProxyStep::done, tcp4.size(), false, "", "192.0.2.7", "50000"},
        {"request after it", tcp4 + "gemini://h/\r\n", ProxyStep::done, tcp4.size(), false, "",
         "192.0.2.7", "50000"},
        {"TCP6 in canonical form", "PROXY TCP6 2001:DB8:0:0::1 ::1 0 65535\r\n", ProxyStep::done,
         40, false, "", "2001:db8::1", "0"},
        {"IPv4 mapped into TCP6 given as IPv4", "PROXY TCP6 ::ffff:192.0.2.7 ::1 1 2\r\n",
         ProxyStep::done, 37, false, "", "192.0.2.7", "1"},
        {"UNKNOWN", "PROXY UNKNOWN\r\n", ProxyStep::done, 15},
        {"UNKNOWN with what the sender likes", "PROXY UNKNOWN whatever  at all\r\n",
         ProxyStep::done, 32},
        {"107 bytes", "PROXY UNKNOWN " + std::string(91, 'u') + "\r\n", ProxyStep::done, 107},
        {"first read", "", ProxyStep::more, 8},
        {"first bytes", "PRO", ProxyStep::more, 5},
        {"line under way", "PROXY TCP4 192.0", ProxyStep::more, 91, true},
        {"CR without LF yet", "PROXY UNKNOWN\r", ProxyStep::more, 93, true},
        {"108 bytes", "PROXY UNKNOWN " + std::string(92, 'u') + "\r\n", ProxyStep::bad, 0, false,
         "version 1 line longer than 107 bytes"},
        {"107 bytes without a line feed", "PROXY " + std::string(101, 'u'), ProxyStep::bad, 0,
         false, "version 1 line longer than 107 bytes"},
        {"LF alone", "PROXY UNKNOWN\n", ProxyStep::bad, 0, false,
         "version 1 line does not end in CR LF"},
        {"NUL byte", std::string("PROXY UNKNOWN\0\r\n", 16), ProxyStep::bad, 0, false,
         "version 1 line holds a NUL byte"},
        {"lower case", "proxy TCP4 192.0.2.7 198.51.100.1 1 2\r\n", ProxyStep::bad, 0, false,
         "no PROXY protocol header"},
        {"other protocol", "PROXY UDP4 192.0.2.7 198.51.100.1 1 2\r\n", ProxyStep::bad, 0, false,
         "version 1 protocol unknown"},
        {"no fields", "PROXY \r\n", ProxyStep::bad, 0, false, "version 1 protocol unknown"},
        {"two blanks", "PROXY TCP4  192.0.2.7 198.51.100.1 1 2\r\n", ProxyStep::bad, 0, false,
         "version 1 fields are not five, one blank apart"},
        {"trailing blank", "PROXY TCP4 192.0.2.7 198.51.100.1 1 2 \r\n", ProxyStep::bad, 0, false,
         "version 1 fields are not five, one blank apart"},
        {"a field missing", "PROXY TCP4 192.0.2.7 198.51.100.1 1\r\n", ProxyStep::bad, 0, false,
         "version 1 fields are not five, one blank apart"},
        {"a field too many", "PROXY TCP4 192.0.2.7 198.51.100.1 1 2 3\r\n", ProxyStep::bad, 0,
         false, "version 1 fields are not five, one blank apart"},
        {"tab for a blank", "PROXY TCP4 192.0.2.7\t198.51.100.1 1 2\r\n", ProxyStep::bad, 0, false,
         "version 1 fields are not five, one blank apart"},
        {"IPv6 under TCP4", "PROXY TCP4 ::1 ::1 1 2\r\n", ProxyStep::bad, 0, false,
         "version 1 address malformed"},
        {"IPv4 under TCP6", "PROXY TCP6 192.0.2.7 198.51.100.1 1 2\r\n", ProxyStep::bad, 0, false,
         "version 1 address malformed"},
        {"octet over 255", "PROXY TCP4 192.0.2.256 198.51.100.1 1 2\r\n", ProxyStep::bad, 0, false,
         "version 1 address malformed"},
        {"a name for an address", "PROXY TCP4 localhost 198.51.100.1 1 2\r\n", ProxyStep::bad, 0,
         false, "version 1 address malformed"},
        {"destination malformed", "PROXY TCP4 192.0.2.7 198.51.100 1 2\r\n", ProxyStep::bad, 0,
         false, "version 1 address malformed"},
        {"port 65536", "PROXY TCP4 192.0.2.7 198.51.100.1 65536 2\r\n", ProxyStep::bad, 0, false,
         "version 1 port malformed"},
        {"port with a leading zero", "PROXY TCP4 192.0.2.7 198.51.100.1 01965 2\r\n",
         ProxyStep::bad, 0, false, "version 1 port malformed"},
        {"negative port", "PROXY TCP4 192.0.2.7 198.51.100.1 -1 2\r\n", ProxyStep::bad, 0, false,
         "version 1 port malformed"},
        {"port with a sign", "PROXY TCP4 192.0.2.7 198.51.100.1 +1 2\r\n", ProxyStep::bad, 0, false,
         "version 1 port malformed"},
        {"destination port out of range", "PROXY TCP4 192.0.2.7 198.51.100.1 1 99999\r\n",
         ProxyStep::bad, 0, false, "version 1 port malformed"},
        {"request without a header", "gemini://h/\r\n", ProxyStep::bad, 0, false,
         "no PROXY protocol header"},
        {"no header, first byte", "g", ProxyStep::bad, 0, false, "no PROXY protocol header"},
    };
    for (const Row &row : rows)
        expect_row(row);
}

TEST(ProxyHeader, VersionTwo) {
    const std::string tls_cert = tlv(0x05, hash) + ssl(0x07, version13 + cn_alice);
    const std::string big(2048 - 12 - 3, 'z');
    const Row rows[] = {
        {"INET", v2(1, 0x11, inet), ProxyStep::done, 28, false, "", "192.0.2.7", "50000"},
        {"request after it", v2(1, 0x11, inet) + "gemini://h/\r\n", ProxyStep::done, 28, false, "",
         "192.0.2.7", "50000"},
        {"INET6", v2(1, 0x21, inet6), ProxyStep::done, 52, false, "", "2001:db8::1", "80"},
        {"certificate", v2(1, 0x11, inet + tls_cert), ProxyStep::done, 28 + tls_cert.size(), false,
         "", "192.0.2.7", "50000", hash_lower, "TLSv1.3", "alice"},
        {"certificate from the session", v2(1, 0x11, inet + tlv(0x05, hash) + ssl(0x05, "")),
         ProxyStep::done, 28 + 67 + 8, false, "", "192.0.2.7", "50000", hash_lower},
        {"TLS without a certificate", v2(1, 0x11, inet + tlv(0x05, "") + ssl(0x01, version13)),
         ProxyStep::done, 28 + 3 + 8 + 10, false, "", "192.0.2.7", "50000", "", "TLSv1.3"},
        {"digest of no certificate", v2(1, 0x11, inet + tlv(0x05, hash) + ssl(0x01, cn_alice)),
         ProxyStep::done, 28 + 67 + 16, false, "", "192.0.2.7", "50000", "", ""},
        {"unique id without the TLS block", v2(1, 0x11, inet + tlv(0x05, hash)), ProxyStep::done,
         28 + 67, false, "", "192.0.2.7", "50000"},
        {"unique id that is no digest",
         v2(1, 0x11, inet + tlv(0x05, "req-" + std::string(60, '1')) + ssl(0x07, "")),
         ProxyStep::done, 28 + 67 + 8, false, "", "192.0.2.7", "50000"},
        {"name with a line feed left out",
         v2(1, 0x11, inet + tlv(0x05, hash) + ssl(0x07, tlv(0x22, "a\nb"))), ProxyStep::done,
         28 + 67 + 14, false, "", "192.0.2.7", "50000", hash_lower},
        {"other fields passed over",
         v2(1, 0x11, inet + tlv(0x01, "gemini") + tlv(0x02, "h") + tlv(0xEE, "")), ProxyStep::done,
         28 + 9 + 4 + 3, false, "", "192.0.2.7", "50000"},
        {"IPv4 mapped into INET6 given as IPv4",
         v2(1, 0x21,
            std::string(10, '\0') + std::string("\xff\xff\x7f\x00\x00\x01", 6) +
                std::string(16, '\0') + std::string("\x00\x50\x07\xad", 4)),
         ProxyStep::done, 52, false, "", "127.0.0.1", "80"},
        {"LOCAL: nothing about a client", v2(0, 0x11, inet + tls_cert), ProxyStep::done,
         28 + tls_cert.size()},
        {"UNSPEC: nothing about a client", v2(1, 0x00, "anything"), ProxyStep::done, 24},
        {"UNIX: a certificate, no address",
         v2(1, 0x31, std::string(216, '\0') + tlv(0x05, hash) + ssl(0x07, "")), ProxyStep::done,
         16 + 216 + 67 + 8, false, "", "", "", hash_lower},
        {"block of 2048 bytes", v2(1, 0x11, inet + tlv(0xEE, big)), ProxyStep::done, 16 + 2048,
         false, "", "192.0.2.7", "50000"},
        {"first bytes", sig.substr(0, 10), ProxyStep::more, 6},
        {"fixed part", sig + "\x21\x11", ProxyStep::more, 2},
        {"block under way", v2(1, 0x11, inet.substr(0, 5), 12), ProxyStep::more, 7},
        {"block announced, none yet", v2(1, 0x11, "", 2048), ProxyStep::more, 2048},
        {"block of 2049 bytes", v2(1, 0x11, "", 2049), ProxyStep::bad, 0, false,
         "version 2 block longer than 2048 bytes"},
        {"block of 65535 bytes", v2(1, 0x11, "", 65535), ProxyStep::bad, 0, false,
         "version 2 block longer than 2048 bytes"},
        {"bad signature", "\r\n\r\n\0\r\nQUIT\r" + std::string(20, 'x'), ProxyStep::bad, 0, false,
         "no PROXY protocol header"},
        {"version 1 in the version bits", sig + "\x11\x11" + be16(12) + inet, ProxyStep::bad, 0,
         false, "version 2 signature with another version"},
        {"version 3 in the version bits", sig + "\x31\x11" + be16(12) + inet, ProxyStep::bad, 0,
         false, "version 2 signature with another version"},
        {"command 2", v2(2, 0x11, inet), ProxyStep::bad, 0, false, "version 2 command unknown"},
        {"family 4", v2(1, 0x41, inet), ProxyStep::bad, 0, false,
         "version 2 family or transport unknown"},
        {"transport 3", v2(1, 0x13, inet), ProxyStep::bad, 0, false,
         "version 2 family or transport unknown"},
        {"block shorter than INET", v2(1, 0x11, inet.substr(0, 11)), ProxyStep::bad, 0, false,
         "version 2 block shorter than its addresses"},
        {"block shorter than INET6", v2(1, 0x21, inet), ProxyStep::bad, 0, false,
         "version 2 block shorter than its addresses"},
        {"field past the block", v2(1, 0x11, inet + "\x05\x00\x40" + hash.substr(0, 63)),
         ProxyStep::bad, 0, false, "version 2 field runs past the block"},
        {"field header cut", v2(1, 0x11, inet + "\x05\x00"), ProxyStep::bad, 0, false,
         "version 2 field runs past the block"},
        {"TLS block too short", v2(1, 0x11, inet + tlv(0x20, "\x07\x00")), ProxyStep::bad, 0, false,
         "version 2 field runs past the block"},
        {"TLS field past its block",
         v2(1, 0x11, inet + tlv(0x20, std::string(5, '\7') + "\x22\x00\x09x")), ProxyStep::bad, 0,
         false, "version 2 field runs past the block"},
    };
    for (const Row &row : rows)
        expect_row(row);
}

// A reader that takes what each step allows, from input that holds the
// header and the request, never takes a byte of the request, whichever
// the header and however the bytes come.
TEST(ProxyHeader, ReaderStopsAtTheHeaderEnd) {
    const std::string headers[] = {
        "PROXY TCP4 192.0.2.7 198.51.100.1 50000 1965\r\n",
        "PROXY UNKNOWN\r\n",
        v2(1, 0x11, inet + tlv(0x05, hash) + ssl(0x07, version13 + cn_alice)),
        v2(0, 0x00, ""),
    };
    for (const std::string &header : headers) {
        const std::string input = header + "gemini://h/\r\n";
        for (size_t chunk : {size_t{1}, size_t{3}, size_t{4096}}) {
            size_t got = 0;
            Client c;
            ProxyStep step{};
            for (int guard = 0; guard < 1000; ++guard) {
                step = parse_proxy(reinterpret_cast<const unsigned char *>(input.data()), got, c);
                if (step.kind != ProxyStep::more)
                    break;
                size_t take = std::min(step.size, chunk);
                if (step.to_line_end) {
                    const size_t lf = input.find('\n', got);
                    take = std::min(take, lf - got + 1);
                }
                got += take;
            }
            EXPECT_EQ(ProxyStep::done, step.kind) << header << chunk;
            EXPECT_EQ(header.size(), got) << chunk;
            EXPECT_EQ(header.size(), step.size);
        }
    }
}

} // namespace
