// Runs the real tolm binary against fixture content trees and captures what
// it leaves behind: standard output and error, exit status, syslog lines.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

// One entry of a fixture tree. A path ending in "/" is a directory; with
// `link` set the entry is a symbolic link to that text (a leading "{root}"
// stands for the tree's directory); otherwise a file.
struct Node {
    std::string path;
    std::string content;
    std::string link;
    mode_t mode = 0;
};

// A temporary directory, world-searchable so that runs as an unprivileged
// account can use it; removed with everything in it.
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

struct Result {
    std::string out;
    std::string err;
    int exit_code = -1; // -1 when ended by a signal
    int signal = 0;
    std::vector<std::string> log;  // "<pri>message", in arrival order
    std::vector<std::string> tags; // the tag of each log line
};

struct Options {
    bool as_nobody = false;
    bool stderr_is_stdout = false; // descriptor 2 shares descriptor 1's pipe
    std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
    int timeout_seconds = 20;
};

std::string binary();
std::string read_file(const std::string &path);
Result run(const std::vector<std::string> &args, const std::string &input,
           const Options &options = {});

// True once the test process owns /dev/log in a private mount namespace.
bool log_captured();
// Sets up the capture; call once from main before any test runs.
void capture_log();

uid_t nobody_uid();
gid_t nobody_gid();

// Shows control bytes, so that a failing comparison points at the difference.
std::string visible(const std::string &bytes);

} // namespace harness
