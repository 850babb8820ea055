#include "connection.h"

#include <cstdio>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace tolm {

namespace {

// Under inetd or tcpserver nothing else bounds how long a client may hold
// the process: one blocked read or write may last this long.
constexpr time_t io_timeout_seconds = 30;
// How long unread client input is discarded after the response has gone.
constexpr int drain_milliseconds = 2000;

// Decided once at the start: a CGI child has replaced descriptor 1 by its
// pipe, but its descriptor 2 may still be the client.
bool stderr_shared;

bool is_socket(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

void set_timeout(int fd, int option) {
    struct timeval tv {};
    tv.tv_sec = io_timeout_seconds;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

long elapsed_ms(const struct timespec &since) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// A TCP socket closed with unread input sends a reset, and the peer may then
// drop the response it already received. Read the input away until the
// client closes, for a bounded time.
void drain_input() {
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    char sink[4096];
    for (;;) {
        long left = drain_milliseconds - elapsed_ms(start);
        if (left <= 0)
            return;
        struct pollfd p = {0, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            return;
        if (read(0, sink, sizeof sink) <= 0)
            return;
    }
}

} // namespace

void guard_connection() {
    struct stat out {
    }, err{};
    const bool out_known = fstat(1, &out) == 0;
    stderr_shared =
        out_known && fstat(2, &err) == 0 && out.st_dev == err.st_dev && out.st_ino == err.st_ino;
    if (is_socket(0))
        set_timeout(0, SO_RCVTIMEO);
    if (out_known && S_ISSOCK(out.st_mode))
        set_timeout(1, SO_SNDTIMEO);
}

bool stdout_is_socket() {
    return is_socket(1);
}

bool stderr_is_stdout() {
    return stderr_shared;
}

void close_connection() {
    if (!stdout_is_socket())
        return;
    if (shutdown(1, SHUT_WR) != 0)
        return;
    if (is_socket(0))
        drain_input();
}

} // namespace tolm
