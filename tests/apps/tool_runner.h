// Runs btrtool in a directory of its own and collects what it says.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/tempdir.h"

namespace btr::test {

struct ToolResult {
    int status = -1;
    std::string out, err;
};

class ToolRunner {
public:
    const TempDir& Dir() const { return FDir; }
    std::string File(const std::string& name) const { return FDir.File(name); }

    void Write(const std::string& name, const std::string& text) const { std::ofstream(File(name)) << text; }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name));
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // Runs `btrtool ARGS` in the directory, standard input from /dev/null.
    ToolResult Run(const std::string& args) const { return Run(args, "/dev/null"); }
    // The same with standard input from a file of the directory.
    ToolResult Run(const std::string& args, const std::string& input) const {
        const std::string errFile = File(".stderr");
        const std::string cmd =
            "cd '" + FDir.Path().string() + "' && '" BTRTOOL "' " + args + " 2>'" + errFile + "' <'" + input + "'";
        ToolResult r;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return r;
        std::array<char, 4096> buf;
        for (size_t n; (n = fread(buf.data(), 1, buf.size(), p)) > 0;) r.out.append(buf.data(), n);
        const int raw = pclose(p);
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        std::ifstream e(errFile);
        r.err.assign(std::istreambuf_iterator<char>(e), {});
        return r;
    }

private:
    TempDir FDir;
};

} // namespace btr::test
