#include "golden.h"

#include <algorithm>
#include <unistd.h>

namespace harness {

std::string with_root(std::string text, const std::string &root) {
    const std::string key = "{root}";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + root.size()))
        text.replace(at, key.size(), root);
    return text;
}

std::string logline(const std::string &request, int code, long bytes) {
    return "<30>\"" + request + "\" " + std::to_string(code) + " " + std::to_string(bytes);
}

std::string logline_out(const std::string &request, int code) {
    return "<30>\"" + request + "\" " + std::to_string(code) + " {outsize}";
}

std::string detail(const std::string &text) {
    return "<11>" + text;
}

std::string test_name(const std::string &name) {
    std::string s;
    for (char c : name)
        s += (isalnum(static_cast<unsigned char>(c)) != 0) ? c : '_';
    return s;
}

Golden answered(const std::vector<Node> &tree, std::string name, std::vector<std::string> args,
                const std::string &request, const std::string &header, const std::string &body,
                bool as_nobody) {
    Golden g;
    g.name = std::move(name);
    g.tree = &tree;
    g.args = std::move(args);
    g.input = request + "\r\n";
    g.out = header + body;
    // A CGI row has no header of the program's own: its code is 0.
    g.log = {logline_out(request, header.empty() ? 0 : std::stoi(header.substr(0, 2)))};
    g.as_nobody = as_nobody;
    return g;
}

Golden refused(const std::vector<Node> &tree, std::string name, std::vector<std::string> args,
               std::string input, const std::string &logged, int code, const std::string &meta,
               const std::string &detail_text, bool as_nobody) {
    Golden g;
    g.name = std::move(name);
    g.tree = &tree;
    g.args = std::move(args);
    g.input = std::move(input);
    g.out = std::to_string(code) + " " + meta + "\r\n";
    g.exit_code = 1;
    g.log = {logline_out(logged, code), detail(detail_text)};
    g.err = detail_text + "\n";
    g.as_nobody = as_nobody;
    return g;
}

Golden with_reason(Golden g, const std::string &reason) {
    g.log.push_back(detail(reason));
    g.err += reason + "\n";
    return g;
}

void expect_output(const Result &r, const Golden &g, const std::string &root) {
    EXPECT_EQ(visible(with_root(g.out, root)), visible(r.out)) << "stdout";
    EXPECT_EQ(visible(with_root(g.err, root)), visible(r.err)) << "stderr";
    EXPECT_EQ(0, r.signal) << "ended by a signal";
    EXPECT_FALSE(r.timed_out) << "still running at the time limit";
    EXPECT_EQ(g.exit_code, r.exit_code) << "exit status";
    if (!log_captured())
        return;
    std::vector<std::string> want;
    const std::string out_size = std::to_string(with_root(g.out, root).size());
    for (const auto &line : g.log) {
        std::string text = with_root(line, root);
        if (size_t at = text.find("{outsize}"); at != std::string::npos)
            text.replace(at, 9, out_size);
        want.push_back(visible(text));
    }
    std::vector<std::string> got;
    for (const LogLine &line : r.log) {
        if (line.priority < 0) {
            got.push_back("unparsed:" + visible(line.text));
            continue;
        }
        got.push_back(visible("<" + std::to_string(line.priority) + ">" + line.text));
        EXPECT_EQ("tolm", line.tag) << "syslog tag";
    }
    EXPECT_EQ(want, got) << "syslog lines";
}

void check(const Golden &g) {
    const bool switches = std::find(g.args.begin(), g.args.end(), "-u") != g.args.end();
    if ((g.as_nobody || switches) && geteuid() != 0)
        GTEST_SKIP() << "needs root: runs as another account or switches to one";
    Tree tree(g.tree != nullptr ? *g.tree : std::vector<Node>{});
    std::vector<std::string> args;
    for (const auto &a : g.args)
        args.push_back(with_root(a, tree.dir()));
    Options options;
    options.as_nobody = g.as_nobody;
    if (!g.env.empty())
        options.env = g.env;
    Result r = run(args, with_root(g.input, tree.dir()), options);
    expect_output(r, g, tree.dir());
}

} // namespace harness
