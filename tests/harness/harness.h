// Runs the real tolm binary as a child, bounded in time, with chosen
// descriptors, while this process receives what it sends to the system log;
// builds the fixture content trees it serves. Shared by the golden tests,
// the property test and the socket tests.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

[[noreturn]] void die(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// One entry of a fixture tree. A path ending in "/" is a directory; with
// `link` set the entry is a symbolic link to that text (a leading "{root}"
// stands for the tree's directory); with `mode` of type S_IFIFO or S_IFSOCK
// a FIFO or a bound socket's name; otherwise a file.
struct Node {
    std::string path;
    std::string content;
    std::string link;
    mode_t mode = 0;
};

// A temporary directory, world-searchable so that runs as an unprivileged
// account can use it; removed with everything in it. Its name always has
// tree_dir_length bytes, so that tables can build paths of exact lengths.
constexpr char tree_dir_template[] = "/tmp/tolm-test.XXXXXX";
constexpr size_t tree_dir_length = sizeof tree_dir_template - 1;
class Tree {
  public:
    explicit Tree(const std::vector<Node> &nodes = {});
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;
    ~Tree();
    const std::string &dir() const { return dir_; }
    std::string at(const std::string &rel) const { return dir_ + "/" + rel; }
    void add(const Node &node) const;

  private:
    std::string dir_;
};

// A private mount namespace with a /dev of our own whose /dev/log is a
// datagram socket bound by this process: nothing touches the machine's own
// /dev. Needs root and a "/" that is a mount point (not so in some chroots
// and containers); false (and nothing captured) otherwise, with the reason
// in uncaptured_why().
bool capture_log();
bool log_captured();
const std::string &uncaptured_why();

// One datagram in the form "<pri>tag: message", or glibc's, with a time
// stamp "Mmm dd hh:mm:ss " before the tag.
struct LogLine {
    int priority = -1; // -1 when the datagram is not in that form
    std::string tag;
    std::string text; // the message, or the whole datagram when not parsed
    std::string raw;  // the whole datagram
};

struct Result {
    std::string out; // empty when standard output was a given descriptor
    std::string err;
    int exit_code = -1; // -1 when ended by a signal
    int signal = 0;
    bool timed_out = false; // killed at the time limit
    double seconds = 0;     // from start to end
    // Every log line received since the previous run ended, in arrival order.
    std::vector<LogLine> log;
};

struct Options {
    int stdin_fd = -1;             // standard input from this descriptor instead of the input bytes
    int stdout_fd = -1;            // standard output to this descriptor (out stays empty)
    bool stderr_is_stdout = false; // descriptor 2 shares descriptor 1
    int stderr_fd = -1;            // else standard error to this descriptor (err stays empty)
    bool as_nobody = false;
    std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
    double timeout = 20; // seconds
    std::string program; // run this instead of the binary under test (argv[0] too)
};

// The binary under test: the build's own tolm unless set.
const std::string &binary();
void set_binary(std::string path);

// A started tolm. finish() feeds the input, collects the output and waits;
// a process never finished is killed when this goes.
class Process {
  public:
    Process(const std::vector<std::string> &args, std::string input, const Options &options = {});
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process();
    bool running() const;
    // Waits at most timeout seconds from now, then kills.
    Result finish(double timeout);

  private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string input_;
    double started_ = 0;
};

Result run(const std::vector<std::string> &args, const std::string &input,
           const Options &options = {});

std::string read_file(const std::string &path);
// Everything up to the end of input.
std::string read_all(int fd);
double now(); // monotonic seconds

uid_t nobody_uid();
gid_t nobody_gid();

// The header line: two digits, a blank, a meta without a line feed, CR LF.
// Gives the code, or -1 when the output does not begin with one.
int header_code(const std::string &out, std::string *meta = nullptr);

// Shows control bytes, so that a failing comparison points at the
// difference; text beyond limit bytes is left out.
std::string visible(const std::string &bytes, size_t limit = std::string::npos);

} // namespace harness
