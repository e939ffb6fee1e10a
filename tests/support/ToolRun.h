// Runs a vterrtool command in the test's own process and captures what it
// prints. Header only: the suites that use it link the tool's library.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "vterrtool/VTErrTool.h"

namespace testsupport {

/// A finished command: its exit status and both of its streams.
struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

/// The whole of a temporary file, read from its start; closes the file.
inline std::string takeContents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    std::fclose(file);
    return text;
}

/// Runs `vterrtool args...` (without the program name).
inline ToolRun runErrTool(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = vterrtool::run(args, out, err);
    ToolRun run{status, takeContents(out), {}};
    run.err = takeContents(err);
    return run;
}

/// How often `what` stands in `text` (overlapping places counted).
inline std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

}  // namespace testsupport
