#include "request.h"

#include "response.h"
#include "utils.h"

#include <cstdio>
#include <cstring>
#include <regex.h>

namespace tolm {

namespace {

constexpr int request_size = 1025;

// The whole grammar of a request line. Every line that begins with
// "gemini://" matches; the groups are host name, path and query.
constexpr const char request_pattern[] = "^gemini://+([^/|^?|^:]*)[:[0-9]*]?/*([^?]*)[?]?(.*)$";

// Owns a compiled pattern; release() comes before a failure end, since
// exit() runs no destructors.
class Pattern {
  public:
    Pattern() = default;
    Pattern(const Pattern &) = delete;
    Pattern &operator=(const Pattern &) = delete;
    ~Pattern() { release(); }
    regex_t *get() { return &re_; }
    void release() {
        if (held_)
            regfree(&re_);
        held_ = false;
    }

  private:
    regex_t re_{};
    bool held_ = true;
};

} // namespace

void read_request(char *request) {
    char *line = fgets(request, request_size, stdin);
    // A timed-out socket read hands back what arrived so far with the error
    // flag set; that is still a read error, not an over-long line.
    if (line == nullptr || ferror(stdin)) {
        if (line == nullptr && feof(stdin)) {
            status(59, "%s", "request is too short and probably empty");
            stop(1, "%s", "request is too short and probably empty");
        }
        status(59, "Error while reading request: %s", request);
        stop(1, "Error while reading request: %s", request);
    }
    size_t len = strnlen(request, request_size);
    if (len == 0 || request[len - 1] != '\n') {
        status(59, "request is too long (1024 max): %s", request);
        stop(1, "request is too long (1024 max): %s", request);
    }
    request[strcspn(request, "\r\n")] = '\0';
    esnprintf(_request, sizeof _request, "%s", request);
}

void split_request(const char *request, char *hostname, char *path, char *query) {
    char message[1024] = {};
    Pattern pattern;
    int rc = regcomp(pattern.get(), request_pattern, REG_EXTENDED);
    if (rc != 0) {
        regerror(rc, pattern.get(), message, sizeof message);
        pattern.release();
        status(50, "%s", "Internal server error");
        stop(1, "%s", message);
    }
    regmatch_t match[4];
    rc = regexec(pattern.get(), request, 4, match, 0);
    if (rc != 0) {
        regerror(rc, pattern.get(), message, sizeof message);
        pattern.release();
        status(59, "%s", "Malformed request");
        stop(1, "Malformed request, error:%s", message);
    }
    getsubexp(request, match[1].rm_so, match[1].rm_eo, hostname);
    getsubexp(request, match[2].rm_so, match[2].rm_eo, path);
    getsubexp(request, match[3].rm_so, match[3].rm_eo, query);
}

} // namespace tolm
