// Who the client is when a front end says so (option -p): the header read
// at the start of the run, kept for a script, and the script's variables,
// under the names Gemini servers give them.
#include "client.h"

#include "connection.h"
#include "proxy.h"
#include "response.h"
#include "utils.h"

#include <cerrno>
#include <cstdlib>

namespace tolm {

namespace {

Client client;
bool header_read;

[[noreturn]] void refuse_header(const char *why, size_t got) {
    status(59, "%s", "Bad PROXY protocol header");
    stop(1, "bad PROXY protocol header: %s after %zu bytes", why, got);
}

} // namespace

void read_proxy_header() {
    unsigned char header[proxy_max];
    size_t got = 0;
    for (;;) {
        const ProxyStep step = parse_proxy(header, got, client);
        if (step.kind == ProxyStep::done)
            break;
        if (step.kind == ProxyStep::bad)
            refuse_header(step.why, got);
        const ssize_t n =
            read_header_bytes(reinterpret_cast<char *>(header + got), step.size, step.to_line_end);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            refuse_header("input ended", got);
        if (n < 0)
            refuse_header(errno == ETIMEDOUT   ? "no whole header within 30 s"
                          : errno == ECANCELED ? told_to_stop()
                                               : "read error",
                          got);
        got += static_cast<size_t>(n);
    }
    header_read = true;
}

// A value is the header's or absent: one inherited from the front end's
// environment (xinetd's REMOTE_HOST names the proxy) would be a lie.
void set_client_env() {
    if (!header_read)
        return;
    const char *certificate = client.hash[0] != '\0' ? "Certificate" : "";
    const struct {
        const char *name;
        const char *value;
    } variables[] = {
        {"REMOTE_ADDR", client.address},     {"REMOTE_HOST", client.address},
        {"REMOTE_PORT", client.port},        {"AUTH_TYPE", certificate},
        {"TLS_CLIENT_HASH", client.hash},    {"REMOTE_USER", client.common_name},
        {"TLS_VERSION", client.tls_version},
    };
    for (const auto &v : variables) {
        if (v.value[0] != '\0')
            esetenv(v.name, v.value, 1);
        else
            unsetenv(v.name);
    }
}

} // namespace tolm
