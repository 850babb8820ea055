// The request line: read within its limit and deadline, then split into
// host name, path and query.
#include "request.h"

#include "connection.h"
#include "response.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex.h>

namespace tolm {

namespace {

constexpr size_t request_size = 1025;

bool is_port_byte(char c) {
    return c == ':' || c == '[' || (c >= '0' && c <= '9');
}
bool ends_host(char c) {
    return c == '/' || c == '|' || c == '^' || c == '?' || c == ':';
}

} // namespace

// The grammar of a request line, as the extended regular expression
// "^gemini://+([^/|^?|^:]*)[:[0-9]*]?/*([^?]*)[?]?(.*)$" with its groups
// host, path and query. Every element takes its longest run, so a scan
// from the left gives the same groups as the regex library does, at a
// fraction of the cost of compiling and running it in every process.
bool match_request(const char *line, regmatch_t groups[3]) {
    if (strncmp(line, "gemini://", 9) != 0)
        return false;
    const char *p = line + 9;
    while (*p == '/')
        ++p;
    const char *host = p;
    while (*p != '\0' && !ends_host(*p))
        ++p;
    groups[0] = {static_cast<regoff_t>(host - line), static_cast<regoff_t>(p - line)};
    while (is_port_byte(*p))
        ++p;
    if (*p == ']')
        ++p;
    while (*p == '/')
        ++p;
    const char *path = p;
    while (*p != '\0' && *p != '?')
        ++p;
    groups[1] = {static_cast<regoff_t>(path - line), static_cast<regoff_t>(p - line)};
    if (*p == '?')
        ++p;
    groups[2] = {static_cast<regoff_t>(p - line), static_cast<regoff_t>(p - line + strlen(p))};
    return true;
}

namespace {

// Reads up to a line feed or 1024 bytes, as fgets would; what arrives
// after the line feed in the same read is not part of the request.
// Gives 0 at the end of input with nothing read, -1 after a read error or
// when the time for the request ran out, else the length.
ssize_t read_line(char *request) {
    size_t len = 0;
    ssize_t result = 0;
    while (len < request_size - 1) {
        const ssize_t n = read_request_bytes(request + len, request_size - 1 - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result = -1;
            break;
        }
        if (n == 0)
            break;
        const char *newline =
            static_cast<const char *>(memchr(request + len, '\n', static_cast<size_t>(n)));
        if (newline != nullptr) {
            const size_t end = len + static_cast<size_t>(n);
            len = static_cast<size_t>(newline - request) + 1;
            request_line_ended(len < end);
            break;
        }
        len += static_cast<size_t>(n);
    }
    request[len] = '\0';
    return result < 0 ? result : static_cast<ssize_t>(len);
}

} // namespace

// What arrived before a read error or the deadline is kept in the detail:
// it tells a stalled client from a silent one.
void read_request(char *request) {
    const ssize_t got = read_line(request);
    if (got == 0) {
        status(59, "%s", "request is too short and probably empty");
        stop(1, "%s", "request is too short and probably empty");
    }
    if (got < 0) {
        status(59, "Error while reading request: %s", request);
        stop(1, "Error while reading request: %s", request);
    }
    size_t len = strnlen(request, request_size);
    if (len == 0 || request[len - 1] != '\n') {
        status(59, "request is too long (1024 max): %s", request);
        stop(1, "request is too long (1024 max): %s", request);
    }
    static_assert(request_size <= sizeof _request);
    len = strcspn(request, "\r\n");
    request[len] = '\0';
    memcpy(_request, request, len + 1);
}

void split_request(const char *request, char *hostname, char *path, char *query) {
    regmatch_t groups[3];
    if (!match_request(request, groups)) {
        // The detail keeps the regex library's wording for a line that
        // does not match.
        status(59, "%s", "Malformed request");
        stop(1, "Malformed request, error:%s", "No match");
    }
    getsubexp(request, groups[0].rm_so, groups[0].rm_eo, hostname);
    getsubexp(request, groups[1].rm_so, groups[1].rm_eo, path);
    getsubexp(request, groups[2].rm_so, groups[2].rm_eo, query);
}

} // namespace tolm
