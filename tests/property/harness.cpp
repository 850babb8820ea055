#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace check {

namespace {

int log_socket = -1;
std::string binary;

double now() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int memory_file(const char *name, const std::string &bytes) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0)
        die("memfd_create: %s", strerror(errno));
    if (!bytes.empty() &&
        write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        die("write memfd: %s", strerror(errno));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string read_all(int fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char block[65536];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0)
        text.append(block, static_cast<size_t>(n));
    return text;
}

void bind_node(const std::string &dir, const char *name) {
    const std::string real = std::string("/dev/") + name;
    const std::string node = dir + "/" + name;
    struct stat st {};
    if (stat(real.c_str(), &st) != 0)
        return;
    const int fd = open(node.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd >= 0)
        close(fd);
    if (mount(real.c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0)
        die("bind %s: %s", real.c_str(), strerror(errno));
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

} // namespace

void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("FAIL: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(1);
}

const std::string &tolm() {
    return binary;
}

void set_tolm(std::string path) {
    binary = std::move(path);
}

// Nothing here touches the machine's own /dev: the new /dev exists only in
// this process's mount namespace and in its children.
bool capture_syslog() {
    if (geteuid() != 0)
        return false;
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const std::string dir = make_temp_dir("tolm-dev");
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=755") != 0)
        die("tmpfs: %s", strerror(errno));
    for (const char *name : {"null", "zero", "full", "random", "urandom", "tty"})
        bind_node(dir, name);
    symlink("/proc/self/fd", (dir + "/fd").c_str());
    symlink("/proc/self/fd/0", (dir + "/stdin").c_str());
    symlink("/proc/self/fd/1", (dir + "/stdout").c_str());
    symlink("/proc/self/fd/2", (dir + "/stderr").c_str());
    if (mount(dir.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        die("bind over /dev: %s", strerror(errno));
    umount2(dir.c_str(), MNT_DETACH);
    rmdir(dir.c_str());

    log_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (log_socket < 0 || bind(log_socket, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        die("bind /dev/log: %s", strerror(errno));
    chmod("/dev/log", 0666);
    const int size = 4 << 20;
    setsockopt(log_socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return true;
}

// "<30>Dec 10 04:12:56 tolm: ..." or "<30>Dec 10 04:12:56 tolm[123]: ...".
std::vector<LogLine> take_log() {
    std::vector<LogLine> lines;
    if (log_socket < 0)
        return lines;
    char message[8192];
    ssize_t n;
    while ((n = recv(log_socket, message, sizeof message, 0)) > 0) {
        const std::string text(message, static_cast<size_t>(n));
        LogLine line{-1, text};
        if (text.size() > 2 && text[0] == '<')
            line.priority = atoi(text.c_str() + 1);
        const size_t tag = text.find(": ", text.find('>'));
        if (tag != std::string::npos)
            line.text = text.substr(tag + 2);
        lines.push_back(line);
    }
    return lines;
}

int start(const Spawn &spawn, int out_fd, int err_fd) {
    const int in_fd = spawn.stdin_fd >= 0 ? spawn.stdin_fd : memory_file("in", spawn.input);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(binary.c_str()));
    for (const std::string &arg : spawn.args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    // A clean environment: tolm reads none, and a CGI script sees only what
    // tolm sets. Sanitizer settings pass, since a sanitized build is tested
    // too; LeakSanitizer cannot work after a chroot (no /proc there).
    std::vector<std::string> vars = {"PATH=/usr/bin:/bin"};
    bool chroots = false;
    for (const std::string &arg : spawn.args)
        chroots = chroots || arg == "-u";
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char *value = getenv(name);
        std::string var = std::string(name) + "=" + (value != nullptr ? value : "");
        if (chroots && strcmp(name, "ASAN_OPTIONS") == 0)
            var += ":detect_leaks=0";
        if (value != nullptr || chroots)
            vars.push_back(var);
    }
    std::vector<char *> env;
    for (std::string &var : vars)
        env.push_back(var.data());
    env.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        die("fork: %s", strerror(errno));
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(spawn.stdout_fd >= 0 ? spawn.stdout_fd : out_fd, 1);
        dup2(err_fd, 2);
        execve(argv[0], argv.data(), env.data());
        _exit(127);
    }
    if (spawn.stdin_fd < 0)
        close(in_fd);
    return pid;
}

void wait_for(int pid, double timeout, Run &run) {
    const double begin = now();
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        die("pidfd_open: %s", strerror(errno));
    struct pollfd p = {pidfd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(timeout * 1000));
    close(pidfd);
    if (ready == 0) {
        run.timed_out = true;
        kill(pid, SIGKILL);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    run.seconds = now() - begin;
    if (WIFEXITED(wstatus))
        run.exit_status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        run.signal = WTERMSIG(wstatus);
}

Run run_tolm(const Spawn &spawn) {
    const int out_fd = memory_file("out", "");
    const int err_fd = memory_file("err", "");
    Run run;
    wait_for(start(spawn, out_fd, err_fd), spawn.timeout, run);
    run.out = read_all(out_fd);
    run.err = read_all(err_fd);
    close(out_fd);
    close(err_fd);
    return run;
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

std::string make_temp_dir(const char *prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        die("mkdtemp: %s", strerror(errno));
    chmod(pattern.c_str(), 0755);
    return pattern;
}

void write_file(const std::string &path, const std::string &bytes, int mode) {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, mode);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        die("write %s: %s", show(path).c_str(), strerror(errno));
    close(fd);
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

void make_dir(const std::string &path, int mode) {
    if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
        die("mkdir %s: %s", show(path).c_str(), strerror(errno));
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

void make_link(const std::string &target, const std::string &path) {
    if (symlink(target.c_str(), path.c_str()) != 0)
        die("symlink %s: %s", show(path).c_str(), strerror(errno));
}

void remove_tree(const std::string &path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string show(const std::string &bytes, size_t limit) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\')
            text += "\\\\";
        else if (c >= 0x20 && c < 0x7f)
            text += static_cast<char>(c);
        else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            text += esc;
        }
    }
    if (bytes.size() > limit)
        text += "...(" + std::to_string(bytes.size()) + " bytes)";
    return text;
}

} // namespace check
