// Running the real tolm binary as a child with chosen descriptors, bounded
// in time, while this process receives what it sends to the system log.
// Shared by the property test and the socket tests.
#pragma once

#include <string>
#include <vector>

namespace check {

// A private mount namespace with a /dev of our own whose /dev/log is a
// datagram socket bound by this process. Needs root; false otherwise.
bool capture_syslog();

struct LogLine {
    int priority;
    std::string text; // the message after "tag: " or "tag[pid]: "
};
// Every message received since the last call, in arrival order.
std::vector<LogLine> take_log();

struct Run {
    bool timed_out = false;
    int exit_status = -1; // -1 when ended by a signal
    int signal = 0;
    double seconds = 0;
    std::string out;
    std::string err;
};

struct Spawn {
    std::vector<std::string> args; // after the program name
    std::string input;             // standard input, from a memory file
    int stdin_fd = -1;             // or this descriptor for standard input
    int stdout_fd = -1;            // or this for standard output (out stays empty)
    double timeout = 5;
};

// The path of the binary under test.
const std::string &tolm();
void set_tolm(std::string path);

// Starts tolm and returns its pid without waiting.
int start(const Spawn &spawn, int out_fd, int err_fd);
// Waits for pid at most timeout seconds, then kills it.
void wait_for(int pid, double timeout, Run &run);
// start + wait_for, collecting standard output and error.
Run run_tolm(const Spawn &spawn);

// The header line: two digits, a blank, a meta without a line feed, CR LF.
// Gives the code, or -1 when the output does not begin with one.
int header_code(const std::string &out, std::string *meta = nullptr);

// Files for fixtures; each ends the test on failure.
std::string make_temp_dir(const char *prefix);
void write_file(const std::string &path, const std::string &bytes, int mode = 0644);
void make_dir(const std::string &path, int mode = 0755);
void make_link(const std::string &target, const std::string &path);
void remove_tree(const std::string &path);

[[noreturn]] void die(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Printable form of bytes for failure messages.
std::string show(const std::string &bytes, size_t limit = 200);

} // namespace check
