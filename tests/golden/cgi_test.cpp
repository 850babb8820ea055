// The CGI gateway: which requests name a script, the script's environment,
// and the relay of its output.
#include "golden.h"

namespace {

using harness::detail;
using harness::Golden;
using harness::logline;
using harness::Node;
using harness::with_reason;

const std::string probe = harness::read_file(CGI_PROBE);

std::string big_output() {
    std::string s;
    for (unsigned i = 0; s.size() < 1024 * 1024 + 13; ++i)
        s += "line " + std::to_string(i * 2654435761u) + "\n";
    return s;
}
const std::string big = big_output();

const std::vector<Node> site = {
    {"root/index.gmi", "# home\n"},
    {"root/cgi-bin/env", probe, "", 0755},
    {"root/cgi-bin/ids", probe, "", 0755},
    {"root/cgi-bin/hello", "#!/bin/sh\nprintf '20 text/plain\\r\\nhello\\n'\n", "", 0755},
    {"root/cgi-bin/silent", "#!/bin/sh\nexit 0\n", "", 0755},
    {"root/cgi-bin/fails", "#!/bin/sh\nprintf '20 text/plain\\r\\nbye\\n'\nexit 3\n", "", 0755},
    {"root/cgi-bin/plain", "#!/bin/sh\nprintf '20 text/plain\\r\\nno\\n'\n", "", 0644},
    {"root/cgi-bin/big", "#!/bin/sh\nprintf '20 text/plain\\r\\n'\ncat big.data\n", "", 0755},
    {"root/cgi-bin/big.data", big},
    {"root/cgi-bin/inherited", probe, "", 0755},
    {"root/cgi-bin/sub/notes.txt", "password=hunter2\n"},
    {"root/scripts", "", "cgi-bin"},
    {"root/cgi", "", "cgi-bin"},
    {"root/cgi-bin.gmi", "# not a script\n"},
    {"root/cgi-bin-notes.gmi", "# notes\n"},
    {"root/scripts.txt", "beside the link\n"},
    {"root/cgi-bin2/hello", "#!/bin/sh\necho sibling\n", "", 0755},
    {"root/cgi-bin.old/hello", "#!/bin/sh\necho old\n", "", 0755},
    {"root/cgi-bon/hello", "#!/bin/sh\necho bon\n", "", 0755},
    {"root/other-1", "", "cgi-bin2"},
    {"root/hello-link", "", "cgi-bin/hello"},
    {"root/notes-link", "", "cgi-bin/sub/notes.txt"},
    {"root/example/cgi-bin/env", probe, "", 0755},
    {"root/cgi-bin/crlf", "#!/bin/sh\r\nprintf '20 text/plain\\r\\nok\\n'\r\n", "", 0755},
    {"root/cgi-bin/nointerp", "#!/nonexistent/python3 -u\nprint('20 text/plain')\n", "", 0755},
    {"root/cgi-bin/noline", "printf '20 text/plain\\r\\nno line\\n'\n", "", 0755},
    {"root/cgi-bin/noisy", "#!/bin/sh\necho oops >&2\nprintf '20 text/plain\\r\\nok\\n'\n", "",
     0755},
    {"root/cgi-bin/chatty",
     "#!/bin/sh\ni=0\nwhile [ $i -lt 40 ]; do echo \"line $i\" >&2; i=$((i+1)); done\n"
     "printf '20 text/plain\\r\\nok\\n'\n",
     "", 0755},
    {"root/cgi-bin/long-line",
     "#!/bin/sh\nprintf '%0300d\\r\\n\\n\\ttab' 0 >&2\nprintf '20 text/plain\\r\\nok\\n'\n", "",
     0755},
};

const std::string base_env = "PATH=/usr/bin:/bin\n"
                             "GATEWAY_INTERFACE=CGI/1.1\n"
                             "SERVER_PROTOCOL=GEMINI\n"
                             "SERVER_SOFTWARE=tolm/1\n";

Golden script(std::string name, std::vector<std::string> args, const std::string &request,
              const std::string &out) {
    return harness::answered(site, std::move(name), std::move(args), request, "", out);
}

// The child that cannot start its script answers through the pipe and logs
// for itself; the server then relays that answer and ends normally.
Golden unstartable(std::string name, std::vector<std::string> args, const std::string &request,
                   const std::string &script_name, const std::string &reason) {
    Golden g;
    g.name = std::move(name);
    g.tree = &site;
    g.args = std::move(args);
    g.input = request + "\r\n";
    g.out = "42 error when trying run cgi\r\n";
    g.err = "error when trying to execl " + script_name + "\n" + reason + "\n";
    g.log = {logline(request, 42, 30), detail("error when trying to execl " + script_name),
             detail(reason), logline(request, 0, 30)};
    return g;
}

Golden served(std::string name, std::vector<std::string> args, const std::string &request,
              const std::string &header, const std::string &body = "") {
    return harness::answered(site, std::move(name), std::move(args), request, header, body);
}

std::string env_out(const std::string &cwd, const std::string &vars) {
    return "20 text/plain\r\nargc=1 argv0=env\ncwd=" + cwd + "\n" + vars;
}

const std::vector<std::string> cgi = {"-d", "{root}/root", "-c", "cgi-bin"};
const std::string cgi_cwd = "{root}/root/cgi-bin";

std::vector<Golden> rows() {
    std::vector<Golden> r = {
        script("environment", cgi, "gemini://h/cgi-bin/env",
               env_out(cgi_cwd, base_env + "SCRIPT_NAME=env\nSERVER_NAME=h\n")),
        script("path info", cgi, "gemini://h/cgi-bin/env/a/b",
               env_out(cgi_cwd, base_env + "PATH_INFO=/a/b\nSCRIPT_NAME=env\nSERVER_NAME=h\n")),
        script("path info of a slash", cgi, "gemini://h/cgi-bin/env/",
               env_out(cgi_cwd, base_env + "PATH_INFO=/\nSCRIPT_NAME=env\nSERVER_NAME=h\n")),
        script("decoded query", cgi, "gemini://h/cgi-bin/env?a%20b&c",
               env_out(cgi_cwd, base_env + "QUERY_STRING=a b&c\nSCRIPT_NAME=env\nSERVER_NAME=h\n")),
        script("decoded path info", cgi, "gemini://h/cgi-bin/env%2Fx%20y",
               env_out(cgi_cwd, base_env + "PATH_INFO=/x y\nSCRIPT_NAME=env\nSERVER_NAME=h\n")),
        script("host as sent, without port", cgi, "gemini://Ho%41st:1965/cgi-bin/env",
               env_out(cgi_cwd, base_env + "SCRIPT_NAME=env\nSERVER_NAME=Ho%41st\n")),
        script("leading slashes of the option removed", {"-d", "{root}/root", "-c", "///cgi-bin"},
               "gemini://h/cgi-bin/env",
               env_out(cgi_cwd, base_env + "SCRIPT_NAME=env\nSERVER_NAME=h\n")),

        script("below a host root", {"-d", "{root}/root", "-v", "-c", "cgi-bin"},
               "gemini://example/cgi-bin/env",
               env_out("{root}/root/example/cgi-bin",
                       base_env + "SCRIPT_NAME=env\nSERVER_NAME=example\n")),
        script("shell script", cgi, "gemini://h/cgi-bin/hello", "20 text/plain\r\nhello\n"),
        script("writes nothing", cgi, "gemini://h/cgi-bin/silent", ""),
        script("exit status not looked at", cgi, "gemini://h/cgi-bin/fails",
               "20 text/plain\r\nbye\n"),
        script("output larger than a pipe", cgi, "gemini://h/cgi-bin/big",
               "20 text/plain\r\n" + big),
        // Beside the fixed lines, the reason the system gave, told apart
        // the way an operator fixes it.
        unstartable("not executable", cgi, "gemini://h/cgi-bin/plain", "plain",
                    "plain: Permission denied: the file is not executable"),
        unstartable("missing script", cgi, "gemini://h/cgi-bin/nothing", "nothing",
                    "nothing: No such file or directory"),
        unstartable("dot as script", cgi, "gemini://h/cgi-bin/./env", ".",
                    ".: Permission denied: a directory"),
        unstartable("control bytes of a script name encoded in the log", cgi,
                    "gemini://h/cgi-bin/x%1b%0ay%7f", "x%1B%0Ay%7F",
                    "x%1B%0Ay%7F: No such file or directory"),
        unstartable("interpreter line ending in CR LF", cgi, "gemini://h/cgi-bin/crlf", "crlf",
                    "crlf: No such file or directory: its #! line ends in a carriage return "
                    "(CRLF line ends)"),
        unstartable("missing interpreter", cgi, "gemini://h/cgi-bin/nointerp", "nointerp",
                    "nointerp: No such file or directory: its interpreter /nonexistent/python3 is "
                    "missing"),
        unstartable("missing interpreter inside the root",
                    {"-d", "{root}/root", "-u", "nobody", "-c", "cgi-bin"},
                    "gemini://h/cgi-bin/hello", "hello",
                    "hello: No such file or directory: its interpreter /bin/sh is missing inside "
                    "the root"),
        unstartable(
            "no interpreter line", cgi, "gemini://h/cgi-bin/noline", "noline",
            "noline: Exec format error: no #! line, and no program format the system knows"),
        // What a script writes on its standard error reaches the log after
        // the run's line, and standard error when that is not the
        // connection: a few lines, each cut, and the count of the rest.
        with_reason(
            script("standard error", cgi, "gemini://h/cgi-bin/noisy", "20 text/plain\r\nok\n"),
            "noisy stderr: oops"),
        // The cut line's rest and its CR are counted; a blank line is no
        // line; a last line without its line feed still counts.
        with_reason(
            with_reason(with_reason(script("standard error cut at a line length", cgi,
                                           "gemini://h/cgi-bin/long-line", "20 text/plain\r\nok\n"),
                                    "long-line stderr: " + std::string(240, '0')),
                        "long-line stderr: %09tab"),
            "long-line stderr: 61 more bytes not logged"),
        served("the directory itself", cgi, "gemini://h/cgi-bin", "31 /cgi-bin/\r\n"),
        served("the directory with slash", cgi, "gemini://h/cgi-bin/", "51 file not found\r\n"),
        served("other paths", cgi, "gemini://h/", "20 text/gemini\r\n", "# home\n"),
        served("missing directory", {"-d", "{root}/root", "-c", "nope"}, "gemini://h/nope/env",
               "51 file not found\r\n"),
        script("given no descriptor of the server and SIGPIPE at its default", cgi,
               "gemini://h/cgi-bin/inherited",
               "20 text/plain\r\ndescriptors above 2: none\nSIGPIPE default\nblocked: "
               "none\nignored: none\n"),
        script("plus stays plus in query and path info", cgi, "gemini://h/cgi-bin/env/a+b?c+d",
               env_out(cgi_cwd, base_env + "QUERY_STRING=c+d\nPATH_INFO=/a+b\n"
                                           "SCRIPT_NAME=env\nSERVER_NAME=h\n")),
        served("script source behind a dot segment", cgi, "gemini://h/./cgi-bin/hello",
               "51 file not found\r\n"),
        served("script source behind an encoded dot", cgi, "gemini://h/%2e/cgi-bin/hello",
               "51 file not found\r\n"),
        served("script source behind doubled slashes", cgi, "gemini://h/.//cgi-bin//hello",
               "51 file not found\r\n"),
        served("script source through a link to the script", cgi, "gemini://h/hello-link",
               "51 file not found\r\n"),
        served("file deep in the directory through a link", cgi, "gemini://h/notes-link",
               "51 file not found\r\n"),
        served("file deep in the directory by another spelling", cgi,
               "gemini://h/./cgi-bin/sub/notes.txt", "51 file not found\r\n"),
        served("listing of the directory by another spelling",
               {"-d", "{root}/root", "-c", "cgi-bin", "-i"}, "gemini://h/./cgi-bin/sub/",
               "20 text/gemini\r\n", "=> .. ../\n=> ./notes.txt notes.txt\n"),
        served("script source through a link to the directory, in chroot",
               {"-d", "{root}/root", "-u", "nobody", "-c", "cgi-bin"}, "gemini://h/./scripts/hello",
               "51 file not found\r\n"),
        served("slash only turns it off", {"-d", "{root}/root", "-c", "/"},
               "gemini://h/cgi-bin/hello", "20 application/octet-stream\r\n",
               "#!/bin/sh\nprintf '20 text/plain\\r\\nhello\\n'\n"),
    };

    // Which spellings of a path run a script: its first bytes, as many as
    // the CGI directory's name has, lead to that directory, and a "/"
    // follows them. Trailing slashes of the option are dropped like leading
    // ones. Every other path is an ordinary one, and a file inside the CGI
    // directory is then not found.
    const std::string env_vars = base_env + "SCRIPT_NAME=env\nSERVER_NAME=h\n";
    const struct {
        const char *name, *cgi_dir, *request;
    } runs[] = {
        {"the directory's name", "cgi-bin", "cgi-bin/env"},
        {"a link to the directory as long as its name", "cgi-bin", "scripts/env"},
        {"the option with a trailing slash", "cgi-bin/", "cgi-bin/env"},
        {"the option with slashes around it", "//cgi-bin//", "cgi-bin/env"},
    };
    for (const auto &c : runs)
        r.push_back(script(std::string("runs: ") + c.name, {"-d", "{root}/root", "-c", c.cgi_dir},
                           std::string("gemini://h/") + c.request, env_out(cgi_cwd, env_vars)));
    const struct {
        const char *name, *request, *header, *body;
    } ordinary[] = {
        {"a link to the directory of another length", "cgi/env", "51 file not found\r\n", ""},
        {"a file named like the directory", "cgi-bin.gmi", "20 text/gemini\r\n",
         "# not a script\n"},
        {"a file whose name begins with the directory's", "cgi-bin-notes.gmi", "20 text/gemini\r\n",
         "# notes\n"},
        {"a file named like the link", "scripts.txt", "20 text/plain\r\n", "beside the link\n"},
        {"a sibling directory", "cgi-bin2/hello", "20 application/octet-stream\r\n",
         "#!/bin/sh\necho sibling\n"},
        {"a sibling directory with a dot", "cgi-bin.old/hello", "20 application/octet-stream\r\n",
         "#!/bin/sh\necho old\n"},
        {"a sibling directory without slash", "cgi-bin2", "31 /cgi-bin2/\r\n", ""},
        {"a directory as long as the directory's name", "cgi-bon/hello",
         "20 application/octet-stream\r\n", "#!/bin/sh\necho bon\n"},
        {"a link as long as the directory's name to another directory", "other-1/hello",
         "20 application/octet-stream\r\n", "#!/bin/sh\necho sibling\n"},
    };
    for (const auto &c : ordinary)
        r.push_back(served(std::string("ordinary: ") + c.name, cgi,
                           std::string("gemini://h/") + c.request, c.header, c.body));

    // The gateway's variables describe this request only: a value of the
    // front end's own environment is replaced, or removed where the request
    // has none; every other inherited variable stays.
    const std::vector<std::string> stale = {"GATEWAY_INTERFACE=old", "PATH=/usr/bin:/bin",
                                            "QUERY_STRING=stale", "PATH_INFO=stale", "LANG=C"};
    const struct {
        const char *name, *request, *vars;
    } inherited[] = {
        {"inherited query and path info removed when none is sent", "env",
         "GATEWAY_INTERFACE=CGI/1.1\nPATH=/usr/bin:/bin\nLANG=C\n"},
        {"inherited query and path info replaced by the request's", "env/p?q",
         "GATEWAY_INTERFACE=CGI/1.1\nPATH=/usr/bin:/bin\nQUERY_STRING=q\nPATH_INFO=/p\nLANG=C\n"},
    };
    for (const auto &c : inherited) {
        Golden g = script(c.name, cgi, std::string("gemini://h/cgi-bin/") + c.request,
                          env_out(cgi_cwd, std::string(c.vars) +
                                               "SERVER_PROTOCOL=GEMINI\nSERVER_SOFTWARE=tolm/1\n"
                                               "SCRIPT_NAME=env\nSERVER_NAME=h\n"));
        g.env = stale;
        r.push_back(g);
    }

    Golden chatty = script("standard error limited to 8 lines", cgi, "gemini://h/cgi-bin/chatty",
                           "20 text/plain\r\nok\n");
    for (int i = 0; i < 8; ++i)
        chatty = with_reason(chatty, "chatty stderr: line " + std::to_string(i));
    r.push_back(with_reason(chatty, "chatty stderr: 254 more bytes not logged"));
    r.back().name = chatty.name;

    // A front end's environment may hold a name twice: every copy of the
    // gateway's variables is replaced or removed, not only the first.
    const std::vector<std::string> doubled = {"PATH=/usr/bin:/bin",     "QUERY_STRING=stale",
                                              "PATH_INFO=stale",        "SERVER_NAME=stale",
                                              "QUERY_STRING=stale too", "PATH_INFO=stale too",
                                              "SERVER_NAME=stale too"};
    const struct {
        const char *name, *request, *vars;
    } doubled_rows[] = {
        {"doubled query, path info and host all replaced", "env/p?q",
         "QUERY_STRING=q\nPATH_INFO=/p\nSCRIPT_NAME=env\nSERVER_NAME=h\n"},
        {"doubled query and path info all removed when none is sent", "env",
         "SCRIPT_NAME=env\nSERVER_NAME=h\n"},
    };
    for (const auto &c : doubled_rows) {
        Golden g = script(c.name, cgi, std::string("gemini://h/cgi-bin/") + c.request,
                          env_out(cgi_cwd, base_env + c.vars));
        g.env = doubled;
        r.push_back(g);
    }

    const std::string ids = std::to_string(harness::nobody_uid());
    const std::string gid = std::to_string(harness::nobody_gid());
    r.push_back(script("chroot and account", {"-d", "{root}/root", "-u", "nobody", "-c", "cgi-bin"},
                       "gemini://h/cgi-bin/ids",
                       "20 text/plain\r\nuid=" + ids + "," + ids + "," + ids + " gid=" + gid + "," +
                           gid + "," + gid + " groups=" + gid + "\ncwd=/cgi-bin\n"));
    r.push_back(script("chroot environment",
                       {"-d", "{root}/root", "-u", "nobody", "-c", "/cgi-bin"},
                       "gemini://h/cgi-bin/env?q",
                       env_out("/cgi-bin", base_env + "QUERY_STRING=q\nSCRIPT_NAME=env\n"
                                                      "SERVER_NAME=h\n")));
    return r;
}
const std::vector<Golden> cgi_rows = rows();
GOLDEN_TABLE(Cgi, cgi_rows);

} // namespace
