// tolm: answers one Gemini request on standard input and output, as started
// by a super-server for each connection. This file is the run from start to
// end: the options, then one call per step of the request flow, in order.
#include "cgi.h"
#include "client.h"
#include "connection.h"
#include "content.h"
#include "paths.h"
#include "request.h"
#include "response.h"
#include "root.h"
#include "utils.h"

#include <cstring>
#include <unistd.h>

using namespace tolm;

namespace {

// Only the first byte of each buffer is set before use: a run touches as
// little fresh stack as it can, and zeroing kilobytes of it costs page
// faults in every process.
struct Options {
    char chroot_dir[1024];
    char user[73];
    char cgi_dir[1024];
    bool confined; // -u given, even with an empty value
    bool virtualhost;
    bool proxy_header; // -p: a PROXY protocol header comes first
};

void parse_options(int argc, char *argv[], Options &opt) {
    constexpr char default_root[] = "/usr/local/etc/gemini";
    static_assert(sizeof default_root <= sizeof opt.chroot_dir);
    memcpy(opt.chroot_dir, default_root, sizeof default_root);
    opt.user[0] = '\0';
    opt.cgi_dir[0] = '\0';
    opt.confined = false;
    opt.virtualhost = false;
    opt.proxy_header = false;
    // "+" asks glibc for POSIX parsing: no reordering of the command line and
    // no look at POSIXLY_CORRECT. ":" silences its diagnostics.
    int c;
    while ((c = getopt(argc, argv, "+:d:l:m:u:c:vip")) != -1) {
        switch (c) {
        case 'd':
            esnprintf(opt.chroot_dir, sizeof opt.chroot_dir, "%s", optarg);
            break;
        case 'l':
            esnprintf(lang, sizeof lang, "lang=%s", optarg);
            break;
        case 'm':
            esnprintf(default_mime, sizeof default_mime, "%s", optarg);
            break;
        case 'u':
            esnprintf(opt.user, sizeof opt.user, "%s", optarg);
            opt.confined = true;
            break;
        case 'c': {
            // "cgi-bin/" names the same directory as "cgi-bin": a request
            // path is matched against the bare name.
            esnprintf(opt.cgi_dir, sizeof opt.cgi_dir, "%s", optarg);
            const size_t slashes = strspn(opt.cgi_dir, "/");
            size_t len = strlen(opt.cgi_dir + slashes);
            memmove(opt.cgi_dir, opt.cgi_dir + slashes, len + 1);
            while (len > 0 && opt.cgi_dir[len - 1] == '/')
                opt.cgi_dir[--len] = '\0';
            break;
        }
        case 'v':
            opt.virtualhost = true;
            break;
        case 'i':
            doautoidx = true;
            break;
        case 'p':
            opt.proxy_header = true;
            break;
        default: // unknown letters and a missing last argument are ignored
            break;
        }
    }
}

// A newcomer at a terminal types --help or --version first. A super-server
// never gives a terminal as the connection, so there the options stay what
// getopt makes of them.
bool answered_at_terminal(int argc, char *argv[]) {
    if (argc < 2)
        return false;
    constexpr char usage[] =
        "usage: tolm [-ipv] [-c cgidir] [-d rootdir] [-l lang] [-m mimetype] [-u user]\n";
    constexpr char version[] = "tolm " TOLM_VERSION "\n";
    const char *text = strcmp(argv[1], "--help") == 0      ? usage
                       : strcmp(argv[1], "--version") == 0 ? version
                                                           : nullptr;
    // Asked only then: a run under a super-server pays no system call.
    if (text == nullptr || !isatty(0))
        return false;
    const ssize_t told = write(1, text, strlen(text));
    static_cast<void>(told); // the exit status says nothing else anyway
    return true;
}

// "", "." or ".." as a host name would make the content root itself, or
// its parent, the host's root: every other host's files would be served.
void join_virtualhost(char *chroot_dir, size_t size, const char *hostname) {
    if (hostname[0] == '\0' || strcmp(hostname, ".") == 0 || strcmp(hostname, "..") == 0) {
        status(59, "%s", "Malformed request");
        stop(1, "invalid host name %s", hostname);
    }
    char scratch[1024];
    esnprintf(scratch, sizeof scratch, "%s/%s", chroot_dir, hostname);
    esnprintf(chroot_dir, size, "%s", scratch);
}

} // namespace

int main(int argc, char *argv[]) {
    Options opt;
    char cgi_fullpath[1024];
    char request[1025];
    char hostname[1025];
    char path[1025];
    char query[1025];
    cgi_fullpath[0] = '\0';

    if (answered_at_terminal(argc, argv))
        return 0;
    mark_start();
    parse_options(argc, argv, opt);
    if (opt.proxy_header)
        read_proxy_header();
    read_request(request);
    split_request(request, hostname, path, query);
    Account account{};
    // An empty -u, an unset variable in a unit file say, must not turn the
    // confinement off: check_user refuses it like an unknown account.
    if (opt.confined)
        account = check_user(opt.user);
    if (opt.virtualhost)
        join_virtualhost(opt.chroot_dir, sizeof opt.chroot_dir, hostname);
    if (opt.cgi_dir[0] != '\0')
        esnprintf(cgi_fullpath, sizeof cgi_fullpath, "%s/%s", opt.chroot_dir, opt.cgi_dir);
    set_rootdir(opt.chroot_dir, opt.user);
    if (opt.user[0] != '\0')
        drop_privileges(opt.user, account.uid, account.gid);
    if (path[0] != '\0') {
        uridecode(path);
        remove_double_dot(path);
        confine_path(path);
    } else {
        esnprintf(path, sizeof path, "%s", "./");
    }
    uridecode(query);
    if (cgi_fullpath[0] != '\0')
        do_cgi(opt.cgi_dir, path, hostname, query);
    check_path(path, sizeof path);
    if (cgi_fullpath[0] != '\0')
        refuse_script_source(opt.cgi_dir, path);
    display_file(path);
    finish();
}
