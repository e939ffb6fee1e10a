#include "support/FakeClientProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "Platform/System/Paths.h"
#include "support/FakeHelperProcess.h"
#include "support/TempDir.h"
#include "support/XpcJson.h"

namespace testsupport {

FakeClientResult runFakeClient(const FakeClientRun& run) {
    FakeClientResult result;
    TempDir files;
    const std::string outPath = files.file("out.jsonl"), errPath = files.file("err.txt");
    std::vector<std::string> args = {PEL_FAKE_CLIENT_PATH, "--service", run.serviceName};
    if (run.uid) {
        args.push_back("--uid");
        args.push_back(std::to_string(*run.uid));
    }
    if (!run.until.empty()) {
        args.push_back("--until");
        args.push_back(run.until);
    }
    args.push_back("--");
    args.insert(args.end(), run.messages.begin(), run.messages.end());
    std::vector<char*> argv = execArray(args);
    std::vector<std::string> env = environmentUnderRoot();
    std::vector<char*> envp = execArray(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.errors = std::string("cannot start the client: ") + std::strerror(rc);
        return result;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    std::ifstream out(outPath);
    for (std::string line; std::getline(out, line);) {
        platform::XpcObject message;
        if (xpcFromJsonText(line, message)) result.received.push_back(std::move(message));
    }
    std::ostringstream errors;
    errors << std::ifstream(errPath).rdbuf();
    result.errors = errors.str();
    return result;
}

}  // namespace testsupport
