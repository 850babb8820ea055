#include "golden.h"

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

void expect_output(const Result &r, const Golden &g, const std::string &root) {
    EXPECT_EQ(visible(with_root(g.out, root)), visible(r.out)) << "stdout";
    EXPECT_EQ(visible(with_root(g.err, root)), visible(r.err)) << "stderr";
    EXPECT_EQ(0, r.signal) << "ended by a signal";
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
    for (const auto &line : r.log)
        got.push_back(visible(line));
    EXPECT_EQ(want, got) << "syslog lines";
    for (const auto &tag : r.tags)
        EXPECT_EQ("tolm", tag) << "syslog tag";
}

void check(const Golden &g) {
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
