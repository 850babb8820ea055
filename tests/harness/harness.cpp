#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

namespace {

int log_fd = -1;
std::string log_why = "not captured yet";

#ifdef TOLM_BINARY
std::string binary_path = TOLM_BINARY;
#else
std::string binary_path;
#endif

void write_file(const std::string &path, const std::string &content, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        die("%s: %s", visible(path).c_str(), strerror(errno));
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            die("write %s: %s", visible(path).c_str(), strerror(errno));
        done += static_cast<size_t>(n);
    }
    fchmod(fd, mode);
    close(fd);
}

// Never follows a link: fixtures hold links to /dev/null and the like, and
// a mode changed through one would change the machine's device. Only
// directories get a mode (fixtures may hold unreadable ones); everything
// else is unlinked as it is.
void remove_tree(int parent, const char *name) {
    struct stat st {};
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        unlinkat(parent, name, 0);
        return;
    }
    fchmodat(parent, name, 0700, 0);
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr) {
        std::vector<std::string> names;
        while (const struct dirent *e = readdir(dir))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        for (const std::string &n : names)
            remove_tree(dirfd(dir), n.c_str());
        closedir(dir);
    } else if (fd >= 0) {
        close(fd);
    }
    unlinkat(parent, name, AT_REMOVEDIR);
}

// tolm sends "<pri>tag: message"; glibc puts a time stamp
// "Mmm dd hh:mm:ss " before the tag.
bool stamped(const std::string &dgram, size_t at) {
    return dgram.size() > at + 16 && dgram.compare(at + 3, 1, " ") == 0 &&
           dgram.compare(at + 6, 1, " ") == 0 && dgram.compare(at + 9, 1, ":") == 0 &&
           dgram.compare(at + 12, 1, ":") == 0 && dgram.compare(at + 15, 1, " ") == 0;
}

LogLine parse_log(const std::string &dgram) {
    LogLine line;
    line.text = dgram;
    line.raw = dgram;
    const size_t close = dgram.find('>');
    if (dgram.empty() || dgram[0] != '<' || close == std::string::npos)
        return line;
    const size_t tag_start = close + 1 + (stamped(dgram, close + 1) ? 16 : 0);
    const size_t tag_end = dgram.find(": ", tag_start);
    if (tag_start > dgram.size() || tag_end == std::string::npos)
        return line;
    line.priority = atoi(dgram.c_str() + 1);
    line.tag = dgram.substr(tag_start, tag_end - tag_start);
    line.text = dgram.substr(tag_end + 2);
    return line;
}

void collect_log(std::vector<LogLine> &log) {
    if (log_fd < 0)
        return;
    char buf[65536];
    ssize_t n;
    while ((n = recv(log_fd, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
        log.push_back(parse_log(std::string(buf, static_cast<size_t>(n))));
}

void bind_into(const std::string &dir, const char *name) {
    const std::string src = std::string("/dev/") + name;
    if (access(src.c_str(), F_OK) != 0)
        return;
    const std::string dst = dir + "/" + name;
    write_file(dst, "", 0666);
    if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0)
        die("bind %s: %s", src.c_str(), strerror(errno));
}

void close_fd(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("FAIL: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(2);
}

Tree::Tree(const std::vector<Node> &nodes) {
    char tmpl[sizeof tree_dir_template];
    memcpy(tmpl, tree_dir_template, sizeof tmpl);
    if (mkdtemp(tmpl) == nullptr)
        die("mkdtemp: %s", strerror(errno));
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    for (const Node &n : nodes)
        add(n);
}

Tree::~Tree() {
    remove_tree(AT_FDCWD, dir_.c_str());
}

void Tree::add(const Node &node) const {
    const std::string full = at(node.path);
    // Create missing parent directories, so a table need not list them.
    for (size_t slash = full.find('/', dir_.size() + 1); slash != std::string::npos;
         slash = full.find('/', slash + 1))
        mkdir(full.substr(0, slash).c_str(), 0755);
    if (!node.link.empty()) {
        std::string target = node.link;
        if (target.rfind("{root}", 0) == 0)
            target.replace(0, 6, dir_);
        if (symlink(target.c_str(), full.c_str()) != 0)
            die("symlink %s: %s", visible(full).c_str(), strerror(errno));
    } else if (S_ISFIFO(node.mode)) {
        if (mkfifo(full.c_str(), 0644) != 0)
            die("mkfifo %s: %s", visible(full).c_str(), strerror(errno));
    } else if (S_ISSOCK(node.mode)) {
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        if (full.size() >= sizeof addr.sun_path)
            die("socket path too long: %s", visible(full).c_str());
        memcpy(addr.sun_path, full.c_str(), full.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            die("bind %s: %s", visible(full).c_str(), strerror(errno));
        close(fd);
    } else if (!node.path.empty() && node.path.back() == '/') {
        if (mkdir(full.c_str(), 0755) != 0 && errno != EEXIST)
            die("mkdir %s: %s", visible(full).c_str(), strerror(errno));
        struct stat st {};
        if (node.mode != 0 && lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            chmod(full.c_str(), node.mode);
    } else {
        write_file(full, node.content, node.mode != 0 ? node.mode : 0644);
    }
}

const std::string &binary() {
    return binary_path;
}

void set_binary(std::string path) {
    binary_path = std::move(path);
}

std::string read_all(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

std::string read_file(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die("%s: %s", visible(path).c_str(), strerror(errno));
    std::string s = read_all(fd);
    close(fd);
    return s;
}

namespace {

// The account a run switches to may not reach the build's binary (a
// checkout in root's home is mode 0700): such runs start a copy in a
// world-searchable directory, made once per test program.
const std::string &nobodys_binary() {
    static const Tree copy({{"tolm", read_file(binary()), "", 0755}});
    static const std::string path = copy.at("tolm");
    return path;
}

} // namespace

double now() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

uid_t nobody_uid() {
    const struct passwd *pw = getpwnam("nobody");
    return pw != nullptr ? pw->pw_uid : 65534;
}

gid_t nobody_gid() {
    const struct passwd *pw = getpwnam("nobody");
    return pw != nullptr ? pw->pw_gid : 65534;
}

Process::Process(const std::vector<std::string> &args, std::string input, const Options &options)
    : input_(std::move(input)), started_(now()) {
    int in[2] = {options.stdin_fd, -1};
    int out[2] = {options.stdout_fd, -1};
    int err[2] = {-1, -1};
    if ((options.stdin_fd < 0 && pipe2(in, O_CLOEXEC) != 0) ||
        (options.stdout_fd < 0 && pipe2(out, O_CLOEXEC) != 0) ||
        (!options.stderr_is_stdout && options.stderr_fd < 0 && pipe2(err, O_CLOEXEC) != 0))
        die("pipe: %s", strerror(errno));
    std::vector<std::string> argv_text = {!options.program.empty() ? options.program
                                          : options.as_nobody      ? nobodys_binary()
                                                                   : binary()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = options.env;
    std::vector<char *> envp;
    for (auto &e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        die("fork: %s", strerror(errno));
    if (pid_ == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1] >= 0 ? out[1] : out[0], 1);
        dup2(options.stderr_is_stdout ? 1 : options.stderr_fd >= 0 ? options.stderr_fd : err[1], 2);
        // A super-server hands over the connection and nothing else: any
        // other descriptor a script sees then came from tolm.
        syscall(SYS_close_range, 3U, ~0U, 0U);
        if (options.as_nobody) {
            const gid_t gid = nobody_gid();
            if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 ||
                setresuid(nobody_uid(), nobody_uid(), nobody_uid()) != 0)
                _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0)
        die("pidfd_open: %s", strerror(errno));
    // Keep only this side's ends; given descriptors stay the caller's.
    if (options.stdin_fd < 0) {
        close(in[0]);
        in_ = in[1];
    }
    if (options.stdout_fd < 0) {
        close(out[1]);
        out_ = out[0];
    }
    if (!options.stderr_is_stdout && options.stderr_fd < 0) {
        close(err[1]);
        err_ = err[0];
    }
    if (input_.empty())
        close_fd(in_);
    for (int fd : {in_, out_, err_})
        if (fd >= 0)
            fcntl(fd, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int *fd : {&in_, &out_, &err_, &pidfd_})
        close_fd(*fd);
}

bool Process::running() const {
    struct pollfd p = {pidfd_, POLLIN, 0};
    return pid_ > 0 && poll(&p, 1, 0) == 0;
}

Result Process::finish(double timeout) {
    Result r;
    const double deadline = now() + timeout;
    size_t written = 0;
    bool exited = false;
    char buf[65536];
    while (out_ >= 0 || err_ >= 0 || !exited) {
        const double left = deadline - now();
        if (left <= 0) {
            kill(pid_, SIGKILL);
            r.timed_out = true;
            break;
        }
        struct pollfd p[4] = {{out_, POLLIN, 0},
                              {err_, POLLIN, 0},
                              {in_, POLLOUT, 0},
                              {exited ? -1 : pidfd_, POLLIN, 0}};
        if (poll(p, 4, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR)
            die("poll: %s", strerror(errno));
        if (p[2].revents != 0) {
            const ssize_t n = write(in_, input_.data() + written, input_.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n < 0 || written == input_.size())
                close_fd(in_);
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents == 0)
                continue;
            const ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EAGAIN)
                close_fd(i == 0 ? out_ : err_);
        }
        exited = exited || p[3].revents != 0;
    }
    int wstatus = 0;
    waitpid(pid_, &wstatus, 0);
    pid_ = -1;
    r.seconds = now() - started_;
    if (WIFEXITED(wstatus))
        r.exit_code = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        r.signal = WTERMSIG(wstatus);
    for (int *fd : {&in_, &out_, &err_, &pidfd_})
        close_fd(*fd);
    collect_log(r.log);
    return r;
}

Result run(const std::vector<std::string> &args, const std::string &input, const Options &options) {
    return Process(args, input, options).finish(options.timeout);
}

bool log_captured() {
    return log_fd >= 0;
}

const std::string &uncaptured_why() {
    return log_why;
}

// /dev has no log socket on these machines, and the real one must not be
// touched: give this process a private /dev that holds the device nodes the
// runs need plus a socket of our own.
bool capture_log() {
    signal(SIGPIPE, SIG_IGN);
    if (geteuid() != 0) {
        log_why = "not root";
    } else if (unshare(CLONE_NEWNS) != 0 ||
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        const int err = errno;
        log_why = std::string("no private mount namespace (") + strerror(err) +
                  (err == EINVAL ? ": \"/\" is not a mount point here)" : ")");
    } else {
        log_why.clear();
    }
    if (!log_why.empty()) {
        fprintf(stderr, "harness: %s: syslog lines are not captured\n", log_why.c_str());
        return false;
    }
    char tmpl[] = "/tmp/tolm-dev.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        die("mkdtemp: %s", strerror(errno));
    const std::string dir = tmpl;
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=755") != 0)
        die("tmpfs: %s", strerror(errno));
    for (const char *name : {"null", "zero", "full", "random", "urandom", "tty"})
        bind_into(dir, name);
    symlink("/proc/self/fd", (dir + "/fd").c_str());
    symlink("/proc/self/fd/0", (dir + "/stdin").c_str());
    symlink("/proc/self/fd/1", (dir + "/stdout").c_str());
    symlink("/proc/self/fd/2", (dir + "/stderr").c_str());
    if (mount(dir.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        die("bind over /dev: %s", strerror(errno));
    umount2(dir.c_str(), MNT_DETACH);
    rmdir(dir.c_str());

    log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (log_fd < 0 || bind(log_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        die("bind /dev/log: %s", strerror(errno));
    chmod("/dev/log", 0666);
    const int size = 4 << 20;
    setsockopt(log_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return true;
}

int header_code(const std::string &out, std::string *meta) {
    const size_t lf = out.find('\n');
    if (lf == std::string::npos || lf < 4 || out[lf - 1] != '\r')
        return -1;
    if (!isdigit(static_cast<unsigned char>(out[0])) ||
        !isdigit(static_cast<unsigned char>(out[1])) || out[2] != ' ')
        return -1;
    if (meta != nullptr)
        *meta = out.substr(3, lf - 4);
    return (out[0] - '0') * 10 + (out[1] - '0');
}

std::string visible(const std::string &bytes, size_t limit) {
    std::string s;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (c == '\\')
            s += "\\\\";
        else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            s += b;
        } else
            s += static_cast<char>(c);
    }
    if (bytes.size() > limit)
        s += "...(" + std::to_string(bytes.size()) + " bytes)";
    return s;
}

} // namespace harness
