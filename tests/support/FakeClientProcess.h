// Runs the fake client (tests/support/fake_client) as a real second process,
// possibly as another user: a client of a real helper program.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "Platform/Xpc/XpcObject.h"

namespace testsupport {

struct FakeClientRun {
    /// The service to talk to (System scope, under the current path root).
    std::string serviceName;
    /// Runs the client as this user (the test must run as root).
    std::optional<uid_t> uid;
    /// Stop once a message holds these entries (JSON); "" stops after sending.
    std::string until;
    /// The messages to send, as JSON.
    std::vector<std::string> messages;
};

struct FakeClientResult {
    /// The exit status (see fake_client/main.cpp), -1 when it did not exit.
    int status = -1;
    std::vector<platform::XpcObject> received;
    /// What the client wrote to its standard error.
    std::string errors;
};

/// Runs the client to its end.
FakeClientResult runFakeClient(const FakeClientRun& run);

}  // namespace testsupport
