// The download run of fsdtool: the downloader facade under the main run
// loop, with its delegate calls reported on the way.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

struct FsdToolOptions {
    std::string manifestPath;
    std::string sigPath;
    std::string downloadFolder;
    bool setupInstallerFirst = false;
    std::optional<std::string> pingHost;
    bool json = false;
};

/// Exit statuses of a run.
enum FsdToolExit : int { kFsdToolDone = 0, kFsdToolFailed = 1, kFsdToolInterrupted = 2 };

/// Runs the download on the calling thread (which drives the main queue)
/// until every file is done, a mandatory file fails, or SIGINT/SIGTERM
/// cancels it (the resume files are written before this returns).
/// Progress goes to `err`; with `json`, each delegate call is one JSON line
/// on `out`.
int runFsdToolFetch(const FsdToolOptions& options, std::FILE* out, std::FILE* err);
