// Option -p: the PROXY protocol header before the request line, what a
// script learns from it, and every broken or hostile header ending the run
// with one log line and its detail, the request behind it never read.
#include "golden.h"

namespace {

using harness::detail;
using harness::Golden;
using harness::logline;
using harness::Node;

const std::string probe = harness::read_file(CGI_PROBE);

const std::vector<Node> site = {
    {"page.gmi", "page\n"},
    {"cgi-bin/env", probe, "", 0755},
};

const std::string sig("\r\n\r\n\0\r\nQUIT\n", 12);
std::string be16(size_t n) {
    return {static_cast<char>(n >> 8), static_cast<char>(n & 0xff)};
}
std::string tlv(int type, const std::string &value) {
    return static_cast<char>(type) + be16(value.size()) + value;
}
std::string v2(int command, int family, const std::string &block) {
    return sig + static_cast<char>(0x20 | command) + static_cast<char>(family) +
           be16(block.size()) + block;
}
// 192.0.2.7 port 50000 to 198.51.100.1 port 1965.
const std::string inet("\xc0\x00\x02\x07\xc6\x33\x64\x01\xc3\x50\x07\xad", 12);
const std::string hash = std::string(32, 'A') + std::string(32, '9');
std::string ssl(int flags, const std::string &fields) {
    return tlv(0x20, static_cast<char>(flags) + std::string("\0\0\0\0", 4) + fields);
}
const std::string with_cert =
    v2(1, 0x11, inet + tlv(0x05, hash) + ssl(0x07, tlv(0x21, "TLSv1.3") + tlv(0x22, "alice")));
const std::string v1_tcp4 = "PROXY TCP4 192.0.2.7 198.51.100.1 50000 1965\r\n";

const std::vector<std::string> args = {"-p", "-d", "{root}", "-c", "cgi-bin"};
// What the front end left: each of these names the proxy, or is forged.
const std::vector<std::string> stale = {
    "PATH=/usr/bin:/bin",  "REMOTE_ADDR=127.0.0.1", "REMOTE_HOST=127.0.0.1",
    "REMOTE_PORT=4444",    "AUTH_TYPE=Certificate", "TLS_CLIENT_HASH=forged",
    "REMOTE_USER=mallory", "TLS_VERSION=SSLv3",     "TCPREMOTEIP=127.0.0.1",
};
// A value set takes the place of the stale one; one not set goes.
const std::string tail = "TCPREMOTEIP=127.0.0.1\nGATEWAY_INTERFACE=CGI/1.1\n"
                         "SERVER_PROTOCOL=GEMINI\nSERVER_SOFTWARE=tolm/1\nSCRIPT_NAME=env\n"
                         "SERVER_NAME=h\n";
const std::string address = "REMOTE_ADDR=192.0.2.7\nREMOTE_HOST=192.0.2.7\nREMOTE_PORT=50000\n";

Golden script(std::string name, const std::string &header, const std::string &vars,
              std::vector<std::string> env = stale) {
    const std::string request = "gemini://h/cgi-bin/env";
    Golden g = harness::answered(site, std::move(name), args, request, "",
                                 "20 text/plain\r\nargc=1 argv0=env\ncwd={root}/cgi-bin\n"
                                 "PATH=/usr/bin:/bin\n" +
                                     vars + tail);
    g.input = header + g.input;
    g.env = std::move(env);
    return g;
}

std::vector<Golden> script_rows() {
    return {
        script("version 1 address", v1_tcp4, address),
        script("version 1 UNKNOWN: no address", "PROXY UNKNOWN\r\n", ""),
        script("version 2 with a certificate", with_cert,
               address + "AUTH_TYPE=Certificate\nTLS_CLIENT_HASH=" + std::string(32, 'a') +
                   std::string(32, '9') + "\nREMOTE_USER=alice\nTLS_VERSION=TLSv1.3\n"),
        script("version 2 without a certificate",
               v2(1, 0x11, inet + tlv(0x05, "") + ssl(0x01, tlv(0x21, "TLSv1.2"))),
               address + "TLS_VERSION=TLSv1.2\n"),
        script("version 2 IPv6",
               v2(1, 0x21,
                  std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x05" +
                      std::string(16, '\0') + std::string("\x00\x50\x07\xad", 4)),
               "REMOTE_ADDR=2001:db8::5\nREMOTE_HOST=2001:db8::5\nREMOTE_PORT=80\n"),
        script("version 2 LOCAL: nothing about a client", v2(0, 0x11, inet), ""),
        script("version 2 UNSPEC: nothing about a client", v2(1, 0x00, ""), ""),
    };
}
const std::vector<Golden> scripts = script_rows();
GOLDEN_TABLE(ProxyScript, scripts);

// Without -p nothing changes: a header is no request, and a script gets
// what the front end left.
TEST(ProxyOff, HeaderIsNoRequestAndEnvironmentStays) {
    harness::Tree tree(site);
    harness::Options o;
    o.env = stale;
    auto r =
        harness::run({"-d", tree.dir(), "-c", "cgi-bin"}, v1_tcp4 + "gemini://h/page.gmi\r\n", o);
    EXPECT_EQ("59 Malformed request\r\n", r.out);
    r = harness::run({"-d", tree.dir(), "-c", "cgi-bin"}, "gemini://h/cgi-bin/env\r\n", o);
    for (const std::string &var : stale)
        EXPECT_NE(std::string::npos, r.out.find("\n" + var + "\n")) << var;
}

const std::string bad_meta = "Bad PROXY protocol header";
Golden refused(std::string name, const std::string &input, const std::string &why) {
    return harness::refused(site, std::move(name), {"-p", "-d", "{root}"}, input, "", 59, bad_meta,
                            "bad PROXY protocol header: " + why);
}

// The request after each header would be served if it were read.
const std::string request = "gemini://h/page.gmi\r\n";

Golden file_row() {
    Golden g = harness::answered(site, "file and log line unchanged", {"-p", "-d", "{root}"},
                                 "gemini://h/page.gmi", "20 text/gemini\r\n", "page\n");
    g.input = v1_tcp4 + g.input;
    return g;
}

std::vector<Golden> refused_rows() {
    return {
        file_row(),
        refused("a request without a header", request, "no PROXY protocol header after 8 bytes"),
        refused("empty input", "", "input ended after 0 bytes"),
        refused("version 1 cut short", "PROXY TCP4 192.0.2.7 198.5", "input ended after 26 bytes"),
        refused("version 1 signature cut short", "PROX", "input ended after 4 bytes"),
        refused("version 1 too long", "PROXY UNKNOWN " + std::string(200, 'u') + "\r\n" + request,
                "version 1 line longer than 107 bytes after 107 bytes"),
        refused("version 1 line feed alone", "PROXY UNKNOWN\n" + request,
                "version 1 line does not end in CR LF after 14 bytes"),
        refused("version 1 bad signature", "PROXY\tTCP4 192.0.2.7 198.51.100.1 1 2\r\n" + request,
                "no PROXY protocol header after 8 bytes"),
        refused("version 1 unknown protocol", "PROXY TCP5 192.0.2.7 198.51.100.1 1 2\r\n" + request,
                "version 1 protocol unknown after 39 bytes"),
        refused("version 1 double blank", "PROXY TCP4 192.0.2.7  198.51.100.1 1 2\r\n" + request,
                "version 1 fields are not five, one blank apart after 40 bytes"),
        refused("version 1 port out of range",
                "PROXY TCP4 192.0.2.7 198.51.100.1 65536 1965\r\n" + request,
                "version 1 port malformed after 46 bytes"),
        refused("version 1 address out of range",
                "PROXY TCP4 192.0.2.300 198.51.100.1 1 2\r\n" + request,
                "version 1 address malformed after 41 bytes"),
        refused("version 2 cut in the signature", sig.substr(0, 10), "input ended after 10 bytes"),
        refused("version 2 cut in the block", v2(1, 0x11, inet).substr(0, 20),
                "input ended after 20 bytes"),
        refused("version 2 too long", sig + "\x21\x11\xff\xff" + request,
                "version 2 block longer than 2048 bytes after 16 bytes"),
        refused("version 2 bad signature", "\r\n\r\n\0\r\nQUIT\r" + std::string(4, '\0') + request,
                "no PROXY protocol header after 8 bytes"),
        refused("version 2 bad length", sig + "\x21\x11" + be16(4) + inet + request,
                "version 2 block shorter than its addresses after 20 bytes"),
        refused("version 2 unknown command", v2(0xf, 0x11, inet) + request,
                "version 2 command unknown after 16 bytes"),
        refused("version 2 unknown family", v2(1, 0x51, inet) + request,
                "version 2 family or transport unknown after 16 bytes"),
        refused("version 2 field past the block",
                v2(1, 0x11, inet + std::string("\x05\x00\x09", 3) + "abc") + request,
                "version 2 field runs past the block after 34 bytes"),
    };
}
const std::vector<Golden> refusals = refused_rows();
GOLDEN_TABLE(ProxyRefused, refusals);

} // namespace
