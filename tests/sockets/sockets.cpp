// tolm on real sockets, as a super-server hands them over: clients that
// never send, trickle or stop half-way; clients that never read, read
// slowly or hang up at once; large buffered answers (a listing, a script's
// output) to slow readers; a request cut short by the length limit while
// more input is on its way; request lines in pieces; pipes, which get no
// time limit, also when their reader pauses; answers cut short (a stalled
// client, a shrinking file, a signal), which must never end like whole
// ones, and whole ones that a signal must not cut; signals in every wait;
// clients that half-close or send more; standard error full, closed or at a
// terminal; CGI scripts that stream, answer into a file, write now and
// then, go silent, run on after their output, read from a silent client,
// outlive their client or write to standard error; and what a run inherits:
// signals ignored or blocked, SIGCHLD ignored, a leaked descriptor, no
// socket diagnostics, and a connection a script shares as its input.
//
// Usage: sockets TOLM [--repeat N]
// Needs root for the private /dev/log; exits 77 (skipped) otherwise.
#include "harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using harness::die;
using harness::now;
using harness::visible;

namespace {

// The socket timeouts are 30 s; a run may take that plus the 2 s drain.
// The margins beyond hold for sanitizer builds on a loaded 2-core machine.
constexpr double io_timeout = 30;
constexpr double slack = 10;
constexpr double late = 8;

std::atomic<int> failures = 0;
std::mutex report;

void fail(const char *name, const std::string &why) {
    ++failures;
    const std::lock_guard<std::mutex> hold(report);
    fprintf(stderr, "FAIL %s: %s\n", name, why.c_str());
}

void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char *fmt, ...) {
    const std::lock_guard<std::mutex> hold(report);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

// Reads until the peer's end of stream, from a socket or a pipe; a reset or
// an error is reported in *error and ends the read.
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
        const ssize_t n = read(fd, block, sizeof block);
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

    // Connects a client; gives the client's end and the server's end. One
    // at a time, so that each accept takes its own connect. A given buffer
    // size is the client's receive buffer, set before the window is agreed.
    void connect_pair(int &client, int &server, int buffer = 0) {
        const std::lock_guard<std::mutex> hold(mutex_);
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client >= 0 && buffer > 0)
            setsockopt(client, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        if (client < 0 || connect(client, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_) != 0)
            die("connect: %s", strerror(errno));
        server = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (server < 0)
            die("accept: %s", strerror(errno));
    }

  private:
    int fd_;
    struct sockaddr_in addr_ {};
    std::mutex mutex_;
};

// Both ends of a new connection of the given kind: loopback TCP as
// tcpserver or inetd hand it over, or a Unix socket pair as stunnel's exec
// mode does. Tight buffers (64 KiB each way) make sure that a large answer
// meets a full socket many times, whatever the machine's defaults.
void connect_kind(Listener &listener, bool tcp, int &client, int &server, bool tight = false) {
    const int buffer = tight ? 64 << 10 : 0;
    if (tcp) {
        listener.connect_pair(client, server, buffer);
    } else {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            die("socketpair: %s", strerror(errno));
        client = pair[0];
        server = pair[1];
    }
    if (tight)
        setsockopt(server, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
}

harness::Options connected(int in, int out, harness::Options options = {}) {
    options.stdin_fd = in;
    options.stdout_fd = out;
    return options;
}

// tolm on the server's end of a connection; the client's end stays here.
struct Started {
    Started(int server_end, int client_end, const std::vector<std::string> &args,
            const harness::Options &options = {})
        : process(args, "", connected(server_end, server_end, options)), client(client_end) {
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

// ---- Clients that are slow, stall, trickle or never read, all at once ----
//
// Each runs in a thread of its own against its own tolm, so the whole phase
// takes about as long as its longest case. Log lines may reach any thread's
// run; they are pooled and matched by request line at the end.

constexpr double drain = 2;
// The longest a run may hold its process after its client stopped taking
// anything: the stall limit, the grace a script gets after SIGTERM, and
// slack for a loaded machine.
constexpr double release_bound = io_timeout + 2 + late;

// The error details of a cut answer.
const std::string stalled = "response cut short: the client took nothing for 30 s";
const std::string went_away = "response cut short: the client went away";
const std::string shrank = "response cut short: the file shrank";
const std::string script_silent = "response cut short: the script sent nothing for 30 s";
const std::string hung_up = "response cut short: the client hung up";
const std::string ran_on = "script ended: it ran on for 30 s after its output";
const std::string told_to_stop = "terminated by SIGTERM";

struct Expected {
    std::string name;
    std::string line; // the request log line, or its beginning
    bool prefix;
    std::string detail = {}; // the error detail the run logs, if any
};

std::mutex pool_mutex;
std::vector<harness::LogLine> pool;
std::vector<Expected> expected_lines;

void keep(const harness::Result &run, Expected expected) {
    const std::lock_guard<std::mutex> hold(pool_mutex);
    pool.insert(pool.end(), run.log.begin(), run.log.end());
    expected_lines.push_back(std::move(expected));
}

// The error details (user.err) among a run's log lines.
std::vector<std::string> details(const std::vector<harness::LogLine> &log) {
    std::vector<std::string> found;
    for (const harness::LogLine &line : log)
        if (line.priority == 11)
            found.push_back(line.text);
    return found;
}

// The same without what a script wrote on its standard error: a shell
// whose command a signal ended says so there.
std::vector<std::string> own_details(const std::vector<harness::LogLine> &log) {
    std::vector<std::string> found;
    for (const std::string &text : details(log))
        if (text.find(" stderr: ") == std::string::npos)
            found.push_back(text);
    return found;
}

// What a client that reads on after the run ended gets: on TCP a cut
// answer ends in a reset, never a clean end; on a socket pair, which has
// no reset, exactly the bytes the log counts (checked by the caller).
bool cut_seen(bool tcp, int client, size_t *received, std::string *error) {
    *received = read_to_end(client, slack, error).size();
    return !tcp || *error == strerror(ECONNRESET);
}

std::string quoted(const std::string &request) {
    return "\"" + request + "\" ";
}

// The request line is read against one deadline from the start of the run:
// a silent client, one that sends half a line and stops, and one that
// trickles a byte every 2 s all get the read error after about 30 s.
void read_deadline(const char *name, const std::string &root, Listener &listener,
                   const std::string &sent, double byte_gap) {
    int client = -1;
    int server = -1;
    listener.connect_pair(client, server);
    Started s(server, client, {"-d", root});
    size_t at = 0;
    std::string error;
    std::string answer;
    if (byte_gap == 0) {
        send_all(client, sent);
        answer = read_to_end(client, io_timeout + slack, &error);
    } else {
        // One byte, then wait for the answer at most byte_gap seconds.
        while (at < sent.size()) {
            send_all(client, sent.substr(at++, 1));
            struct pollfd p = {client, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(byte_gap * 1000)) > 0)
                break;
        }
        answer = read_to_end(client, slack, &error);
    }
    const double answered = now() - s.since;
    const harness::Result run = s.process.finish(slack);
    close(client);
    note("sockets: %s answered after %.1f s: %s\n", name, answered, visible(answer, 120).c_str());
    const std::string head = "59 Error while reading request: ";
    const std::string want = byte_gap == 0 ? head + sent + "\r\n" : "";
    const bool shape = answer.compare(0, head.size(), head) == 0 && answer.size() >= 2 &&
                       answer.compare(answer.size() - 2, 2, "\r\n") == 0;
    if (!shape || (!want.empty() && answer != want) || !error.empty())
        fail(name, "answer " + visible(answer, 200) + " " + error);
    if (run.exit_code != 1)
        fail(name, "exit status " + std::to_string(run.exit_code));
    if (answered < io_timeout - 1 || answered > io_timeout + late)
        fail(name, "answered after " + std::to_string(answered) + " s");
    keep(run, {name, quoted("") + "59 " + std::to_string(answer.size()), false});
}

// A pipe has no time limit: still waiting when the socket reads gave up,
// and answering as usual once fed.
void pipe_waits(const std::string &root) {
    int in_pipe[2];
    int out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
        die("pipe: %s", strerror(errno));
    harness::Process piped({"-d", root}, "", connected(in_pipe[0], out_pipe[1]));
    close(in_pipe[0]);
    close(out_pipe[1]);
    usleep(static_cast<useconds_t>((io_timeout + 3) * 1e6));
    if (!piped.running())
        fail("pipe", "ended while the socket reads timed out: a pipe got a timeout");
    const std::string request = "gemini://h/a.txt\r\n";
    if (write(in_pipe[1], request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        die("write pipe: %s", strerror(errno));
    std::string piped_out;
    char block[4096];
    ssize_t n;
    while ((n = read(out_pipe[0], block, sizeof block)) > 0)
        piped_out.append(block, static_cast<size_t>(n));
    const harness::Result run = piped.finish(slack);
    close(in_pipe[1]);
    close(out_pipe[0]);
    if (piped_out != "20 text/plain\r\nalpha\n" || run.exit_code != 0)
        fail("pipe",
             "answer " + visible(piped_out, 200) + " exit " + std::to_string(run.exit_code));
    keep(run, {"pipe", quoted("gemini://h/a.txt") + "20 21", false});
}

// A pipe its maker left non-blocking, read only after it has filled: the
// body still arrives whole, however long the reader takes to start.
void nonblocking_pipe(const std::string &root, const std::string &body) {
    int in_pipe[2];
    int out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        fcntl(out_pipe[1], F_SETFL, O_NONBLOCK) != 0)
        die("pipe: %s", strerror(errno));
    const std::string request = "gemini://h/mid.bin?pipe\r\n";
    if (write(in_pipe[1], request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        die("write pipe: %s", strerror(errno));
    close(in_pipe[1]);
    harness::Process piped({"-d", root}, "", connected(in_pipe[0], out_pipe[1]));
    close(in_pipe[0]);
    close(out_pipe[1]);
    usleep(500000);
    std::string out;
    char block[4096];
    ssize_t n;
    while ((n = read(out_pipe[0], block, sizeof block)) > 0)
        out.append(block, static_cast<size_t>(n));
    const harness::Result run = piped.finish(slack);
    close(out_pipe[0]);
    const std::string header = "20 application/octet-stream\r\n";
    if (out != header + body || run.exit_code != 0)
        fail("non-blocking pipe",
             std::to_string(out.size()) + " bytes, exit " + std::to_string(run.exit_code));
    keep(run, {"non-blocking pipe",
               quoted("gemini://h/mid.bin?pipe") + "20 " + std::to_string(out.size()), false});
}

// A client that asks and does not read holds the process for the stall
// limit, once, whatever it asked for (a file goes by sendfile, a script's
// output through the buffer). The answer is cut: exit status 1 and the
// detail; a client that then reads on sees no clean end on TCP, and on a
// socket pair gets exactly the bytes the log counts. A script that sends
// nothing, while its client waits and sends nothing more, is ended after
// the same time.
void never_reads(const char *name, const std::string &root, Listener &listener, bool tcp,
                 const std::string &request, const std::string &code, const std::string &detail) {
    int client = -1;
    int server = -1;
    connect_kind(listener, tcp, client, server);
    Started s(server, client, {"-d", root, "-c", "cgi-bin"});
    send_all(client, request + "\r\n");
    const harness::Result run = s.process.finish(release_bound + slack);
    const double released = now() - s.since;
    size_t received = 0;
    std::string error;
    const bool cut = cut_seen(tcp, client, &received, &error);
    close(client);
    note("sockets: %s released after %.1f s, then %zu bytes and %s\n", name, released, received,
         error.empty() ? "an end" : error.c_str());
    if (run.timed_out || run.signal != 0)
        fail(name, "tolm still running after " + std::to_string(released) + " s");
    else if (run.exit_code != 1)
        fail(name, "exit status " + std::to_string(run.exit_code));
    if (released < io_timeout - 1 || released > release_bound)
        fail(name, "released after " + std::to_string(released) + " s");
    if (!cut)
        fail(name, "the client read on to a clean end (" + std::to_string(received) + " bytes)");
    if (tcp)
        keep(run, {name, quoted(request) + code + " ", true, detail});
    else
        keep(run, {name, quoted(request) + code + " " + std::to_string(received), false, detail});
}

// Reads 2 KiB every 100 ms for a while, then as fast as it can.
std::string read_slowly(int fd, double slow_seconds, std::string *error) {
    std::string text;
    char block[2048];
    const double until = now() + slow_seconds;
    while (now() < until) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 1000) > 0) {
            const ssize_t n = read(fd, block, sizeof block);
            if (n <= 0) {
                *error = n == 0 ? "end of stream while reading slowly" : strerror(errno);
                return text;
            }
            text.append(block, static_cast<size_t>(n));
        }
        usleep(100000);
    }
    return text + read_to_end(fd, 60, error);
}

// A client that reads steadily but slowly gets every byte: the send buffer
// drains too slowly to wake a blocked sender for a long time, yet the client
// takes something all along. With junk after the request line, closing
// with that input unread would reset the connection and destroy what is
// still in flight. Answers that tolm buffers (a listing, a script's output)
// meet a full socket many times over, where a partial write must neither
// repeat nor lose a byte; a script's output also meets a full pipe.
struct Slow {
    const char *name;
    bool tcp; // else a socket pair, or with `pipe` a pipe each way
    std::string request;
    std::vector<std::string> options; // after "-d root"
    const std::string *answer;        // the whole answer, byte for byte
    std::string code;                 // in the log line
    double slow_seconds;
    size_t junk = 0;
    bool tight = false;
    bool pipe = false;
};

void slow_reader(const Slow &c, const std::string &root, Listener &listener) {
    int client = -1;
    int server = -1;
    int input = -1;
    if (c.pipe) {
        // The request waits whole in its pipe; the answer has a pipe of
        // its own.
        int in[2];
        int out[2];
        const std::string line = c.request + "\r\n";
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
            write(in[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            die("pipe: %s", strerror(errno));
        close(in[1]);
        input = in[0];
        client = out[0];
        server = out[1];
    } else {
        connect_kind(listener, c.tcp, client, server, c.tight);
    }
    std::vector<std::string> args = {"-d", root};
    args.insert(args.end(), c.options.begin(), c.options.end());
    harness::Process process(args, "", connected(c.pipe ? input : server, server));
    close(server);
    if (c.pipe)
        close(input);
    else
        send_all(client, c.request + "\r\n" + std::string(c.junk, 'j'));
    std::string error;
    const std::string answer = read_slowly(client, c.slow_seconds, &error);
    close(client);
    const harness::Result run = process.finish(slack);
    const std::string &want = *c.answer;
    note("sockets: %s: %zu of %zu bytes\n", c.name, answer.size(), want.size());
    if (answer != want || !error.empty()) {
        size_t at = 0;
        while (at < answer.size() && at < want.size() && answer[at] == want[at])
            ++at;
        fail(c.name, std::to_string(answer.size()) + " bytes, the first " + std::to_string(at) +
                         " as expected, " + (error.empty() ? "no error" : error));
    }
    if (run.exit_code != 0)
        fail(c.name, "exit status " + std::to_string(run.exit_code));
    keep(run, {c.name, quoted(c.request) + c.code + " " + std::to_string(want.size()), false});
}

harness::Options through_shell(const std::string &prelude, std::vector<std::string> &args,
                               const std::string &launcher = "");

// A reader of a socket pair that takes a few bytes now and then, for
// longer than the stall limit, is still taking: it is never cut, and gets
// the whole body once it reads faster. Also where the socket diagnostics
// are refused: in a network namespace of its own, as under systemd's
// PrivateNetwork, tolm cannot look the connection's socket up.
struct Trickle {
    const char *name;
    const char *request;
    const char *launcher;
    double gap; // seconds between two reads of 100 bytes
};

void trickling_reader(const Trickle &c, const std::string &root, Listener &listener,
                      const std::string &body) {
    int client = -1;
    int server = -1;
    connect_kind(listener, false, client, server, true);
    std::vector<std::string> args = {"-d", root};
    const harness::Options options = through_shell(":", args, c.launcher);
    Started s(server, client, args, options);
    send_all(client, std::string(c.request) + "\r\n");
    std::string answer;
    std::string error;
    char block[100];
    for (const double until = now() + io_timeout + 12; now() < until && error.empty();) {
        const ssize_t n = recv(client, block, sizeof block, 0);
        if (n <= 0)
            error = n == 0 ? "an end while trickling" : strerror(errno);
        else
            answer.append(block, static_cast<size_t>(n));
        usleep(static_cast<useconds_t>(c.gap * 1e6));
    }
    answer += read_to_end(client, slack, &error);
    close(client);
    const harness::Result run = s.process.finish(slack);
    const std::string want = "20 application/octet-stream\r\n" + body;
    if (answer != want || !error.empty() || run.exit_code != 0)
        fail(c.name, std::to_string(answer.size()) + " of " + std::to_string(want.size()) +
                         " bytes, " + (error.empty() ? "an end" : error) + ", exit " +
                         std::to_string(run.exit_code));
    keep(run, {c.name, quoted(c.request) + "20 " + std::to_string(want.size()), false});
}

// Rows of the phase below, defined with the script helpers further down.
void time_rules(std::vector<std::thread> &cases, const std::string &root, Listener &listener,
                const std::string &listing, const std::string &file);

// A listing of a few thousand long names, about 3 MB, as tolm writes it.
constexpr int listed = 6000;
std::string listed_name(int i) {
    return std::to_string(10000 + i) + "-" + std::string(244, static_cast<char>('a' + i % 26));
}

void slow_clients(const std::string &root, Listener &listener, const std::string &slow) {
    const std::string file = "20 application/octet-stream\r\n" + slow;
    std::string listing = "20 text/gemini\r\n=> .. ../\n";
    for (int i = 0; i < listed; ++i)
        listing += "=> ./" + listed_name(i) + " " + listed_name(i) + "\n";
    std::string counted = "20 text/plain\r\n";
    for (int i = 1; i <= 600000; ++i)
        counted += std::to_string(i) + "\n";
    const std::vector<std::string> cgi = {"-c", "cgi-bin"};
    const Slow slow_cases[] = {
        {"slow TCP reader", true, "gemini://h/slow.bin?tcp", {}, &file, "20", 40.0},
        {"slow socket pair reader", false, "gemini://h/slow.bin?pair", {}, &file, "20", 40.0},
        {"junk after the request, then a slow read",
         true,
         "gemini://h/slow.bin?junk",
         {},
         &file,
         "20",
         10.0,
         64 * 1024},
        {"listing to a slow TCP reader",
         true,
         "gemini://h/many/",
         {"-i"},
         &listing,
         "20",
         10.0,
         0,
         true},
        {"listing to a slow socket pair reader",
         false,
         "gemini://h/many/?pair",
         {"-i"},
         &listing,
         "20",
         10.0,
         0,
         true},
        {"CGI output to a slow TCP reader", true, "gemini://h/cgi-bin/count", cgi, &counted, "0",
         10.0, 0, true},
        {"CGI output to a slow socket pair reader", false, "gemini://h/cgi-bin/count?pair", cgi,
         &counted, "0", 10.0, 0, true},
        {"large CGI output to a slow TCP reader", true, "gemini://h/cgi-bin/large", cgi, &file, "0",
         10.0, 0, true},
        {"large CGI output to a slow pipe reader", false, "gemini://h/cgi-bin/large?pipe", cgi,
         &file, "0", 10.0, 0, false, true},
    };
    std::vector<std::thread> cases;
    cases.emplace_back(read_deadline, "silent client", std::cref(root), std::ref(listener), "", 0);
    // Each with a result of its own, whatever the timing: the trickle gets
    // at most 19 bytes of its line in before the deadline, the half line
    // has 35, and the silent client none.
    cases.emplace_back(read_deadline, "half a line, then silence", std::cref(root),
                       std::ref(listener), "gemini://h/half-a-line-then-silence", 0);
    cases.emplace_back(read_deadline, "a byte every 2 s", std::cref(root), std::ref(listener),
                       "gemini://h/trickle\r\n", 2.0);
    cases.emplace_back(pipe_waits, std::cref(root));
    cases.emplace_back(nonblocking_pipe, std::cref(root), slow.substr(0, 4 << 20));
    static const Trickle trickles[] = {
        {"socket pair reader taking 100 bytes every 4 s", "gemini://h/mid.bin?trickle", "", 4},
        {"socket pair reader taking 100 bytes a second, no socket diagnostics",
         "gemini://h/mid.bin?trickle-netns", "unshare --net", 1},
    };
    for (const Trickle &c : trickles)
        cases.emplace_back(trickling_reader, std::cref(c), std::cref(root), std::ref(listener),
                           slow.substr(0, 4 << 20));
    const struct {
        const char *name;
        bool tcp;
        const char *request;
        const char *code;
        const std::string &detail;
    } stalls[] = {
        {"file to a TCP client that stalls", true, "gemini://h/big.bin?tcp", "20", stalled},
        {"file to a socket pair that stalls", false, "gemini://h/big.bin?pair", "20", stalled},
        {"CGI output to a TCP client that stalls", true, "gemini://h/cgi-bin/flood?tcp", "0",
         stalled},
        {"CGI output to a socket pair that stalls", false, "gemini://h/cgi-bin/flood?pair", "0",
         stalled},
        {"script waits for input that never comes", true, "gemini://h/cgi-bin/waits", "0",
         script_silent},
    };
    for (const auto &c : stalls)
        cases.emplace_back(never_reads, c.name, std::cref(root), std::ref(listener), c.tcp,
                           c.request, c.code, std::cref(c.detail));
    for (const Slow &c : slow_cases)
        cases.emplace_back(slow_reader, std::cref(c), std::cref(root), std::ref(listener));
    const std::string mid = "20 application/octet-stream\r\n" + slow.substr(0, 4 << 20);
    time_rules(cases, root, listener, listing, mid);
    for (std::thread &t : cases)
        t.join();

    // One request log line per run, each with its own request line.
    int lines = 0;
    for (const harness::LogLine &line : pool)
        lines += line.priority == 30;
    for (const Expected &e : expected_lines) {
        int matches = 0;
        for (const harness::LogLine &line : pool)
            matches += line.priority == 30 &&
                       (e.prefix ? line.text.rfind(e.line, 0) == 0 : line.text == e.line);
        if (matches != 1)
            fail(e.name.c_str(), std::to_string(matches) + " request log lines " +
                                     (e.prefix ? "beginning " : "") + visible(e.line));
    }
    if (lines != static_cast<int>(expected_lines.size()))
        fail("slow clients", std::to_string(lines) + " request log lines for " +
                                 std::to_string(expected_lines.size()) + " runs");
    // Each cut's detail as often as the runs that must log it.
    const std::vector<std::string> logged = details(pool);
    for (const std::string *detail : {&stalled, &script_silent, &ran_on}) {
        const auto want = std::count_if(expected_lines.begin(), expected_lines.end(),
                                        [&](const Expected &e) { return e.detail == *detail; });
        const auto got = std::count(logged.begin(), logged.end(), *detail);
        if (got != want)
            fail("slow clients", std::to_string(got) + " details " + visible(*detail) + ", " +
                                     std::to_string(want) + " expected");
    }
}

// A client that hangs up right after its request: tolm's writes fail, and
// the run still ends with its one log line and the detail, exit status 1,
// instead of dying of SIGPIPE.
void hang_ups(const std::string &root, Listener &listener, int rounds) {
    int whole = 0;
    for (int i = 0; i < rounds; ++i) {
        const bool tcp = i % 2 == 0;
        int client = -1;
        int server = -1;
        connect_kind(listener, tcp, client, server);
        Started s(server, client, {"-d", root});
        send_all(client, "gemini://h/mid.bin\r\n");
        close(client);
        const harness::Result run = s.process.finish(slack);
        std::string last;
        const int lines = count_request_lines(run.log, &last);
        if (run.signal == 0 && run.exit_code == 1 && lines == 1 &&
            last.rfind("\"gemini://h/mid.bin\" 20 ", 0) == 0 &&
            details(run.log) == std::vector<std::string>{went_away})
            ++whole;
        else if (failures < 5)
            fail(tcp ? "hang-up over TCP" : "hang-up over a socket pair",
                 "round " + std::to_string(i) + ": signal " + std::to_string(run.signal) +
                     ", exit " + std::to_string(run.exit_code) + ", " + std::to_string(lines) +
                     " log lines, " + visible(last, 100));
    }
    printf("sockets: %d of %d runs for a client that hung up logged the cut\n", whole, rounds);
    if (whole != rounds)
        ++failures;
}

// After its answer tolm shuts its side down. A client that sent its line
// and nothing more is not waited for, so a client that keeps its end open
// does not hold the process; one that sent more than its line has that
// input read away for the drain's time first, so that the close does not
// reset the connection under the answer.
void closing(const std::string &root, Listener &listener) {
    struct Case {
        const char *name;
        bool tcp;
        std::string extra;
        bool lingers;
    };
    const Case cases[] = {
        {"line alone, TCP", true, "", false},
        {"line alone, socket pair", false, "", false},
        {"line and more, TCP", true, "more input", true},
        {"line and more, socket pair", false, "more input", true},
    };
    for (const Case &c : cases) {
        int client = -1;
        int server = -1;
        connect_kind(listener, c.tcp, client, server);
        Started s(server, client, {"-d", root});
        send_all(client, "gemini://h/a.txt\r\n" + c.extra);
        std::string error;
        const std::string answer = read_to_end(client, slack, &error);
        const double answered = now();
        // The client's end stays open until tolm has ended.
        const harness::Result run = s.process.finish(slack);
        const double held = now() - answered;
        close(client);
        note("sockets: %s: process ended %.2f s after the answer\n", c.name, held);
        if (answer != "20 text/plain\r\nalpha\n" || !error.empty() || run.exit_code != 0)
            fail(c.name, "answer " + visible(answer, 100) + " " + error + ", exit " +
                             std::to_string(run.exit_code));
        if (!c.lingers && held > drain - 0.5)
            fail(c.name, "held the process " + std::to_string(held) + " s after the answer");
        if (c.lingers && (held < drain - 0.5 || held > drain + slack))
            fail(c.name, "drained for " + std::to_string(held) + " s");
    }
}

// tolm started through a shell that first runs `prelude`, as a super-server
// might start it: with a signal ignored, or its process id written down;
// and through `launcher` (env with a signal blocked, unshare), if given.
harness::Options through_shell(const std::string &prelude, std::vector<std::string> &args,
                               const std::string &launcher) {
    harness::Options options;
    options.program = "/bin/sh";
    args.insert(args.begin(),
                {"-c", prelude + "; exec " + launcher + " \"$0\" \"$@\"", harness::binary()});
    return options;
}

bool exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void touch(const std::string &path) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        die("%s: %s", path.c_str(), strerror(errno));
    close(fd);
}

// Waits until the file exists; false after the slack.
bool appears(const std::string &path) {
    const double until = now() + slack;
    while (!exists(path) && now() < until)
        usleep(20000);
    return exists(path);
}

// A process id written into a file by a script; 0 if none came. The shell
// makes the file before it writes the line.
pid_t pid_in(const std::string &path) {
    for (const double until = now() + slack; appears(path) && now() < until; usleep(20000)) {
        const std::string text = harness::read_file(path);
        if (!text.empty() && text.back() == '\n')
            return static_cast<pid_t>(atoi(text.c_str()));
    }
    return 0;
}

// Gone, or a zombie left to init: nothing runs any more.
bool ended(pid_t pid) {
    const double until = now() + slack;
    for (;;) {
        std::string state;
        const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY);
        if (fd >= 0) {
            state = harness::read_all(fd);
            close(fd);
        }
        const size_t paren = state.rfind(')');
        if (paren == std::string::npos || state.compare(paren, 3, ") Z") == 0)
            return true;
        if (now() > until)
            return false;
        usleep(20000);
    }
}

// A file that shrinks while it is sent: cut where the file now ends. Over
// TCP (by sendfile) the client sees a reset; into a pipe (through the
// buffer) the log counts exactly what arrived.
void shrinking_file(const std::string &root, Listener &listener) {
    const size_t size = 50 << 20;
    const size_t after = 10 << 20;
    const std::string header = "20 application/octet-stream\r\n";
    for (const bool tcp : {true, false}) {
        const char *name = tcp ? "file shrinks, TCP" : "file shrinks, pipe";
        const std::string file = tcp ? "shrink-tcp.bin" : "shrink-pipe.bin";
        const int fd = open((root + "/" + file).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
            die("%s: %s", file.c_str(), strerror(errno));
        const std::string request = "gemini://h/" + file;
        int client = -1;
        int server = -1;
        int out[2] = {-1, -1};
        if (tcp) {
            listener.connect_pair(client, server);
        } else if (pipe2(out, O_CLOEXEC) != 0) {
            die("pipe: %s", strerror(errno));
        }
        harness::Options options;
        if (!tcp)
            options.stdout_fd = out[1];
        std::unique_ptr<harness::Process> p;
        if (tcp) {
            p = std::make_unique<harness::Process>(std::vector<std::string>{"-d", root}, "",
                                                   connected(server, server));
            close(server);
            send_all(client, request + "\r\n");
        } else {
            // The request waits in a pipe of its own: the harness feeds
            // input only once it is asked to finish.
            int in[2];
            const std::string line = request + "\r\n";
            if (pipe2(in, O_CLOEXEC) != 0 ||
                write(in[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                die("request pipe: %s", strerror(errno));
            close(in[1]);
            options.stdin_fd = in[0];
            p = std::make_unique<harness::Process>(std::vector<std::string>{"-d", root}, "",
                                                   options);
            close(in[0]);
            close(out[1]);
            client = out[0];
        }
        // A first megabyte, then the file is cut to 10 MiB under the sender.
        std::string got;
        char block[65536];
        while (got.size() < (1 << 20)) {
            const ssize_t n = read(client, block, sizeof block);
            if (n <= 0)
                break;
            got.append(block, static_cast<size_t>(n));
        }
        if (ftruncate(fd, static_cast<off_t>(after)) != 0)
            die("truncate: %s", strerror(errno));
        close(fd);
        std::string error;
        struct pollfd w = {client, POLLIN, 0};
        while (poll(&w, 1, static_cast<int>(slack * 1000)) > 0) {
            const ssize_t n = read(client, block, sizeof block);
            if (n < 0)
                error = strerror(errno);
            if (n <= 0)
                break;
            got.append(block, static_cast<size_t>(n));
        }
        const harness::Result run = p->finish(slack);
        close(client);
        std::string last;
        count_request_lines(run.log, &last);
        const std::string line = quoted(request) + "20 " + std::to_string(header.size() + after);
        note("sockets: %s: %zu bytes, %s, log %s\n", name, got.size(),
             error.empty() ? "an end" : error.c_str(), last.c_str());
        if (run.exit_code != 1 || details(run.log) != std::vector<std::string>{shrank})
            fail(name, "exit " + std::to_string(run.exit_code) + ", details " +
                           std::to_string(details(run.log).size()));
        if (tcp && error != strerror(ECONNRESET))
            fail(name, "no reset: " + (error.empty() ? "a clean end" : error));
        if (last != line || (!tcp && got.size() != header.size() + after))
            fail(name, "log " + visible(last) + " for " + std::to_string(got.size()) + " bytes");
    }
}

// Reads until the text holds `want`; false if it did not come in time.
bool read_until(int fd, const std::string &want, std::string *text) {
    const double until = now() + slack;
    char block[4096];
    while (text->find(want) == std::string::npos) {
        struct pollfd p = {fd, POLLIN, 0};
        const int left = static_cast<int>((until - now()) * 1000);
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return false;
        const ssize_t n = recv(fd, block, sizeof block, 0);
        if (n <= 0)
            return false;
        text->append(block, static_cast<size_t>(n));
    }
    return true;
}

// A script's output reaches the client as it is written, and the end of
// its output ends the answer while the script goes on; the run then waits
// for the script and ends normally.
void cgi_streams(const std::string &root, Listener &listener) {
    const char *name = "CGI output as it comes";
    int client = -1;
    int server = -1;
    listener.connect_pair(client, server);
    Started s(server, client, {"-d", root, "-c", "cgi-bin"});
    send_all(client, "gemini://h/cgi-bin/stream\r\n");
    std::string answer;
    const bool first = read_until(client, "first\n", &answer);
    touch(root + "/cgi-bin/stream.go");
    std::string error;
    answer += read_to_end(client, slack, &error);
    const bool script_running = !exists(root + "/cgi-bin/stream.done");
    touch(root + "/cgi-bin/stream.done");
    const harness::Result run = s.process.finish(slack);
    close(client);
    std::string last;
    count_request_lines(run.log, &last);
    const std::string want = "20 text/plain\r\nfirst\nsecond\n";
    if (!first)
        fail(name, "the first line did not arrive before the script went on");
    if (answer != want || !error.empty() || !script_running)
        fail(name, "answer " + visible(answer) + " " + error +
                       (script_running ? "" : ", the end came only after the script ended"));
    if (run.exit_code != 0 ||
        last != quoted("gemini://h/cgi-bin/stream") + "0 " + std::to_string(want.size()))
        fail(name, "exit " + std::to_string(run.exit_code) + ", log " + visible(last));
    printf("sockets: %s: first line early, end before the script ended\n", name);
}

// Standard output a file: a script's answer arrives whole, whether the
// kernel moves it there (a plain file) or refuses to and tolm copies it (a
// file opened for appending).
void cgi_into_file(const std::string &root, const std::string &slow) {
    const std::string want = "20 application/octet-stream\r\n" + slow;
    for (const int append : {0, O_APPEND}) {
        const char *name =
            append != 0 ? "CGI output into a file opened for appending" : "CGI output into a file";
        const std::string path = root + "/answer.out";
        const int out = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC | append, 0644);
        int in[2];
        const std::string line = "gemini://h/cgi-bin/large?file\r\n";
        if (out < 0 || pipe2(in, O_CLOEXEC) != 0 ||
            write(in[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            die("%s: %s", path.c_str(), strerror(errno));
        close(in[1]);
        harness::Process process({"-d", root, "-c", "cgi-bin"}, "", connected(in[0], out));
        close(in[0]);
        close(out);
        const harness::Result run = process.finish(io_timeout);
        const std::string answer = harness::read_file(path);
        unlink(path.c_str());
        std::string last;
        count_request_lines(run.log, &last);
        if (answer != want || run.exit_code != 0 ||
            last != quoted("gemini://h/cgi-bin/large?file") + "0 " + std::to_string(want.size()))
            fail(name, std::to_string(answer.size()) + " bytes, exit " +
                           std::to_string(run.exit_code) + ", log " + visible(last));
    }
    printf("sockets: a script's answer arrives whole in a file, appended or not\n");
}

// A script whose client is gone while it sends nothing is ended, with its
// whole process group: a background child of it too, which gets SIGTERM
// first. Gone means proven
// gone: a socket pair whose other end closed, or a reset over TCP.
void cgi_client_leaves(const std::string &root, Listener &listener) {
    for (const bool tcp : {true, false}) {
        const char *name = tcp ? "client resets on a silent script"
                               : "client closes a socket pair on a silent script";
        const std::string pid_file = root + "/cgi-bin/lingers.pid";
        const std::string heard = root + "/cgi-bin/lingers.term";
        unlink(pid_file.c_str());
        unlink(heard.c_str());
        int client = -1;
        int server = -1;
        connect_kind(listener, tcp, client, server);
        Started s(server, client, {"-d", root, "-c", "cgi-bin"});
        send_all(client, "gemini://h/cgi-bin/lingers\r\n");
        const pid_t child = pid_in(pid_file);
        const struct linger reset = {1, 0};
        if (tcp)
            setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(client);
        const harness::Result run = s.process.finish(slack);
        std::string last;
        count_request_lines(run.log, &last);
        if (child == 0)
            fail(name, "the script did not start");
        else if (!ended(child))
            fail(name, "the script's background child outlived the run");
        else if (!exists(heard))
            fail(name, "the script's background child got no SIGTERM before the SIGKILL");
        if (run.timed_out || run.exit_code != 1 ||
            own_details(run.log) != std::vector<std::string>{hung_up}) {
            std::string logged;
            for (const std::string &d : details(run.log))
                logged += " [" + visible(d) + "]";
            fail(name, "exit " + std::to_string(run.exit_code) +
                           (run.timed_out ? ", still running" : "") + ", log " + visible(last) +
                           ", details" + logged);
        }
        if (last != quoted("gemini://h/cgi-bin/lingers") + "0 0")
            fail(name, "log " + visible(last));
        note("sockets: %s: ended after %.1f s\n", name, now() - s.since);
    }
}

// Many clients shut their sending side down once the request line is sent
// (nc -N, socat, scripts), and some send more bytes after it and keep their
// side open: neither is a hang-up, and each gets the script's whole answer
// with a clean end, whether the script answers at once, after a pause or at
// length.
void cgi_client_keeps_reading(const std::string &root, Listener &listener) {
    const std::string at_once = "20 text/plain\r\nat once\n";
    const std::string paused = "20 text/plain\r\nafter a pause\n";
    const std::string large =
        "20 application/octet-stream\r\n" + harness::read_file(root + "/mid.bin");
    const struct {
        const char *name;
        bool tcp;
        const char *script;
        const std::string &answer;
        bool half_close;
        const char *stray;
    } cases[] = {
        {"half-close, script at once, TCP", true, "at-once", at_once, true, ""},
        {"half-close, script at once, socket pair", false, "at-once", at_once, true, ""},
        {"half-close, script after a pause, TCP", true, "pause", paused, true, ""},
        {"half-close, script after a pause, socket pair", false, "pause", paused, true, ""},
        {"half-close, large script answer, TCP", true, "mid", large, true, ""},
        {"half-close, large script answer, socket pair", false, "mid", large, true, ""},
        {"stray bytes after the line, side open, TCP", true, "pause", paused, false, "stray\n"},
        {"stray bytes after the line, then half-close, socket pair", false, "pause", paused, true,
         "stray"},
    };
    for (const auto &c : cases) {
        int client = -1;
        int server = -1;
        connect_kind(listener, c.tcp, client, server);
        Started s(server, client, {"-d", root, "-c", "cgi-bin"});
        const std::string request = std::string("gemini://h/cgi-bin/") + c.script + "?" +
                                    (c.tcp ? "tcp" : "pair") + (c.half_close ? "-shut" : "-open");
        send_all(client, request + "\r\n" + c.stray);
        if (c.half_close)
            shutdown(client, SHUT_WR);
        std::string error;
        const std::string answer = read_to_end(client, io_timeout, &error);
        close(client);
        const harness::Result run = s.process.finish(slack);
        std::string last;
        const int lines = count_request_lines(run.log, &last);
        if (answer != c.answer || !error.empty() || run.exit_code != 0 || lines != 1 ||
            last != quoted(request) + "0 " + std::to_string(c.answer.size()))
            fail(c.name, std::to_string(answer.size()) + " of " + std::to_string(c.answer.size()) +
                             " bytes, " + (error.empty() ? "a clean end" : error) + ", exit " +
                             std::to_string(run.exit_code) + ", log " + visible(last, 200));
    }
    printf("sockets: clients that half-close or send more get the script's whole answer\n");
}

// Where standard error is the client connection, a script's error output
// never reaches the client; elsewhere it still goes where tolm's goes, as
// a line named after the script.
// Started with SIGPIPE ignored, tolm still gives the script the default.
void cgi_inherits(const std::string &root, Listener &listener) {
    for (const bool shared : {true, false}) {
        const char *name = shared ? "script's standard error when it is the connection"
                                  : "script's standard error elsewhere, SIGPIPE ignored at start";
        int client = -1;
        int server = -1;
        listener.connect_pair(client, server);
        std::vector<std::string> args = {"-d", root, "-c", "cgi-bin"};
        harness::Options options = through_shell("trap '' PIPE", args);
        options.stderr_is_stdout = shared;
        Started s(server, client, args, options);
        send_all(client, "gemini://h/cgi-bin/noisy\r\n");
        std::string error;
        const std::string answer = read_to_end(client, slack, &error);
        close(client);
        const harness::Result run = s.process.finish(slack);
        const std::string want = "20 text/plain\r\nSIGPIPE default\n";
        if (answer != want || !error.empty() || run.exit_code != 0)
            fail(name, "answer " + visible(answer, 200) + " " + error + ", exit " +
                           std::to_string(run.exit_code));
        if (!shared && run.err != "noisy stderr: oops\n")
            fail(name, "standard error " + visible(run.err));
    }
    printf("sockets: a script's standard error stays off the connection\n");
}

// A script that cannot start, or writes to its standard error, under
// inetd-style front ends (TCP, standard error the connection) and stunnel's
// exec mode (a socket pair, standard error elsewhere): the client's bytes
// and the fixed log lines as they always were, the reason after them in the
// log, and on standard error where that is not the connection.
void cgi_failures_explained(const std::string &root, Listener &listener) {
    const std::string failed = "42 error when trying run cgi\r\n";
    const struct {
        const char *script, *answer;
        std::vector<std::string> details;
    } cases[] = {
        {"plain",
         failed.c_str(),
         {"error when trying to execl plain",
          "plain: Permission denied: the file is not executable"}},
        {"crlf",
         failed.c_str(),
         {"error when trying to execl crlf",
          "crlf: No such file or directory: its #! line ends in a carriage return (CRLF line "
          "ends)"}},
        {"nointerp",
         failed.c_str(),
         {"error when trying to execl nointerp",
          "nointerp: No such file or directory: its interpreter /nonexistent/python3 is missing"}},
        {"noisy", "20 text/plain\r\nSIGPIPE default\n", {"noisy stderr: oops"}},
    };
    for (const bool inetd : {true, false}) {
        for (const auto &c : cases) {
            const std::string name =
                std::string(inetd ? "inetd-style, " : "socket pair, ") + c.script;
            int client = -1;
            int server = -1;
            connect_kind(listener, inetd, client, server);
            harness::Options options;
            options.stderr_is_stdout = inetd;
            const std::string request = std::string("gemini://h/cgi-bin/") + c.script;
            Started s(server, client, {"-d", root, "-c", "cgi-bin"}, options);
            send_all(client, request + "\r\n");
            std::string error;
            const std::string answer = read_to_end(client, slack, &error);
            close(client);
            const harness::Result run = s.process.finish(slack);
            std::vector<std::string> requests;
            for (const harness::LogLine &line : run.log)
                if (line.priority == 30)
                    requests.push_back(line.text);
            const std::string size = std::to_string(strlen(c.answer));
            const std::vector<std::string> want_requests =
                std::string(c.answer) == failed
                    ? std::vector<std::string>{quoted(request) + "42 30", quoted(request) + "0 30"}
                    : std::vector<std::string>{quoted(request) + "0 " + size};
            std::string want_err;
            for (const std::string &d : c.details)
                want_err += d + "\n";
            if (answer != c.answer || !error.empty() || run.exit_code != 0 ||
                details(run.log) != c.details || requests != want_requests ||
                (!inetd && run.err != want_err)) {
                std::string logged;
                for (const harness::LogLine &line : run.log)
                    logged += " [" + std::to_string(line.priority) + " " + visible(line.text) + "]";
                fail(name.c_str(), "answer " + visible(answer) + " " + error + ", exit " +
                                       std::to_string(run.exit_code) + ", log" + logged +
                                       ", standard error " + visible(run.err));
            }
        }
    }
    printf("sockets: a script's failure and standard error reach the log, never the client\n");
}

// A signal that ends a run (SIGTERM from a service manager, SIGINT from
// Ctrl-C on a front end in the foreground, SIGHUP, SIGQUIT) leaves the log
// line and the detail with the signal's name, exit status 1, and reaches a
// running script's process group; the client of a cut answer sees a reset.
// A member of the group that ignores SIGTERM gets SIGKILL after the grace,
// also when the script itself obeyed at once.
void terminated(const std::string &root, Listener &listener) {
    const struct {
        const char *name;
        int signal;
        const char *request;
        const char *code;
        const char *ready; // a file the script makes once it runs
        const char *prelude = "";
        const char *launcher = "";
        int then = 0; // a second signal right after the first
    } cases[] = {
        {"SIGTERM while a client does not read", SIGTERM, "gemini://h/big.bin?term", "20", ""},
        {"SIGHUP while a client does not read", SIGHUP, "gemini://h/big.bin?hup", "20", ""},
        {"SIGINT while a client does not read", SIGINT, "gemini://h/big.bin?int", "20", ""},
        {"SIGQUIT while a client does not read", SIGQUIT, "gemini://h/big.bin?quit", "20", ""},
        {"SIGTERM while a script runs", SIGTERM, "gemini://h/cgi-bin/trapper", "0",
         "trapper.ready"},
        {"SIGINT while a script runs", SIGINT, "gemini://h/cgi-bin/trapper?int", "0",
         "trapper.ready"},
        {"SIGTERM while a script's child ignores it", SIGTERM, "gemini://h/cgi-bin/stubborn", "0",
         "stubborn.pid"},
        // What tolm inherits: SIGTERM ignored or blocked by the front end
        // still ends the run, and so do the others when blocked.
        {"SIGTERM ignored at start", SIGTERM, "gemini://h/big.bin?ignored", "20", "",
         "trap '' TERM"},
        {"SIGTERM blocked at start", SIGTERM, "gemini://h/big.bin?blocked", "20", "", "",
         "env --block-signal=TERM,HUP,INT,QUIT"},
        {"SIGHUP blocked at start", SIGHUP, "gemini://h/big.bin?hup-blocked", "20", "", "",
         "env --block-signal=TERM,HUP,INT,QUIT"},
        {"SIGHUP, then SIGTERM at once: the first names the end", SIGHUP, "gemini://h/big.bin?two",
         "20", "", "", "", SIGTERM},
    };
    for (const auto &c : cases) {
        const std::string pid_file = root + "/tolm.pid";
        unlink(pid_file.c_str());
        unlink((root + "/cgi-bin/trapper.term").c_str());
        if (c.ready[0] != '\0')
            unlink((root + "/cgi-bin/" + c.ready).c_str());
        int client = -1;
        int server = -1;
        listener.connect_pair(client, server);
        std::vector<std::string> args = {"-d", root, "-c", "cgi-bin"};
        const std::string prelude =
            "echo $$ >" + pid_file + (c.prelude[0] != '\0' ? std::string("; ") + c.prelude : "");
        const harness::Options options = through_shell(prelude, args, c.launcher);
        Started s(server, client, args, options);
        send_all(client, std::string(c.request) + "\r\n");
        const pid_t tolm = pid_in(pid_file);
        // The answer is under way, or the script is waiting.
        std::string head;
        pid_t child = 0;
        if (c.ready[0] != '\0')
            child = pid_in(root + "/cgi-bin/" + c.ready);
        else
            read_until(client, "\r\n", &head);
        if (tolm > 0)
            kill(tolm, c.signal);
        if (tolm > 0 && c.then != 0)
            kill(tolm, c.then);
        const harness::Result run = s.process.finish(slack);
        size_t received = 0;
        std::string error;
        const bool cut = cut_seen(true, client, &received, &error);
        close(client);
        std::string last;
        count_request_lines(run.log, &last);
        const std::string detail = std::string("terminated by SIG") + sigabbrev_np(c.signal);
        if (tolm == 0 || run.timed_out || run.exit_code != 1 ||
            own_details(run.log) != std::vector<std::string>{detail} ||
            last.rfind(quoted(c.request) + c.code + " ", 0) != 0) {
            std::string logged;
            for (const std::string &d : details(run.log))
                logged += " [" + visible(d) + "]";
            fail(c.name, "exit " + std::to_string(run.exit_code) + ", log " + visible(last) +
                             ", details" + logged);
        }
        if (!cut)
            fail(c.name, "no reset: " + (error.empty() ? "a clean end" : error));
        if (strstr(c.request, "trapper") != nullptr && !exists(root + "/cgi-bin/trapper.term"))
            fail(c.name, "the script did not get SIGTERM");
        if (strstr(c.request, "stubborn") != nullptr && (child <= 1 || !ended(child)))
            fail(c.name, "the child that ignores SIGTERM outlived the run");
    }
    printf("sockets: every signal that ends a run leaves its log line\n");
}

// Standard error never holds the run, nor ends it: one nobody reads any
// more (a stalled journal, a full pipe) costs at most the few seconds the
// log may take, and the detail is dropped; one that is closed at start is
// not taken over by the log connection, which would send the detail to the
// log daemon as a line of its own.
void standard_error(const std::string &root, Listener &listener) {
    const std::string fifo = root + "/stderr.fifo";
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0)
        die("mkfifo: %s", strerror(errno));
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0 || filler < 0)
        die("fifo: %s", strerror(errno));
    const std::string block(4096, 'x');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    const struct {
        const char *name;
        std::string prelude;
        const char *launcher = "";
    } cases[] = {
        {"standard error a full pipe nobody reads", "exec 2>" + fifo},
        {"standard error closed at start", "exec 2>&-"},
        // The bound on the write is an interval timer's SIGALRM, which a
        // mask inherited from the front end must not hold back.
        {"standard error a full pipe nobody reads, SIGALRM blocked at start", "exec 2>" + fifo,
         "env --block-signal=ALRM"},
    };
    const std::string request = "gemini://h/a.txt";
    const std::string missing = root + "/missing";
    for (const auto &c : cases) {
        int client = -1;
        int server = -1;
        connect_kind(listener, false, client, server);
        std::vector<std::string> args = {"-d", missing};
        const harness::Options options = through_shell(c.prelude, args, c.launcher);
        Started s(server, client, args, options);
        send_all(client, request + "\r\n");
        std::string error;
        const std::string answer = read_to_end(client, slack, &error);
        close(client);
        const harness::Result run = s.process.finish(slack + late);
        std::vector<std::string> lines;
        for (const harness::LogLine &line : run.log)
            lines.push_back(std::to_string(line.priority) + " " + line.text);
        const std::vector<std::string> want = {"30 " + quoted(request) + "51 19",
                                               "11 chdir(" + missing + ") failed"};
        if (answer != "51 file not found\r\n" || run.timed_out || run.exit_code != 1 ||
            lines != want || run.seconds > 2 + late) {
            std::string logged;
            for (const std::string &line : lines)
                logged += " [" + visible(line) + "]";
            fail(c.name, "answer " + visible(answer) + ", exit " + std::to_string(run.exit_code) +
                             (run.timed_out ? ", still running" : "") + " after " +
                             std::to_string(run.seconds) + " s, log" + logged);
        }
    }
    close(reader);
    close(filler);
    printf("sockets: standard error, full or closed, holds nothing up\n");
}

// What a process is doing: the number of the system call it waits in,
// -1 when it runs or is gone.
long waiting_in(pid_t pid) {
    const int fd = open(("/proc/" + std::to_string(pid) + "/syscall").c_str(), O_RDONLY);
    if (fd < 0)
        return -1;
    const std::string text = harness::read_all(fd);
    close(fd);
    return text.empty() || text[0] < '0' || text[0] > '9' ? -1 : atol(text.c_str());
}

// How often the process has slept and been woken; -1 when it is gone.
long voluntary_switches(pid_t pid) {
    const int fd = open(("/proc/" + std::to_string(pid) + "/status").c_str(), O_RDONLY);
    if (fd < 0)
        return -1;
    const std::string text = harness::read_all(fd);
    close(fd);
    const std::string key = "\nvoluntary_ctxt_switches:";
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : atol(text.c_str() + at + key.size());
}

// A pseudo-terminal, opened before the private /dev hides /dev/ptmx.
struct Terminal {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    int slave = -1;
    Terminal() {
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            (slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0)
            die("terminal: %s", strerror(errno));
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;
    ~Terminal() {
        close(master);
        close(slave);
    }
};

// Started by hand at a terminal, tolm says on standard error what it waits
// for. That standard error may be a pipe whose reader is gone: the hint is
// lost, never the run. A failure there shows its detail on the terminal,
// which is also standard output.
void at_a_terminal(const std::string &root, Terminal &hint_tty, Terminal &detail_tty) {
    const std::string pid_file = root + "/tolm.pid";
    const std::string fifo = root + "/hint.fifo";
    const std::string request = "gemini://h/a.txt?terminal\n";
    {
        const char *name = "terminal hint into a pipe whose reader is gone";
        unlink(pid_file.c_str());
        unlink(fifo.c_str());
        unlink((root + "/go").c_str());
        if (mkfifo(fifo.c_str(), 0600) != 0)
            die("mkfifo: %s", strerror(errno));
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        Terminal &tty = hint_tty;
        int out[2];
        if (reader < 0 || pipe2(out, O_CLOEXEC) != 0)
            die("pipe: %s", strerror(errno));
        std::vector<std::string> args = {"-d", root};
        const harness::Options options =
            through_shell("exec 2>" + fifo + "; echo $$ >" + pid_file + "; while [ ! -e " + root +
                              "/go ]; do sleep 0.05; done",
                          args);
        harness::Process run_process(args, "", connected(tty.slave, out[1], options));
        close(out[1]);
        const pid_t tolm = pid_in(pid_file);
        close(reader);
        touch(root + "/go");
        // Once it waits in read, the hint has gone wherever it went.
        bool reading = false;
        for (const double until = now() + slack; tolm > 0 && !reading && now() < until;
             usleep(20000))
            reading = waiting_in(tolm) == 0;
        // The interval timer that bounded the hint's write is stopped: the
        // read sleeps through without a wake-up.
        const long woken = reading ? voluntary_switches(tolm) : -1;
        usleep(500000);
        const long woke = reading ? voluntary_switches(tolm) - woken : 0;
        if (write(tty.master, request.data(), request.size()) < 0)
            die("write terminal: %s", strerror(errno));
        const std::string answer = harness::read_all(out[0]);
        close(out[0]);
        const harness::Result run = run_process.finish(slack);
        std::string last;
        const int lines = count_request_lines(run.log, &last);
        if (!reading || woke > 1 || answer != "20 text/plain\r\nalpha\n" || run.exit_code != 0 ||
            lines != 1)
            fail(name, std::string(reading ? "" : "never waited for the request, ") + "woke " +
                           std::to_string(woke) + " times in the read, answer " + visible(answer) +
                           ", exit " + std::to_string(run.exit_code) + ", signal " +
                           std::to_string(run.signal) + ", " + std::to_string(lines) +
                           " log lines");
    }
    {
        const char *name = "a failure's detail at the terminal";
        Terminal &tty = detail_tty;
        harness::Options options = connected(tty.slave, tty.slave);
        options.stderr_is_stdout = true;
        harness::Process run_process({"-d", root + "/missing"}, "", options);
        if (write(tty.master, request.data(), request.size()) < 0)
            die("write terminal: %s", strerror(errno));
        const harness::Result run = run_process.finish(slack);
        std::string shown;
        char block[4096];
        for (ssize_t n; (n = read(tty.master, block, sizeof block)) > 0;) {
            shown.append(block, static_cast<size_t>(n));
            struct pollfd p = {tty.master, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                break;
        }
        const std::string detail_text = "chdir(" + root + "/missing) failed";
        if (run.exit_code != 1 || shown.find("51 file not found") == std::string::npos ||
            shown.find(detail_text) == std::string::npos)
            fail(name, "the terminal showed " + visible(shown, 300));
    }
    {
        // The manual page's own example: the request piped in, the answer
        // and the details on the one terminal.
        const char *name = "a failure's reason at the terminal, the request piped in";
        Terminal &tty = detail_tty;
        harness::Options options;
        options.stdout_fd = tty.slave;
        options.stderr_is_stdout = true;
        const harness::Result run =
            harness::run({"-d", root + "/a.txt", "-u", "nobody"}, request, options);
        std::string shown;
        char block[4096];
        struct pollfd p = {tty.master, POLLIN, 0};
        while (poll(&p, 1, 200) > 0) {
            const ssize_t n = read(tty.master, block, sizeof block);
            if (n <= 0)
                break;
            shown.append(block, static_cast<size_t>(n));
        }
        const std::string reason = "chroot(" + root + "/a.txt): Not a directory";
        if (run.exit_code != 1 || shown.find("41 privileges issue") == std::string::npos ||
            shown.find("can't be used for chroot") == std::string::npos ||
            shown.find(reason) == std::string::npos)
            fail(name, "the terminal showed " + visible(shown, 400));
    }
    printf("sockets: at a terminal, the hint costs nothing and a failure is explained\n");
}

// The connection's TCP state as the kernel shows it, from tolm's side: the
// socket from local_port to peer_port; -1 when there is none.
int tcp_state(int local_port, int peer_port) {
    const int fd = open("/proc/net/tcp", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const std::string table = harness::read_all(fd);
    close(fd);
    char want[32];
    snprintf(want, sizeof want, ":%04X %08X:%04X ", local_port, htonl(INADDR_LOOPBACK), peer_port);
    const size_t at = table.find(want);
    if (at == std::string::npos)
        return -1;
    return static_cast<int>(strtol(table.c_str() + at + strlen(want), nullptr, 16));
}

int port_of(int fd, bool peer) {
    struct sockaddr_in addr {};
    socklen_t len = sizeof addr;
    const int got = peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len)
                         : getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    if (got != 0)
        die("socket name: %s", strerror(errno));
    return ntohs(addr.sin_port);
}

// A connection with room for a whole answer of megabytes on tolm's side
// and little on the client's: tolm hands everything over and finishes the
// connection while the client is still reading. The ports name the
// connection in /proc/net/tcp once tolm holds the server's end.
struct RoomyPair {
    int client = -1;
    int server = -1;
    int local = 0;
    int peer = 0;
};

RoomyPair roomy_pair(Listener &listener) {
    RoomyPair pair;
    listener.connect_pair(pair.client, pair.server, 64 << 10);
    const int room = 32 << 20;
    setsockopt(pair.server, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);
    pair.local = port_of(pair.server, false);
    pair.peer = port_of(pair.server, true);
    return pair;
}

constexpr int fin_wait1 = 4;

// Waits until tolm has finished the connection (its FIN queued behind the
// data); the TCP state last seen.
int wait_finished(const RoomyPair &pair) {
    int state = -1;
    for (const double until = now() + slack; now() < until && state != fin_wait1; usleep(20000))
        state = tcp_state(pair.local, pair.peer);
    return state;
}

// A script hands over its whole answer and closes its output; tolm has put
// all of it into the socket and finished the connection (FIN queued behind
// the data), and waits for the script. A signal now ends the script and the
// run, but never turns the answer into a reset: the client, still reading
// the last megabytes, gets every byte and a clean end.
void whole_then_terminated(const std::string &root, Listener &listener) {
    const char *name = "SIGTERM after the whole answer was handed over";
    const std::string pid_file = root + "/tolm.pid";
    unlink(pid_file.c_str());
    const RoomyPair pair = roomy_pair(listener);
    const int client = pair.client;
    std::vector<std::string> args = {"-d", root, "-c", "cgi-bin"};
    const harness::Options options = through_shell("echo $$ >" + pid_file, args);
    Started s(pair.server, client, args, options);
    send_all(client, "gemini://h/cgi-bin/hands-over\r\n");
    const pid_t tolm = pid_in(pid_file);
    const int state = wait_finished(pair);
    if (tolm > 0)
        kill(tolm, SIGTERM);
    std::string error;
    const std::string answer = read_to_end(client, slack, &error);
    close(client);
    const harness::Result run = s.process.finish(slack);
    std::string last;
    count_request_lines(run.log, &last);
    const std::string want = "20 application/octet-stream\r\n" + std::string(3000000, '\0');
    if (state != fin_wait1)
        fail(name, "the connection was never finished (TCP state " + std::to_string(state) + ")");
    if (answer != want || !error.empty())
        fail(name, std::to_string(answer.size()) + " of " + std::to_string(want.size()) +
                       " bytes, " + (error.empty() ? "a clean end" : error));
    if (run.timed_out || run.exit_code != 1 ||
        details(run.log) != std::vector<std::string>{told_to_stop} ||
        last != quoted("gemini://h/cgi-bin/hands-over") + "0 " + std::to_string(want.size()))
        fail(name, "exit " + std::to_string(run.exit_code) + ", log " + visible(last));
    const pid_t script = pid_in(root + "/cgi-bin/hands-over.pid");
    if (script == 0 || !ended(script))
        fail(name, "the script outlived the run");
    printf("sockets: %s: %zu bytes, %s\n", name, answer.size(),
           error.empty() ? "a clean end" : error.c_str());
}

// A request line in pieces, as TLS terminators and slow links hand it
// over: each piece is sent only once tolm has read everything before it,
// so that every piece takes a read of its own, over a pipe and over TCP.
struct Pieces {
    const char *name;
    std::vector<std::string> pieces;
    std::string answer;
    std::string logged; // the request log line
    bool proxy = false; // run with -p
};

// Waits until nothing sent is left unread on tolm's side, or tolm has
// begun to answer; false when neither happens in time.
bool taken(int unread, int answer) {
    for (const double until = now() + slack; now() < until;) {
        int queued = 0;
        struct pollfd p = {answer, POLLIN, 0};
        if (ioctl(unread, FIONREAD, &queued) != 0)
            die("FIONREAD: %s", strerror(errno));
        if (queued == 0 || poll(&p, 1, 0) > 0)
            return true;
        usleep(1000);
    }
    return false;
}

void in_pieces(const std::string &root, Listener &listener) {
    const std::string served = "20 text/plain\r\nalpha\n";
    const std::string long_line(1100, 'x');
    const std::string too_long =
        "59 request is too long (1024 max): " + long_line.substr(0, 1024) + "\r\n";
    const Pieces cases[] = {
        {"line feed in a later piece",
         {"gemini://h/a.txt?lf-later", "\r\n"},
         served,
         quoted("gemini://h/a.txt?lf-later") + "20 21"},
        {"CR and LF in pieces of their own",
         {"gemini://h/a.txt?cr-lf-split\r", "\n"},
         served,
         quoted("gemini://h/a.txt?cr-lf-split") + "20 21"},
        {"line feed alone, late",
         {"gemini://h/a.txt?lf-alone", "\n"},
         served,
         quoted("gemini://h/a.txt?lf-alone") + "20 21"},
        {"three pieces, more after the line",
         {"gem", "ini://h/a.t", "xt?three\r\nmore input"},
         served,
         quoted("gemini://h/a.txt?three") + "20 21"},
        {"the length limit across pieces",
         {long_line.substr(0, 1000), long_line.substr(1000)},
         too_long,
         quoted("") + "59 " + std::to_string(too_long.size())},
        // Under -p the header is read to its end and not a byte further,
        // however it comes, and the request that follows is read whole.
        {"PROXY v1 header in pieces",
         {"PROXY TCP4 192.0.2.7 ", "198.51.100.1 50000", " 1965\r", "\ngemini://h/a.txt?v1\r\n"},
         served,
         quoted("gemini://h/a.txt?v1") + "20 21",
         true},
        {"PROXY v1 header and request in one write",
         {"PROXY TCP4 192.0.2.7 198.51.100.1 50000 1965\r\ngemini://h/a.txt?v1-whole\r\n"},
         served,
         quoted("gemini://h/a.txt?v1-whole") + "20 21",
         true},
        {"PROXY v2 header in pieces",
         {std::string("\r\n\r\n\0", 5), std::string("\r\nQUIT\n\x21\x11\x00", 10),
          std::string("\x0c\xc0\x00\x02", 4),
          std::string("\x07\xc6\x33\x64\x01\xc3\x50\x07\xad", 9) + "gemini://h/a.txt?v2\r\n"},
         served,
         quoted("gemini://h/a.txt?v2") + "20 21",
         true},
        {"PROXY v2 header and request in one write",
         {std::string("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c\xc0\x00\x02\x07\xc6\x33\x64"
                      "\x01\xc3\x50\x07\xad",
                      28) +
          "gemini://h/a.txt?v2-whole\r\n"},
         served,
         quoted("gemini://h/a.txt?v2-whole") + "20 21",
         true},
        {"a request without a PROXY header under -p",
         {"gemini://h/a.txt\r\n"},
         "59 Bad PROXY protocol header\r\n",
         quoted("") + "59 30",
         true},
    };
    int whole = 0;
    for (const Pieces &c : cases) {
        for (const bool tcp : {false, true}) {
            const std::string name = std::string(c.name) + (tcp ? ", TCP" : ", pipe");
            // tolm's input and output, and a second descriptor of its input
            // end to see what it has not read yet.
            int to = -1;
            int from = -1;
            int input = -1;
            int output = -1;
            if (tcp) {
                listener.connect_pair(to, input);
                from = to;
                output = input;
            } else {
                int in_pipe[2];
                int out_pipe[2];
                if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
                    die("pipe: %s", strerror(errno));
                input = in_pipe[0];
                to = in_pipe[1];
                from = out_pipe[0];
                output = out_pipe[1];
            }
            const std::vector<std::string> args = c.proxy
                                                      ? std::vector<std::string>{"-p", "-d", root}
                                                      : std::vector<std::string>{"-d", root};
            harness::Process run_process(args, "", connected(input, output));
            if (output != input)
                close(output);
            bool fed = true;
            for (const std::string &piece : c.pieces) {
                if (!fed)
                    break;
                if (write(to, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size()))
                    die("write: %s", strerror(errno));
                fed = taken(input, from);
            }
            std::string error;
            std::string answer;
            if (tcp) {
                answer = read_to_end(from, slack, &error);
            } else {
                struct pollfd p = {from, POLLIN, 0};
                char block[4096];
                ssize_t n = 1;
                while (n > 0 && poll(&p, 1, static_cast<int>(slack * 1000)) > 0)
                    if ((n = read(from, block, sizeof block)) > 0)
                        answer.append(block, static_cast<size_t>(n));
                if (n != 0)
                    error = "no end of output in time";
            }
            const harness::Result run = run_process.finish(slack);
            close(input);
            close(to);
            if (from != to)
                close(from);
            std::string last;
            const int lines = count_request_lines(run.log, &last);
            if (answer == c.answer && error.empty() && fed && lines == 1 && last == c.logged)
                ++whole;
            else
                fail(name.c_str(), "answer " + visible(answer, 100) + ", " +
                                       (error.empty() ? "no error" : error) +
                                       (fed ? "" : ", a piece was never read") + ", log " +
                                       visible(last, 100) + " (" + std::to_string(lines) +
                                       " lines)");
        }
    }
    printf("sockets: %d of %zu request lines in pieces answered as a whole one\n", whole,
           2 * std::size(cases));
}

// ---- Time rules of scripts, and pipes that pause: in the parallel phase ----

// Silence counts from a script's last output, not from its start: one that
// writes a line every 4 s for 36 s gets its whole answer through.
void steady_script(const std::string &root, Listener &listener) {
    const char *name = "script writing a line every 4 s for 36 s";
    const std::string request = "gemini://h/cgi-bin/steady";
    int client = -1;
    int server = -1;
    listener.connect_pair(client, server);
    Started s(server, client, {"-d", root, "-c", "cgi-bin"});
    send_all(client, request + "\r\n");
    std::string error;
    const std::string answer = read_to_end(client, 2 * io_timeout, &error);
    close(client);
    const harness::Result run = s.process.finish(slack);
    std::string want = "20 text/plain\r\n";
    for (int i = 1; i <= 10; ++i)
        want += "line " + std::to_string(i) + "\n";
    note("sockets: %s: %zu of %zu bytes after %.1f s\n", name, answer.size(), want.size(),
         now() - s.since);
    if (answer != want || !error.empty() || run.exit_code != 0)
        fail(name,
             "answer " + visible(answer) + " " + error + ", exit " + std::to_string(run.exit_code));
    keep(run, {name, quoted(request) + "0 " + std::to_string(want.size()), false});
}

// A script that closes its output and runs on: the client has its whole
// answer and a clean end at once, and the script is ended 30 s after its
// output, not earlier and not never; its group hears SIGTERM first.
void script_runs_on(const std::string &root, Listener &listener) {
    const char *name = "script running on after its output";
    const std::string request = "gemini://h/cgi-bin/runs-on";
    const std::string pid_file = root + "/cgi-bin/runs-on.pid";
    const std::string heard = root + "/cgi-bin/runs-on.term";
    unlink(pid_file.c_str());
    unlink(heard.c_str());
    int client = -1;
    int server = -1;
    listener.connect_pair(client, server);
    Started s(server, client, {"-d", root, "-c", "cgi-bin"});
    send_all(client, request + "\r\n");
    std::string error;
    const std::string answer = read_to_end(client, slack, &error);
    const double answered = now() - s.since;
    const harness::Result run = s.process.finish(release_bound + slack);
    const double released = now() - s.since;
    close(client);
    const pid_t script = pid_in(pid_file);
    note("sockets: %s: answered after %.1f s, ended after %.1f s\n", name, answered, released);
    const std::string want = "20 text/plain\r\nbye\n";
    if (answer != want || !error.empty())
        fail(name, "answer " + visible(answer) + " " + error);
    // Runs in this phase end together, and a log line may reach another's
    // run: the detail must be among this run's, and the pool holds it as
    // often as runs must log it.
    const std::vector<std::string> logged = details(run.log);
    if (run.timed_out || run.exit_code != 1 ||
        std::find(logged.begin(), logged.end(), ran_on) == logged.end())
        fail(name, "exit " + std::to_string(run.exit_code) +
                       (run.timed_out ? ", still running" : "") + ", " +
                       std::to_string(logged.size()) + " details");
    if (released < io_timeout - 1 || released > release_bound)
        fail(name, "ended after " + std::to_string(released) + " s");
    if (script == 0 || !ended(script))
        fail(name, "the script outlived the run");
    if (!exists(heard))
        fail(name, "the script's background child got no SIGTERM before the SIGKILL");
    keep(run, {name, quoted(request) + "0 " + std::to_string(want.size()), false, ran_on});
}

// A script's own reads from a silent client time out like tolm's, so that
// one that keeps writing while it waits for input still ends: here it
// says so, stops its ticker and ends, about 30 s after the start.
void script_reads_silent_client(const std::string &root, Listener &listener) {
    const char *name = "script reading a silent client while it writes";
    const std::string request = "gemini://h/cgi-bin/asks";
    int client = -1;
    int server = -1;
    listener.connect_pair(client, server);
    Started s(server, client, {"-d", root, "-c", "cgi-bin"});
    send_all(client, request + "\r\n");
    std::string error;
    const std::string answer = read_to_end(client, io_timeout + late + slack, &error);
    const double answered = now() - s.since;
    const harness::Result run = s.process.finish(slack);
    close(client);
    note("sockets: %s: %zu bytes after %.1f s\n", name, answer.size(), answered);
    const std::string head = "20 text/plain\r\ntick\n";
    if (answer.compare(0, head.size(), head) != 0 ||
        answer.find("\nno input\n") == std::string::npos || !error.empty() || run.exit_code != 0)
        fail(name, "answer " + visible(answer, 100) + "... " + error + ", exit " +
                       std::to_string(run.exit_code));
    if (answered < io_timeout - 1 || answered > io_timeout + late)
        fail(name, "answered after " + std::to_string(answered) + " s");
    keep(run, {name, quoted(request) + "0 " + std::to_string(answer.size()), false});
}

// Pipes have no stall limit: a reader that takes the header, pauses longer
// than a socket's client may, and then reads on gets every byte, of a
// file, a listing or a script's output.
void pipe_pause(const char *name, const std::string &root, const std::string &request,
                bool nonblocking, const std::string &want) {
    int in_pipe[2];
    int out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        (nonblocking && fcntl(out_pipe[1], F_SETFL, O_NONBLOCK) != 0))
        die("pipe: %s", strerror(errno));
    const std::string line = request + "\r\n";
    if (write(in_pipe[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        die("write pipe: %s", strerror(errno));
    close(in_pipe[1]);
    harness::Process piped({"-d", root, "-i", "-c", "cgi-bin"}, "",
                           connected(in_pipe[0], out_pipe[1]));
    close(in_pipe[0]);
    close(out_pipe[1]);
    std::string out;
    char block[4096];
    ssize_t n = read(out_pipe[0], block, sizeof block);
    if (n > 0)
        out.append(block, static_cast<size_t>(n));
    usleep(static_cast<useconds_t>((io_timeout + 3) * 1e6));
    while ((n = read(out_pipe[0], block, sizeof block)) > 0)
        out.append(block, static_cast<size_t>(n));
    const harness::Result run = piped.finish(slack);
    close(out_pipe[0]);
    if (out != want || run.exit_code != 0)
        fail(name, std::to_string(out.size()) + " of " + std::to_string(want.size()) +
                       " bytes, exit " + std::to_string(run.exit_code));
    const std::string code = request.find("/cgi-bin/") != std::string::npos ? "0 " : "20 ";
    keep(run, {name, quoted(request) + code + std::to_string(want.size()), false});
}

void time_rules(std::vector<std::thread> &cases, const std::string &root, Listener &listener,
                const std::string &listing, const std::string &file) {
    cases.emplace_back(steady_script, std::cref(root), std::ref(listener));
    cases.emplace_back(script_runs_on, std::cref(root), std::ref(listener));
    cases.emplace_back(script_reads_silent_client, std::cref(root), std::ref(listener));
    cases.emplace_back(pipe_pause, "file into a blocking pipe whose reader pauses", std::cref(root),
                       "gemini://h/mid.bin?pause", false, std::cref(file));
    cases.emplace_back(pipe_pause, "file into a non-blocking pipe whose reader pauses",
                       std::cref(root), "gemini://h/mid.bin?pause-nb", true, std::cref(file));
    cases.emplace_back(pipe_pause, "script's output into a pipe whose reader pauses",
                       std::cref(root), "gemini://h/cgi-bin/mid?pause", false, std::cref(file));
    cases.emplace_back(pipe_pause, "listing into a non-blocking pipe whose reader pauses",
                       std::cref(root), "gemini://h/many/?pause", true, std::cref(listing));
}

// Bytes that a client sends while its script works, its side still open,
// are no hang-up either: the script's answer arrives whole.
void cgi_client_sends_more(const std::string &root, Listener &listener) {
    for (const bool tcp : {true, false}) {
        const char *name = tcp ? "more input while the script works, TCP"
                               : "more input while the script works, socket pair";
        const std::string ready = root + "/cgi-bin/later.ready";
        const std::string go = root + "/cgi-bin/later.go";
        unlink(ready.c_str());
        unlink(go.c_str());
        int client = -1;
        int server = -1;
        connect_kind(listener, tcp, client, server);
        Started s(server, client, {"-d", root, "-c", "cgi-bin"});
        const std::string request =
            std::string("gemini://h/cgi-bin/later?") + (tcp ? "tcp" : "pair");
        send_all(client, request + "\r\n");
        const bool started = appears(ready);
        send_all(client, "more input\n");
        // Longer than tolm's look at the client, which would see it.
        usleep(1500000);
        touch(go);
        std::string error;
        const std::string answer = read_to_end(client, slack, &error);
        const harness::Result run = s.process.finish(slack);
        close(client);
        std::string last;
        count_request_lines(run.log, &last);
        const std::string want = "20 text/plain\r\nlater\n";
        if (!started || answer != want || !error.empty() || run.exit_code != 0 ||
            last != quoted(request) + "0 " + std::to_string(want.size()))
            fail(name, std::string(started ? "" : "the script never started, ") + "answer " +
                           visible(answer) + " " + error + ", exit " +
                           std::to_string(run.exit_code) + ", log " + visible(last));
    }
    printf("sockets: input sent while a script works is no hang-up\n");
}

// A signal ignored when tolm started (nohup, a background job of a shell)
// stays ignored, but for SIGTERM: SIGHUP, SIGINT and SIGQUIT then end
// nothing, and the script's answer arrives whole.
void ignored_stay_ignored(const std::string &root, Listener &listener) {
    const char *name = "SIGHUP, SIGINT and SIGQUIT ignored at start stay ignored";
    const std::string pid_file = root + "/tolm.pid";
    const std::string ready = root + "/cgi-bin/later.ready";
    const std::string go = root + "/cgi-bin/later.go";
    unlink(pid_file.c_str());
    unlink(ready.c_str());
    unlink(go.c_str());
    int client = -1;
    int server = -1;
    listener.connect_pair(client, server);
    std::vector<std::string> args = {"-d", root, "-c", "cgi-bin"};
    const harness::Options options =
        through_shell("trap '' HUP INT QUIT; echo $$ >" + pid_file, args);
    Started s(server, client, args, options);
    const std::string request = "gemini://h/cgi-bin/later?ignored";
    send_all(client, request + "\r\n");
    const pid_t tolm = pid_in(pid_file);
    const bool started = appears(ready);
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT})
        if (tolm > 0)
            kill(tolm, signal);
    usleep(300000);
    touch(go);
    std::string error;
    const std::string answer = read_to_end(client, slack, &error);
    const harness::Result run = s.process.finish(slack);
    close(client);
    std::string last;
    count_request_lines(run.log, &last);
    const std::string want = "20 text/plain\r\nlater\n";
    if (tolm == 0 || !started || answer != want || !error.empty() || run.exit_code != 0 ||
        !details(run.log).empty() || last != quoted(request) + "0 " + std::to_string(want.size()))
        fail(name, "answer " + visible(answer) + " " + error + ", exit " +
                       std::to_string(run.exit_code) + ", log " + visible(last) + ", " +
                       std::to_string(details(run.log).size()) + " details");
    printf("sockets: %s\n", name);
}

// Whatever tolm inherits from its front end, a script starts the same:
// descriptors 0, 1 and 2 only (stunnel's exec mode leaks a pipe), every
// signal at its default action and none blocked. SIGCHLD ignored at start
// must not let the kernel reap the script before tolm waits for it.
void cgi_starts_known(const std::string &root, Listener &listener) {
    const char *name = "script's start when tolm inherits a descriptor, a mask and ignored signals";
    int client = -1;
    int server = -1;
    listener.connect_pair(client, server);
    std::vector<std::string> args = {"-d", root, "-c", "cgi-bin"};
    const harness::Options options =
        through_shell("exec 7</dev/null", args,
                      "env --block-signal=TERM,HUP,ALRM,CHLD,USR1 --ignore-signal=HUP,CHLD,USR2");
    Started s(server, client, args, options);
    send_all(client, "gemini://h/cgi-bin/inherited\r\n");
    std::string error;
    const std::string answer = read_to_end(client, slack, &error);
    close(client);
    const harness::Result run = s.process.finish(slack);
    const std::string want = "20 text/plain\r\ndescriptors above 2: none\nSIGPIPE default\n"
                             "blocked: none\nignored: none\n";
    if (answer != want || !error.empty() || run.exit_code != 0 || !details(run.log).empty())
        fail(name, "answer " + visible(answer) + " " + error + ", exit " +
                       std::to_string(run.exit_code) + ", " +
                       std::to_string(details(run.log).size()) + " details");
    printf("sockets: %s: the same as ever\n", name);
}

// Under every super-server the script's standard input is the open
// connection that tolm writes to: tolm never changes its flags. A script
// reading there while its earlier output still waits for the client
// waits for the client's bytes too, and one that made its input
// non-blocking itself keeps it so.
void cgi_shares_connection(const std::string &root, Listener &listener) {
    const struct {
        const char *name;
        const char *request;
        const char *said; // the script's line among the zeros
    } cases[] = {
        {"script reading its client while its output waits", "gemini://h/cgi-bin/shares?read",
         "read answer\n"},
        {"script's own O_NONBLOCK on its input while its output waits",
         "gemini://h/cgi-bin/shares?own", "own O_NONBLOCK kept\n"},
    };
    for (const auto &c : cases) {
        int client = -1;
        int server = -1;
        listener.connect_pair(client, server);
        Started s(server, client, {"-d", root, "-c", "cgi-bin"});
        send_all(client, std::string(c.request) + "\r\n");
        // The script reads, or sets its flag, after 1 s; the client's line
        // comes after 3 s, and only then does it read.
        usleep(3000000);
        send_all(client, "answer\n");
        std::string error;
        const std::string answer = read_to_end(client, io_timeout, &error);
        close(client);
        const harness::Result run = s.process.finish(slack);
        const size_t said = answer.find(c.said);
        const size_t want = 15 + 16000000 + strlen(c.said);
        if (said == std::string::npos || answer.size() != want || !error.empty() ||
            run.exit_code != 0) {
            const size_t end = answer.find_last_not_of('\0');
            fail(c.name, std::to_string(answer.size()) + " of " + std::to_string(want) +
                             " bytes, the script said " +
                             visible(end == std::string::npos || end < 15
                                         ? ""
                                         : answer.substr(answer.find_first_not_of('\0', 15)),
                                     60) +
                             ", " + (error.empty() ? "an end" : error) + ", exit " +
                             std::to_string(run.exit_code));
        }
    }
    printf("sockets: a script's standard input keeps its flags while tolm waits to write\n");
}

// Whether the process waits in the given system call (x86-64 numbers; a
// poll on one descriptor, by poll or ppoll), up to the slack.
constexpr long sys_read = 0, sys_write = 1, sys_poll = 7, sys_sendfile = 40, sys_ppoll = 271;
bool comes_to_wait(pid_t pid, long call) {
    for (const double until = now() + slack; now() < until; usleep(20000)) {
        const int fd = open(("/proc/" + std::to_string(pid) + "/syscall").c_str(), O_RDONLY);
        if (fd < 0)
            return false;
        const std::string text = harness::read_all(fd);
        close(fd);
        char *end = nullptr;
        const long in = strtol(text.c_str(), &end, 10);
        if (end == text.c_str())
            continue;
        const unsigned long first = strtoul(end, &end, 16);
        const unsigned long descriptors = strtoul(end, nullptr, 16);
        (void)first;
        // The relay watches three descriptors (output, client, standard
        // error): every other wait in poll watches one or two.
        if (call == sys_poll ? (in == sys_poll || in == sys_ppoll) && descriptors <= 2 : in == call)
            return true;
    }
    return false;
}

// A file's whole answer handed over and the connection finished, with the
// client still reading it slowly when SIGTERM comes in the drain (it sent
// more than its line): the signal ends the run, never the answer.
void whole_while_reading_slowly(const std::string &root, Listener &listener) {
    const char *name = "SIGTERM in the drain while the client still reads the whole answer";
    const std::string pid_file = root + "/tolm.pid";
    unlink(pid_file.c_str());
    const RoomyPair pair = roomy_pair(listener);
    const int client = pair.client;
    std::vector<std::string> args = {"-d", root};
    const harness::Options options = through_shell("echo $$ >" + pid_file, args);
    Started s(pair.server, client, args, options);
    const std::string request = "gemini://h/mid.bin?drain-slow";
    send_all(client, request + "\r\nmore input");
    const pid_t tolm = pid_in(pid_file);
    const int state = wait_finished(pair);
    std::string answer;
    std::string error;
    char block[4096];
    const ssize_t first = recv(client, block, sizeof block, 0);
    if (first > 0)
        answer.append(block, static_cast<size_t>(first));
    const bool draining = tolm > 0 && comes_to_wait(tolm, sys_poll);
    if (tolm > 0)
        kill(tolm, SIGTERM);
    answer += read_to_end(client, slack, &error);
    close(client);
    const harness::Result run = s.process.finish(slack);
    std::string last;
    count_request_lines(run.log, &last);
    const std::string want =
        "20 application/octet-stream\r\n" + harness::read_file(root + "/mid.bin");
    if (state != fin_wait1 || !draining)
        fail(name, "never came to the drain (TCP state " + std::to_string(state) + ")");
    if (answer != want || !error.empty())
        fail(name, std::to_string(answer.size()) + " of " + std::to_string(want.size()) +
                       " bytes, " + (error.empty() ? "a clean end" : error));
    if (run.timed_out || run.exit_code != 0 || !details(run.log).empty() ||
        last != quoted(request) + "20 " + std::to_string(want.size()))
        fail(name, "exit " + std::to_string(run.exit_code) + ", log " + visible(last));
    printf("sockets: %s: %zu bytes, %s\n", name, answer.size(),
           error.empty() ? "a clean end" : error.c_str());
}

// SIGTERM ends every wait at once: while the request line is awaited, in
// the drain after a whole answer, in a blocking read or write on a pipe,
// while a buffered answer (a listing, a script's output) waits for a
// client that reads nothing or a script's output for a full pipe, and
// while a script runs on after its output, whose whole group hears of it,
// and is killed after the grace also when the script itself obeyed. An interrupted call taken up
// again, or a wait that misses the flag, would hold the run for its whole limit.
void signal_ends_waits(const std::string &root, Listener &listener) {
    const struct {
        const char *name;
        bool pipes; // standard input and output pipes, else a TCP connection
        const char *request;
        long call;          // where tolm waits when the signal comes
        bool whole;         // the client has read the whole answer by then
        int exit_code;      // and the detail "terminated by SIGTERM" with 1
        const char *logged; // the request log line, or its beginning
    } cases[] = {
        {"SIGTERM while the request line is awaited", false, "", sys_poll, false, 1, "\"\" 59 "},
        {"SIGTERM in the drain after a whole answer", false, "gemini://h/a.txt?drain\r\nmore",
         sys_poll, true, 0, "\"gemini://h/a.txt?drain\" 20 21"},
        {"SIGTERM in a blocking read on a pipe", true, "", sys_read, false, 1, "\"\" 59 "},
        {"SIGTERM in sendfile into a full pipe", true, "gemini://h/mid.bin?term\r\n", sys_sendfile,
         false, 1, "\"gemini://h/mid.bin?term\" 20 "},
        {"SIGTERM in a write into a full pipe", true, "gemini://h/many/?term\r\n", sys_write, false,
         1, "\"gemini://h/many/?term\" 20 "},
        {"SIGTERM while a listing waits for a client that reads nothing", false,
         "gemini://h/many/?stuck\r\n", sys_poll, false, 1, "\"gemini://h/many/?stuck\" 20 "},
        {"SIGTERM while a script's output waits for a client that reads nothing", false,
         "gemini://h/cgi-bin/flood?stuck\r\n", sys_poll, false, 1,
         "\"gemini://h/cgi-bin/flood?stuck\" 0 "},
        {"SIGTERM while a script runs on after its output", false,
         "gemini://h/cgi-bin/outlives\r\n", sys_poll, true, 1,
         "\"gemini://h/cgi-bin/outlives\" 0 19"},
        {"SIGTERM while a script's output waits on a full pipe", true,
         "gemini://h/cgi-bin/flood?pipe\r\n", sys_poll, false, 1,
         "\"gemini://h/cgi-bin/flood?pipe\" 0 "},
        {"SIGTERM while a script that obeys it runs on after its output", false,
         "gemini://h/cgi-bin/obeys\r\n", sys_poll, true, 1, "\"gemini://h/cgi-bin/obeys\" 0 19"},
    };
    const std::string pid_file = root + "/tolm.pid";
    const std::string member_pid = root + "/cgi-bin/outlives.pid";
    const std::string member_term = root + "/cgi-bin/outlives.term";
    const std::string obeys_pid = root + "/cgi-bin/obeys.pid";
    for (const auto &c : cases) {
        unlink(pid_file.c_str());
        unlink(member_pid.c_str());
        unlink(member_term.c_str());
        unlink(obeys_pid.c_str());
        // Tight buffers, so that a buffered answer fills them soon.
        int to = -1;
        int from = -1;
        int input = -1;
        int output = -1;
        if (c.pipes) {
            int in_pipe[2];
            int out_pipe[2];
            if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
                die("pipe: %s", strerror(errno));
            input = in_pipe[0];
            to = in_pipe[1];
            from = out_pipe[0];
            output = out_pipe[1];
        } else {
            connect_kind(listener, true, to, input, true);
            from = to;
            output = input;
        }
        std::vector<std::string> args = {"-d", root, "-i", "-c", "cgi-bin"};
        const harness::Options options = through_shell("echo $$ >" + pid_file, args);
        harness::Process run_process(args, "", connected(input, output, options));
        close(input);
        if (output != input)
            close(output);
        if (write(to, c.request, strlen(c.request)) != static_cast<ssize_t>(strlen(c.request)))
            die("write: %s", strerror(errno));
        const pid_t tolm = pid_in(pid_file);
        std::string answer;
        std::string error;
        if (c.whole)
            answer = read_to_end(from, slack, &error);
        else if (!c.pipes && c.request[0] != '\0')
            read_until(from, "\r\n", &answer);
        if (strstr(c.request, "outlives") != nullptr)
            appears(member_pid);
        if (strstr(c.request, "obeys") != nullptr)
            appears(obeys_pid);
        const bool waiting = tolm > 0 && comes_to_wait(tolm, c.call);
        const double signalled = now();
        if (tolm > 0)
            kill(tolm, SIGTERM);
        const harness::Result run = run_process.finish(slack);
        const double took = now() - signalled;
        close(to);
        if (from != to)
            close(from);
        std::string last;
        count_request_lines(run.log, &last);
        const std::vector<std::string> want_details =
            c.exit_code == 0 ? std::vector<std::string>{} : std::vector<std::string>{told_to_stop};
        note("sockets: %s: ended %.2f s after it\n", c.name, took);
        if (!waiting)
            fail(c.name, "tolm never came to wait there");
        if (run.timed_out || run.exit_code != c.exit_code || own_details(run.log) != want_details ||
            last.rfind(c.logged, 0) != 0)
            fail(c.name, "exit " + std::to_string(run.exit_code) +
                             (run.timed_out ? ", still running" : "") + ", log " + visible(last) +
                             ", " + std::to_string(details(run.log).size()) + " details");
        // The drain lasts 2 s: ending at once means well before that.
        if (took > (c.exit_code == 0 ? drain - 0.5 : late))
            fail(c.name, "ended " + std::to_string(took) + " s after the signal");
        if (c.whole && (answer.compare(0, 3, "20 ") != 0 || !error.empty()))
            fail(c.name, "answer " + visible(answer, 100) + " " + error);
        if (strstr(c.request, "outlives") != nullptr) {
            const pid_t member = pid_in(member_pid);
            if (!exists(member_term))
                fail(c.name, "SIGTERM did not reach the script's group");
            if (member <= 1 || !ended(member))
                fail(c.name, "a member of the script's group outlived the run");
        }
        // The script itself ended at once; the member that ignores SIGTERM
        // still gets the SIGKILL.
        if (strstr(c.request, "obeys") != nullptr) {
            const pid_t member = pid_in(obeys_pid);
            if (member <= 1 || !ended(member))
                fail(c.name, "a member of the script's group outlived the run");
        }
    }
    printf("sockets: SIGTERM ends every wait at once\n");
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 2)
        die("usage: %s TOLM [--repeat N]", argv[0]);
    harness::set_binary(argv[1]);
    int repeat = 200;
    if (argc >= 4 && strcmp(argv[2], "--repeat") == 0)
        repeat = atoi(argv[3]);
    Terminal hint_tty;
    Terminal detail_tty;
    if (!harness::capture_log()) {
        printf("SKIP: %s: the socket tests need a private /dev/log\n",
               harness::uncaptured_why().c_str());
        return 77;
    }
    std::string slow(20 << 20, '\0');
    for (size_t i = 0; i < slow.size(); ++i)
        slow[i] = static_cast<char>((i * 2654435761u) >> 13);
    const harness::Tree tree(std::vector<harness::Node>{
        {"a.txt", "alpha\n"},
        {"slow.bin", slow},
        {"mid.bin", slow.substr(0, 4 << 20)},
        {"cgi-bin/flood", "#!/bin/sh\nprintf '20 text/plain\\r\\n'\nexec cat /dev/zero\n", "",
         0755},
        // Reads its standard input, the client, which sends nothing more.
        // Each script ends by itself in the end, should a broken tolm
        // leave it running.
        {"cgi-bin/waits", "#!/bin/sh\nfor i in 1 2 3 4; do read -r line && break; done\n", "",
         0755},
        {"cgi-bin/stream",
         "#!/bin/sh\nprintf '20 text/plain\\r\\nfirst\\n'\n"
         "while [ ! -e stream.go ]; do sleep 0.05; done\necho second\nexec >&-\n"
         "while [ ! -e stream.done ]; do sleep 0.05; done\n",
         "", 0755},
        // Its background child says when SIGTERM reaches it, once it
        // listens for it.
        {"cgi-bin/lingers",
         "#!/bin/sh\nsh -c 'trap \"touch lingers.term; exit 0\" TERM; echo $$ >lingers.pid; "
         "for i in $(seq 600); do sleep 0.1; done' &\nwait\n",
         "", 0755},
        {"cgi-bin/noisy",
         "#!/bin/sh\necho oops >&2\nprintf '20 text/plain\\r\\n'\n"
         "mask=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status)\n"
         "if [ $((0x$mask & 0x1000)) -eq 0 ]; then echo SIGPIPE default; else echo SIGPIPE "
         "ignored; fi\n",
         "", 0755},
        {"cgi-bin/plain", "#!/bin/sh\nprintf '20 text/plain\\r\\nno\\n'\n", "", 0644},
        {"cgi-bin/crlf", "#!/bin/sh\r\nprintf '20 text/plain\\r\\nok\\n'\r\n", "", 0755},
        {"cgi-bin/nointerp", "#!/nonexistent/python3\nprint('20 text/plain')\n", "", 0755},
        {"cgi-bin/trapper",
         "#!/bin/sh\ntrap 'touch trapper.term; exit 1' TERM\ntouch trapper.ready\n"
         "for i in $(seq 600); do sleep 0.1; done\n",
         "", 0755},
        {"cgi-bin/count", "#!/bin/sh\nprintf '20 text/plain\\r\\n'\nexec seq 1 600000\n", "", 0755},
        {"cgi-bin/at-once", "#!/bin/sh\nprintf '20 text/plain\\r\\nat once\\n'\n", "", 0755},
        {"cgi-bin/pause", "#!/bin/sh\nsleep 1\nprintf '20 text/plain\\r\\nafter a pause\\n'\n", "",
         0755},
        {"cgi-bin/mid",
         "#!/bin/sh\nprintf '20 application/octet-stream\\r\\n'\nexec cat ../mid.bin\n", "", 0755},
        // Its background child ignores SIGTERM; the script itself obeys it.
        {"cgi-bin/stubborn",
         "#!/bin/sh\n(trap '' TERM; exec sleep 60) &\necho $! >stubborn.pid\nwait\n", "", 0755},
        {"cgi-bin/steady",
         "#!/bin/sh\nprintf '20 text/plain\\r\\n'\n"
         "for i in 1 2 3 4 5 6 7 8 9 10; do echo \"line $i\"; [ $i = 10 ] || sleep 4; done\n",
         "", 0755},
        {"cgi-bin/runs-on",
         "#!/bin/sh\nsh -c 'trap \"touch runs-on.term; exit 0\" TERM; "
         "for i in $(seq 600); do sleep 0.1; done' >/dev/null &\n"
         "echo $$ >runs-on.pid\nprintf '20 text/plain\\r\\nbye\\n'\nexec >&-\n"
         "for i in $(seq 600); do sleep 0.1; done\n",
         "", 0755},
        // Obeys SIGTERM; its background child ignores it.
        {"cgi-bin/obeys",
         "#!/bin/sh\nsh -c 'trap \"\" TERM; echo $$ >obeys.pid; exec sleep 60' >/dev/null &\n"
         "printf '20 text/plain\\r\\nbye\\n'\nexec >&-\nwait\n",
         "", 0755},
        // Its standard input is the client; the ticker ends by itself
        // should the read never return.
        {"cgi-bin/asks",
         "#!/bin/sh\nprintf '20 text/plain\\r\\n'\n"
         "(for i in $(seq 90); do echo tick; sleep 1; done) &\n"
         "if read -r line; then echo \"read $line\"; else echo 'no input'; fi\nkill $!\n",
         "", 0755},
        {"cgi-bin/later",
         "#!/bin/sh\ntouch later.ready\nwhile [ ! -e later.go ]; do sleep 0.05; done\n"
         "printf '20 text/plain\\r\\nlater\\n'\n",
         "", 0755},
        // A member of its group says when SIGTERM reaches it; the script
        // itself ignores SIGTERM and is left to the SIGKILL after the grace.
        {"cgi-bin/outlives",
         "#!/bin/sh\nsh -c 'trap \"touch outlives.term; exit 0\" TERM; echo $$ >outlives.pid; "
         "for i in $(seq 600); do sleep 0.1; done' >/dev/null &\ntrap '' TERM\n"
         "printf '20 text/plain\\r\\nbye\\n'\nexec >&-\nfor i in $(seq 600); do sleep 0.1; done\n",
         "", 0755},
        {"cgi-bin/hands-over",
         "#!/bin/sh\necho $$ >hands-over.pid\nprintf '20 application/octet-stream\\r\\n'\n"
         "head -c 3000000 /dev/zero\nexec >&-\nfor i in $(seq 600); do sleep 0.1; done\n",
         "", 0755},
        {"cgi-bin/large",
         "#!/bin/sh\nprintf '20 application/octet-stream\\r\\n'\nexec cat ../slow.bin\n", "", 0755},
        {"cgi-bin/inherited", "", CGI_PROBE},
        // 16 MB in the background, then after 1 s a read of its standard
        // input, or its own O_NONBLOCK there, looked at once the writer is
        // done.
        {"cgi-bin/shares",
         "#!/bin/sh\nprintf '20 text/plain\\r\\n'\nhead -c 16000000 /dev/zero &\nsleep 1\n"
         "if [ \"$QUERY_STRING\" = own ]; then\n"
         "  dd iflag=nonblock count=0 2>/dev/null\n  wait\n  sleep 1\n"
         "  flags=$(sed -n 's/^flags:[[:space:]]*//p' /proc/$$/fdinfo/0)\n"
         "  if [ $((0$flags & 04000)) -ne 0 ]; then echo 'own O_NONBLOCK kept'; "
         "else echo 'own O_NONBLOCK lost'; fi\n"
         "elif read -r line; then echo \"read $line\"; else echo 'no input'; fi\nwait\n",
         "", 0755},
    });
    const std::string &root = tree.dir();
    for (int i = 0; i < listed; ++i)
        tree.add({"many/" + listed_name(i), ""});
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
    hang_ups(root, listener, 40);
    closing(root, listener);
    shrinking_file(root, listener);
    cgi_streams(root, listener);
    cgi_into_file(root, slow);
    cgi_client_leaves(root, listener);
    cgi_client_keeps_reading(root, listener);
    cgi_inherits(root, listener);
    cgi_failures_explained(root, listener);
    terminated(root, listener);
    whole_then_terminated(root, listener);
    standard_error(root, listener);
    at_a_terminal(root, hint_tty, detail_tty);
    in_pieces(root, listener);
    cgi_client_sends_more(root, listener);
    ignored_stay_ignored(root, listener);
    cgi_starts_known(root, listener);
    cgi_shares_connection(root, listener);
    signal_ends_waits(root, listener);
    whole_while_reading_slowly(root, listener);
    slow_clients(root, listener, slow);
    printf("sockets: %d failures\n", failures.load());
    return failures == 0 ? 0 : 1;
}
