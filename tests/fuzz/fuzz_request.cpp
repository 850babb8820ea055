// Request bytes on standard input: the read of the one line, its limits, and
// the split into host name, path and query.
#include "outcome.h"
#include "request.h"
#include "response.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr size_t line_size = 1025;

bool has_prefix(const char *text, const char *prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Bytes that may stand between the host name and the path: the port with
// its brackets, and the slashes.
bool only_port_and_slashes(const char *from, const char *to) {
    for (const char *p = from; p < to; ++p)
        if (strchr(":[]/0123456789", *p) == nullptr || *p == '\0')
            return false;
    return true;
}

// The three parts put back together give the request line: nothing is lost
// but the scheme, the port, the slashes and one "?".
void check_split(const char *request, const char *host, const char *path, const char *query) {
    using fuzz::check;
    check(has_prefix(request, "gemini://"), "a line without the scheme was split");
    check(strlen(host) < line_size - 1 && strlen(path) < line_size - 1 &&
              strlen(query) < line_size - 1,
          "a part is longer than the line");
    check(strpbrk(host, "/|^?:") == nullptr, "host name holds a separator");
    check(strchr(path, '?') == nullptr, "path holds a '?'");

    const char *at = request + strlen("gemini:");
    at += strspn(at, "/");
    check(has_prefix(at, host), "host name is not where the line has it");
    at += strlen(host);

    const char *question = strchr(at, '?');
    const char *path_end = question != nullptr ? question : request + strlen(request);
    if (question != nullptr)
        check(strcmp(question + 1, query) == 0, "query is not the rest after the first '?'");
    else
        check(query[0] == '\0', "query without a '?'");
    const size_t path_len = strlen(path);
    check(static_cast<size_t>(path_end - at) >= path_len, "path longer than what is left");
    const char *path_start = path_end - path_len;
    check(memcmp(path_start, path, path_len) == 0, "path is not where the line has it");
    check(only_port_and_slashes(at, path_start), "bytes lost between host name and path");
}

// The scanner against the regular expression it stands for, run by the C
// library's own engine: the same three groups for every line.
void check_against_regex(const char *request, const char *host, const char *path,
                         const char *query) {
    static regex_t pattern;
    static bool compiled = false;
    if (!compiled) {
        fuzz::check(regcomp(&pattern, "^gemini://+([^/|^?|^:]*)[:[0-9]*]?/*([^?]*)[?]?(.*)$",
                            REG_EXTENDED) == 0,
                    "request pattern does not compile");
        compiled = true;
    }
    regmatch_t match[4];
    const bool matched = regexec(&pattern, request, 4, match, 0) == 0;
    fuzz::check(matched, "the regex refuses a line the scanner split");
    const char *parts[] = {host, path, query};
    for (int i = 0; i < 3; ++i) {
        const regmatch_t &m = match[i + 1];
        const size_t len = m.rm_so < 0 ? 0 : static_cast<size_t>(m.rm_eo - m.rm_so);
        fuzz::check(strlen(parts[i]) == len &&
                        (len == 0 || memcmp(parts[i], request + m.rm_so, len) == 0),
                    "scanner and regex split the line differently");
    }
}

// What the line must look like when the read accepted it: the input up to
// its first CR or LF, with a LF among the first 1024 bytes and no NUL.
void check_accepted(const uint8_t *data, size_t size, const char *request) {
    using fuzz::check;
    const auto *input = reinterpret_cast<const char *>(data);
    const void *lf = memchr(input, '\n', size);
    check(lf != nullptr, "line without a line feed accepted");
    const size_t line_len = static_cast<size_t>(static_cast<const char *>(lf) - input) + 1;
    check(line_len <= line_size - 1, "line longer than 1024 bytes accepted");
    check(memchr(input, '\0', line_len) == nullptr, "line with a NUL accepted");
    const size_t cut = strcspn(request, "\r\n");
    check(request[cut] == '\0', "line end left in the request");
    check(memcmp(request, input, cut) == 0 && (input[cut] == '\r' || input[cut] == '\n'),
          "request is not the input up to its first line end");
    check(strcmp(tolm::_request, request) == 0, "request record differs from the line");
}

void check_refused(const uint8_t *data, size_t size) {
    using fuzz::check;
    const auto &o = fuzz::outcome;
    check(o.code == 59 && o.exit_code == 1, "refused read is not 59 with exit status 1");
    check(tolm::_request[0] == '\0', "refused line recorded for the log");
    if (size == 0) {
        check(strcmp(o.meta, "request is too short and probably empty") == 0,
              "empty input not called too short");
        return;
    }
    static const char prefix[] = "request is too long (1024 max): ";
    check(has_prefix(o.meta, prefix), "refusal meta");
    // The echo is what one read stored, up to a NUL: at most 1024 bytes,
    // ending at the first line feed.
    size_t stored = 0;
    while (stored < size && stored < line_size - 1 && data[stored] != '\0' &&
           (stored == 0 || data[stored - 1] != '\n'))
        ++stored;
    const char *echo = o.meta + strlen(prefix);
    check(strlen(echo) == stored && memcmp(echo, data, stored) == 0,
          "refusal does not echo the bytes read");
    check(stored == 0 || echo[stored - 1] != '\n', "a complete line was refused");
}

// The request is read from descriptor 0: the input becomes a file there
// for the length of one run.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : saved_(dup(0)) {
        const int fd = memfd_create("request", MFD_CLOEXEC);
        ok_ = saved_ >= 0 && fd >= 0 &&
              (size == 0 || write(fd, data, size) == static_cast<ssize_t>(size)) &&
              lseek(fd, 0, SEEK_SET) == 0 && dup2(fd, 0) == 0;
        if (fd >= 0)
            close(fd);
    }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() {
        if (saved_ >= 0) {
            dup2(saved_, 0);
            close(saved_);
        }
    }
    bool ok() const { return ok_; }

  private:
    int saved_;
    bool ok_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input input(data, size);
    if (!input.ok())
        return 0;
    fuzz::reset();

    static char request[line_size];
    static char host[line_size];
    static char path[line_size];
    static char query[line_size];
    memset(request, 0, sizeof request);
    memset(host, 0, sizeof host);
    memset(path, 0, sizeof path);
    memset(query, 0, sizeof query);

    // 0: reading, 1: splitting; static so that its value survives longjmp.
    static int stage;
    stage = 0;
    if (setjmp(fuzz::outcome.jump) == 0) {
        tolm::read_request(request);
        check_accepted(data, size, request);
        stage = 1;
        tolm::split_request(request, host, path, query);
        check_split(request, host, path, query);
        check_against_regex(request, host, path, query);
    } else if (stage == 0) {
        check_refused(data, size);
    } else {
        fuzz::check(fuzz::outcome.code == 59 && fuzz::outcome.exit_code == 1 &&
                        strcmp(fuzz::outcome.meta, "Malformed request") == 0,
                    "split failure is not 59 Malformed request");
        fuzz::check(!has_prefix(request, "gemini://"), "a line with the scheme was refused");
        regex_t pattern;
        fuzz::check(regcomp(&pattern, "^gemini://", REG_EXTENDED | REG_NOSUB) == 0, "regcomp");
        fuzz::check(regexec(&pattern, request, 0, nullptr, 0) != 0,
                    "the regex takes a refused line");
        regfree(&pattern);
    }

    return 0;
}
