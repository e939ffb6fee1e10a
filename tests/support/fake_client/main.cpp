// A client of a privileged service for tests, run as another user when
// asked: the stand-in for a local attacker (or any client) of a helper.
//
//   pel_fake_client --service NAME [--uid UID] [--until JSON] -- MESSAGE...
//
// It gives up root first when --uid is given (groups dropped, gid = uid),
// connects to the System-scope service (under PEL_PATH_ROOT when set) as a
// privileged client, sends each message (JSON, see support/XpcJson.h) and
// writes every message that comes back to standard output, one JSON line
// each. It ends once a message holds the entries of --until (status 0), or
// right after sending when there is none. Statuses: 3 nothing matching came
// within 30 seconds, 4 bad arguments, 5 the connection failed.
#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Xpc/XpcConnection.h"
#include "support/XpcJson.h"

using namespace platform;

namespace {

[[noreturn]] void die(int status, const std::string& message) {
    std::cerr << "fake client: " << message << std::endl;
    std::_Exit(status);
}

XpcObject parse(const std::string& text) {
    XpcObject message;
    std::string error;
    if (!testsupport::xpcFromJsonText(text, message, &error)) die(4, error);
    return message;
}

}  // namespace

int main(int argc, char** argv) {
    std::string service;
    std::optional<XpcObject> until;
    long uid = -1;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--service" && i + 1 < argc)
            service = argv[++i];
        else if (arg == "--uid" && i + 1 < argc)
            uid = std::atol(argv[++i]);
        else if (arg == "--until" && i + 1 < argc)
            until = parse(argv[++i]);
        else
            die(4, "unknown argument: " + arg);
    }
    if (service.empty()) die(4, "no --service");
    if (uid >= 0 &&
        (setgroups(0, nullptr) != 0 || setgid(gid_t(uid)) != 0 || setuid(uid_t(uid)) != 0))
        die(4, "cannot change to uid " + std::to_string(uid));

    std::mutex mutex;
    std::condition_variable changed;
    bool matched = false, failed = false;
    auto connection = XpcConnection::createMachService(service, nullptr, kXpcConnectionPrivileged);
    if (!connection) die(4, "not a service name: " + service);
    connection->setEventHandler([&](const XpcEvent& event) {
        std::lock_guard lock(mutex);
        if (event.isError()) {
            failed = true;
        } else {
            std::cout << testsupport::xpcToJson(event.message()).dump() << std::endl;
            if (until && testsupport::xpcDictionaryContains(event.message(), *until))
                matched = true;
        }
        changed.notify_all();
    });
    connection->resume();
    for (; i < argc; ++i)
        if (!connection->send(parse(argv[i]))) die(5, "cannot send");
    if (!connection->flush(std::chrono::seconds(30))) die(5, "cannot send");
    if (until) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return matched || failed; });
        if (!matched) {
            lock.unlock();
            die(failed ? 5 : 3, failed ? "the connection failed" : "nothing matching came");
        }
    }
    std::cout.flush();
    std::_Exit(0);
}
