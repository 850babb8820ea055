#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace harness {

namespace {

int log_fd = -1;

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "harness: %s: %s\n", what, strerror(errno));
    exit(2);
}

void write_file(const std::string &path, const std::string &content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        fail(path.c_str());
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            fail(path.c_str());
        done += static_cast<size_t>(n);
    }
    close(fd);
    chmod(path.c_str(), mode);
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    // Fixtures may hold unreadable directories; make them removable first.
    chmod(path, 0700);
    return remove(path);
}

long now_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// glibc sends "<pri>Mmm dd hh:mm:ss tag[pid]: message".
void parse_log(const std::string &dgram, Result &r) {
    size_t close = dgram.find('>');
    if (dgram.empty() || dgram[0] != '<' || close == std::string::npos) {
        r.log.push_back("unparsed:" + dgram);
        return;
    }
    std::string pri = dgram.substr(0, close + 1);
    size_t tag_start = close + 1 + 16;
    size_t tag_end = dgram.find(": ", tag_start);
    if (tag_start > dgram.size() || tag_end == std::string::npos) {
        r.log.push_back("unparsed:" + dgram);
        return;
    }
    r.tags.push_back(dgram.substr(tag_start, tag_end - tag_start));
    r.log.push_back(pri + dgram.substr(tag_end + 2));
}

void collect_log(Result &r) {
    if (log_fd < 0)
        return;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(log_fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0)
            return;
        parse_log(std::string(buf, static_cast<size_t>(n)), r);
    }
}

void bind_into(const std::string &dir, const char *name) {
    std::string src = std::string("/dev/") + name;
    if (access(src.c_str(), F_OK) != 0)
        return;
    std::string dst = dir + "/" + name;
    write_file(dst, "", 0666);
    if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0)
        fail("bind mount of a device");
}

} // namespace

Tree::Tree(const std::vector<Node> &nodes) {
    char tmpl[] = "/tmp/tolm-test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        fail("mkdtemp");
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    for (const Node &n : nodes)
        add(n);
}

Tree::~Tree() {
    nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void Tree::add(const Node &node) const {
    std::string full = at(node.path);
    // Create missing parent directories, so a table need not list them.
    for (size_t slash = full.find('/', dir_.size() + 1); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
        std::string parent = full.substr(0, slash);
        mkdir(parent.c_str(), 0755);
    }
    if (!node.link.empty()) {
        std::string target = node.link;
        if (target.rfind("{root}", 0) == 0)
            target.replace(0, 6, dir_);
        if (symlink(target.c_str(), full.c_str()) != 0)
            fail(full.c_str());
    } else if (!node.path.empty() && node.path.back() == '/') {
        mkdir(full.c_str(), 0755);
        if (node.mode != 0)
            chmod(full.c_str(), node.mode);
    } else {
        write_file(full, node.content, node.mode != 0 ? node.mode : 0644);
    }
}

std::string binary() {
    return TOLM_BINARY;
}

std::string read_file(const std::string &path) {
    std::string s;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(path.c_str());
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

uid_t nobody_uid() {
    const struct passwd *pw = getpwnam("nobody");
    return pw != nullptr ? pw->pw_uid : 65534;
}

gid_t nobody_gid() {
    const struct passwd *pw = getpwnam("nobody");
    return pw != nullptr ? pw->pw_gid : 65534;
}

Result run(const std::vector<std::string> &args, const std::string &input, const Options &options) {
    Result r;
    collect_log(r); // discard anything left over from an earlier run
    r = Result{};

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        fail("pipe");
    std::vector<std::string> argv_text = {binary()};
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

    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(options.stderr_is_stdout ? out[1] : err[1], 2);
        if (options.as_nobody) {
            gid_t gid = nobody_gid();
            if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 ||
                setresuid(nobody_uid(), nobody_uid(), nobody_uid()) != 0)
                _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    int in_fd = in[1];
    size_t written = 0;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    if (in_fd >= 0)
        fcntl(in_fd, F_SETFL, O_NONBLOCK);

    const long deadline = now_ms() + options.timeout_seconds * 1000L;
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open) {
        long left = deadline - now_ms();
        if (left <= 0) {
            kill(pid, SIGKILL);
            r.err += "\n[harness: timed out]";
            break;
        }
        struct pollfd p[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                              {err_open ? err[0] : -1, POLLIN, 0},
                              {in_fd, POLLOUT, 0}};
        if (poll(p, 3, static_cast<int>(left)) < 0 && errno != EINTR)
            fail("poll");
        if (p[2].revents != 0) {
            ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n < 0 || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents == 0)
                continue;
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EAGAIN)
                (i == 0 ? out_open : err_open) = false;
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    close(out[0]);
    close(err[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus))
        r.exit_code = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        r.signal = WTERMSIG(wstatus);
    collect_log(r);
    return r;
}

bool log_captured() {
    return log_fd >= 0;
}

// /dev has no log socket on these machines, and the real one must not be
// touched: give this process a private /dev that holds the device nodes the
// runs need plus a socket of our own.
void capture_log() {
    signal(SIGPIPE, SIG_IGN);
    if (geteuid() != 0) {
        fprintf(stderr, "harness: not root: syslog lines are not captured\n");
        return;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "harness: no private mount namespace (%s): syslog not captured\n",
                strerror(errno));
        return;
    }
    char tmpl[] = "/tmp/tolm-dev.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        fail("mkdtemp");
    std::string dir = tmpl;
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=755") != 0)
        fail("tmpfs");
    for (const char *name : {"null", "zero", "full", "random", "urandom", "tty"})
        bind_into(dir, name);
    symlink("/proc/self/fd", (dir + "/fd").c_str());
    symlink("/proc/self/fd/0", (dir + "/stdin").c_str());
    symlink("/proc/self/fd/1", (dir + "/stdout").c_str());
    symlink("/proc/self/fd/2", (dir + "/stderr").c_str());
    if (mount(dir.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        fail("bind over /dev");
    umount2(dir.c_str(), MNT_DETACH);
    rmdir(dir.c_str());

    log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (log_fd < 0 || bind(log_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fail("bind /dev/log");
    chmod("/dev/log", 0666);
    int size = 4 << 20;
    setsockopt(log_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

std::string visible(const std::string &bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        char b[8];
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (c == '\\')
            s += "\\\\";
        else if (c < 0x20 || c >= 0x7f) {
            snprintf(b, sizeof b, "\\x%02x", c);
            s += b;
        } else
            s += static_cast<char>(c);
    }
    return s;
}

} // namespace harness
