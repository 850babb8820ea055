// tolm on real sockets, as a super-server hands them over: a client that
// never sends, a client that never reads, a request cut short by the length
// limit while more input is on its way, and a pipe, which gets no timeout.
//
// Usage: sockets TOLM [--repeat N]
// Needs root for the private /dev/log; exits 77 (skipped) otherwise.
#include "harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using harness::die;
using harness::now;
using harness::visible;

namespace {

// The socket timeouts are 30 s; a run may take that plus the 2 s drain.
constexpr double io_timeout = 30;
constexpr double slack = 10;

int failures = 0;

void fail(const char *name, const std::string &why) {
    ++failures;
    fprintf(stderr, "FAIL %s: %s\n", name, why.c_str());
}

// Reads until the peer's end of stream; a reset or an error is reported
// in *error and ends the read.
std::string read_to_end(int fd, double timeout, std::string *error) {
    std::string ignored;
    if (error == nullptr)
        error = &ignored;
    std::string text;
    const double until = now() + timeout;
    char block[65536];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        const int left = static_cast<int>((until - now()) * 1000);
        if (left <= 0 || poll(&p, 1, left) <= 0) {
            *error = "no end of stream in time";
            return text;
        }
        const ssize_t n = recv(fd, block, sizeof block, 0);
        if (n == 0)
            return text;
        if (n < 0) {
            *error = strerror(errno);
            return text;
        }
        text.append(block, static_cast<size_t>(n));
    }
}

void send_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            die("send: %s", strerror(errno));
        done += static_cast<size_t>(n);
    }
}

// A loopback listener and one accepted connection at a time, as tcpserver
// or inetd would hand it to tolm.
class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
            listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            die("listen on loopback: %s", strerror(errno));
        addr_ = addr;
    }
    ~Listener() { close(fd_); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Connects a client; gives the client's end and the server's end.
    void connect_pair(int &client, int &server) {
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0 || connect(client, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_) != 0)
            die("connect: %s", strerror(errno));
        server = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (server < 0)
            die("accept: %s", strerror(errno));
    }

  private:
    int fd_;
    struct sockaddr_in addr_ {};
};

harness::Options connected(int in, int out) {
    harness::Options options;
    options.stdin_fd = in;
    options.stdout_fd = out;
    return options;
}

// tolm on the server's end of a connection; the client's end stays here.
struct Started {
    Started(int server_end, int client_end, const std::vector<std::string> &args)
        : process(args, "", connected(server_end, server_end)), client(client_end) {
        close(server_end);
    }
    harness::Process process;
    int client;
    double since = now();
};

int count_request_lines(const std::vector<harness::LogLine> &log, std::string *last) {
    int n = 0;
    last->clear();
    for (const harness::LogLine &line : log)
        if (line.priority == 30) {
            ++n;
            *last = line.text;
        }
    return n;
}

// (a) a client that connects and sends nothing, (b) a client that asks for
// 50 MiB and never reads, and (d) the same silence on a pipe, all at once:
// the pipe must still be waiting when the socket's read has timed out.
void slow_clients(const std::string &root, Listener &listener) {
    int client = -1;
    int server = -1;
    listener.connect_pair(client, server);
    Started silent(server, client, {"-d", root});

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        die("socketpair: %s", strerror(errno));
    Started deaf(pair[1], pair[0], {"-d", root});
    send_all(deaf.client, "gemini://h/big.bin\r\n");

    int in_pipe[2];
    int out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
        die("pipe: %s", strerror(errno));
    harness::Process piped({"-d", root}, "", connected(in_pipe[0], out_pipe[1]));
    close(in_pipe[0]);
    close(out_pipe[1]);

    // (a): the read times out and the client is told so.
    std::string error;
    const std::string answer = read_to_end(silent.client, io_timeout + slack, &error);
    const double answer_seconds = now() - silent.since;
    const harness::Result silent_run = silent.process.finish(slack);
    const double silent_seconds = now() - silent.since;
    printf("sockets: silent client answered after %.1f s, released after %.1f s: %s\n",
           answer_seconds, silent_seconds, visible(answer, 200).c_str());
    if (answer != "59 Error while reading request: \r\n" || !error.empty())
        fail("silent client", "answer " + visible(answer, 200) + " " + error);
    if (silent_run.exit_code != 1)
        fail("silent client", "exit status " + std::to_string(silent_run.exit_code));
    if (silent_seconds < io_timeout - 1 || silent_seconds > io_timeout + slack)
        fail("silent client", "answered after " + std::to_string(silent_seconds) + " s");
    close(silent.client);

    // (d): a pipe has no timeout, so the process still waits; fed now, it
    // answers as usual.
    if (!piped.running())
        fail("pipe", "ended while the socket read timed out: a pipe got a timeout");
    const std::string request = "gemini://h/a.txt\r\n";
    if (write(in_pipe[1], request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        die("write pipe: %s", strerror(errno));
    std::string piped_out;
    char block[4096];
    ssize_t n;
    while ((n = read(out_pipe[0], block, sizeof block)) > 0)
        piped_out.append(block, static_cast<size_t>(n));
    const harness::Result piped_run = piped.finish(slack);
    close(in_pipe[1]);
    close(out_pipe[0]);
    if (piped_out != "20 text/plain\r\nalpha\n" || piped_run.exit_code != 0)
        fail("pipe",
             "answer " + visible(piped_out, 200) + " exit " + std::to_string(piped_run.exit_code));

    // (b): the write times out and the process ends by itself.
    const harness::Result deaf_run =
        deaf.process.finish(io_timeout + 2 * slack - (now() - deaf.since));
    const double deaf_seconds = now() - deaf.since;
    printf("sockets: client that never reads released after %.1f s\n", deaf_seconds);
    if (deaf_run.timed_out || deaf_run.signal != 0)
        fail("client that never reads",
             "tolm still running after " + std::to_string(deaf_seconds) + " s");
    else if (deaf_run.exit_code != 0 && deaf_run.exit_code != 1)
        fail("client that never reads", "exit status " + std::to_string(deaf_run.exit_code));
    close(deaf.client);

    // The three runs overlap: one request log line each, in any order.
    const char *expected[] = {"\"\" 59 34", "\"gemini://h/a.txt\" 20 21",
                              "\"gemini://h/big.bin\" 20 "};
    int seen[3] = {};
    int lines = 0;
    std::vector<harness::LogLine> log = silent_run.log;
    log.insert(log.end(), piped_run.log.begin(), piped_run.log.end());
    log.insert(log.end(), deaf_run.log.begin(), deaf_run.log.end());
    for (const harness::LogLine &line : log) {
        if (line.priority != 30)
            continue;
        ++lines;
        seen[0] += line.text == expected[0];
        seen[1] += line.text == expected[1];
        seen[2] += line.text.rfind(expected[2], 0) == 0;
    }
    if (lines != 3 || seen[0] != 1 || seen[1] != 1 || seen[2] != 1)
        fail("slow clients", std::to_string(lines) + " request log lines: silent client " +
                                 std::to_string(seen[0]) + ", pipe " + std::to_string(seen[1]) +
                                 ", never reads " + std::to_string(seen[2]));
}

// (c) 4 KiB without a line feed, sometimes 4 KiB more a moment later: tolm
// answers after the first 1024 bytes while the rest is still arriving. Closing with unread input
// would reset the connection and could destroy the answer in flight; the client must get it whole
// every time.
void lost_answers(const std::string &root, Listener &listener, int repeat) {
    const std::string junk(4096, 'a');
    const std::string expected =
        "59 request is too long (1024 max): " + std::string(1024, 'a') + "\r\n";
    int complete = 0;
    double slowest = 0;
    for (int i = 0; i < repeat; ++i) {
        int client = -1;
        int server = -1;
        listener.connect_pair(client, server);
        Started s(server, client, {"-d", root});
        std::string error;
        send_all(client, junk);
        // Every other round more of the line arrives a moment later, after
        // tolm's first read, as it does over a real network: that input is
        // still unread when the answer has gone.
        if (i % 2 == 1) {
            usleep(2000);
            if (send(client, junk.data(), junk.size(), MSG_NOSIGNAL) < 0)
                error = std::string("second send: ") + strerror(errno);
        }
        const std::string answer = read_to_end(client, slack, error.empty() ? &error : nullptr);
        close(client);
        const harness::Result run = s.process.finish(slack);
        slowest = std::max(slowest, now() - s.since);
        std::string last;
        const int lines = count_request_lines(run.log, &last);
        if (answer == expected && error.empty() && run.exit_code == 1 && lines == 1)
            ++complete;
        else if (failures < 5)
            fail("request cut by the limit",
                 "round " + std::to_string(i) + ": " + std::to_string(answer.size()) + " bytes, " +
                     (error.empty() ? "no error" : error) + ", exit " +
                     std::to_string(run.exit_code) + ", " + std::to_string(lines) + " log lines");
    }
    printf("sockets: %d of %d answers to a cut request arrived whole (slowest %.2f s)\n", complete,
           repeat, slowest);
    if (complete != repeat)
        ++failures;
}

// The other side of (b): a client that reads gets every byte of a large
// file, over TCP and over a socket pair.
void large_file_read(const std::string &root, Listener &listener) {
    const size_t size = 50 << 20;
    const std::string header = "20 application/octet-stream\r\n";
    for (const bool tcp : {true, false}) {
        const char *name = tcp ? "large file over TCP" : "large file over a socket pair";
        int client = -1;
        int server = -1;
        if (tcp) {
            listener.connect_pair(client, server);
        } else {
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
                die("socketpair: %s", strerror(errno));
            client = pair[0];
            server = pair[1];
        }
        Started s(server, client, {"-d", root});
        send_all(client, "gemini://h/big.bin\r\n");
        std::string error;
        const std::string answer = read_to_end(client, io_timeout, &error);
        close(client);
        const harness::Result run = s.process.finish(slack);
        std::string last;
        const int lines = count_request_lines(run.log, &last);
        const bool whole = answer.size() == header.size() + size &&
                           answer.compare(0, header.size(), header) == 0 &&
                           answer.find_first_not_of('\0', header.size()) == std::string::npos;
        if (!whole || !error.empty() || run.exit_code != 0 || lines != 1 ||
            last != "\"gemini://h/big.bin\" 20 " + std::to_string(header.size() + size))
            fail(name, std::to_string(answer.size()) + " bytes, " +
                           (error.empty() ? "no error" : error) + ", exit " +
                           std::to_string(run.exit_code) + ", log " + visible(last, 200));
    }
    printf("sockets: 50 MiB read whole over TCP and a socket pair\n");
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 2)
        die("usage: %s TOLM [--repeat N]", argv[0]);
    harness::set_binary(argv[1]);
    int repeat = 200;
    if (argc >= 4 && strcmp(argv[2], "--repeat") == 0)
        repeat = atoi(argv[3]);
    if (!harness::capture_log()) {
        printf("SKIP: the socket tests need root (private /dev/log)\n");
        return 77;
    }
    const harness::Tree tree(std::vector<harness::Node>{{"a.txt", "alpha\n"}});
    const std::string &root = tree.dir();
    {
        // Sparse: 50 MiB without writing them.
        const int fd = open((root + "/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0 || ftruncate(fd, 50 << 20) != 0)
            die("big.bin: %s", strerror(errno));
        close(fd);
    }
    Listener listener;
    lost_answers(root, listener, repeat);
    large_file_read(root, listener);
    slow_clients(root, listener);
    printf("sockets: %d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
