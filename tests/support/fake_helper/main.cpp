// A scriptable stand-in for a helper program, so that tests can talk to a
// real second process.
//
//   pel_fake_helper --service NAME [--user-scope] [--uid UID] [--log FILE] -- STEP...
//
// It listens for the service (under PEL_PATH_ROOT when set), writes "ready"
// and a line feed to standard output, then runs the steps in order:
//   accept            wait for a client (the steps below wait for one too)
//   expect JSON       the next message must hold these entries, typed
//   expect-any        take the next message, whatever it is
//   send JSON         send a message to the client; it is written before the
//                     next step starts
//   reply JSON        answer the last message received (it must expect one)
//   sleep MS          pause
//   close             close the client connection
//   wait-close        wait until the client closes
//   crash             die of SIGSEGV
//   hang              stop doing anything until killed
//   exit N            exit with status N at once
// After the last step it closes everything and exits with 0. Messages use the
// JSON form of support/XpcJson.h. Exit statuses: 2 an expectation failed, 3
// nothing came in time, 4 bad arguments or script, 5 cannot listen.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcListener.h"
#include "support/XpcJson.h"

using namespace platform;
using testsupport::xpcDictionaryContains;
using testsupport::xpcFromJsonText;
using testsupport::xpcToJson;

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(20);

enum ExitStatus { kMismatch = 2, kTimeout = 3, kBadScript = 4, kCannotListen = 5 };

[[noreturn]] void die(int status, const std::string& message) {
    std::cerr << "fake helper: " << message << std::endl;
    std::_Exit(status);
}

// Everything the listener and the current client hand over.
struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<XpcConnectionPtr> newPeers;
    XpcConnectionPtr peer;
    std::deque<XpcEvent> messages;
    bool peerGone = false;
};

class Helper {
  public:
    Helper(std::string logPath) : logPath_(std::move(logPath)) {}

    void listen(const std::string& service, XpcServiceScope scope) {
        Error error;
        listener_ = XpcListener::create(service, scope, nullptr, &error);
        if (!listener_) die(kCannotListen, "cannot listen: " + error.description());
        listener_->setNewConnectionHandler([inbox = inbox_](XpcConnectionPtr peer) {
            std::lock_guard lock(inbox->mutex);
            inbox->newPeers.push_back(std::move(peer));
            inbox->changed.notify_all();
        });
        listener_->resume();
    }

    XpcConnectionPtr client() {
        std::unique_lock lock(inbox_->mutex);
        if (inbox_->peer) return inbox_->peer;
        if (!inbox_->changed.wait_for(lock, kWaitLimit, [&] { return !inbox_->newPeers.empty(); }))
            die(kTimeout, "no client connected");
        auto peer = inbox_->newPeers.front();
        inbox_->newPeers.pop_front();
        inbox_->peer = peer;
        inbox_->peerGone = false;
        inbox_->messages.clear();
        std::weak_ptr<XpcConnection> weak = peer;
        peer->setEventHandler([inbox = inbox_, weak](const XpcEvent& event) {
            std::lock_guard lock(inbox->mutex);
            if (inbox->peer != weak.lock()) return;
            if (event.isError())
                inbox->peerGone = true;
            else
                inbox->messages.push_back(event);
            inbox->changed.notify_all();
        });
        peer->resume();
        return peer;
    }

    XpcEvent nextMessage() {
        client();
        std::unique_lock lock(inbox_->mutex);
        if (!inbox_->changed.wait_for(
                lock, kWaitLimit, [&] { return !inbox_->messages.empty() || inbox_->peerGone; }))
            die(kTimeout, "no message came");
        if (inbox_->messages.empty()) die(kTimeout, "the client went away instead of sending");
        XpcEvent event = inbox_->messages.front();
        inbox_->messages.pop_front();
        lock.unlock();
        record(event.message());
        lastMessage_ = event;
        return event;
    }

    void send(const XpcObject& message) {
        auto peer = client();
        if (!peer->send(message) || !peer->flush(kWaitLimit))
            die(kTimeout, "could not send " + message.description());
    }

    void reply(const XpcObject& message) {
        auto peer = client();
        if (!lastMessage_ || !peer->reply(*lastMessage_, message) || !peer->flush(kWaitLimit))
            die(kBadScript, "nothing to reply to");
    }

    void closeClient() {
        XpcConnectionPtr peer;
        {
            std::lock_guard lock(inbox_->mutex);
            peer = std::move(inbox_->peer);
        }
        if (peer) peer->cancel();
    }

    void waitClose() {
        client();
        std::unique_lock lock(inbox_->mutex);
        if (!inbox_->changed.wait_for(lock, kWaitLimit, [&] { return inbox_->peerGone; }))
            die(kTimeout, "the client did not close");
        inbox_->peer = nullptr;
    }

    void finish() {
        closeClient();
        if (listener_) listener_->cancel();
    }

  private:
    void record(const XpcObject& message) {
        if (logPath_.empty()) return;
        std::ofstream log(logPath_, std::ios::app);
        log << xpcToJson(message).dump() << "\n";
    }

    std::string logPath_;
    std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
    XpcListenerPtr listener_;
    std::optional<XpcEvent> lastMessage_;
};

XpcObject parseMessage(const std::string& text) {
    XpcObject message;
    std::string error;
    if (!xpcFromJsonText(text, message, &error)) die(kBadScript, error);
    return message;
}

void runStep(Helper& helper, const std::string& step) {
    auto space = step.find(' ');
    std::string verb = step.substr(0, space);
    std::string argument = space == std::string::npos ? "" : step.substr(space + 1);
    if (verb == "accept") {
        helper.client();
    } else if (verb == "expect") {
        XpcObject expected = parseMessage(argument);
        XpcEvent event = helper.nextMessage();
        if (!xpcDictionaryContains(event.message(), expected))
            die(kMismatch,
                "expected " + expected.description() + ", got " + event.message().description());
    } else if (verb == "expect-any") {
        helper.nextMessage();
    } else if (verb == "send") {
        helper.send(parseMessage(argument));
    } else if (verb == "reply") {
        helper.reply(parseMessage(argument));
    } else if (verb == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argument.c_str())));
    } else if (verb == "close") {
        helper.closeClient();
    } else if (verb == "wait-close") {
        helper.waitClose();
    } else if (verb == "crash") {
        rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    } else if (verb == "hang") {
        for (;;) pause();
    } else if (verb == "exit") {
        std::_Exit(std::atoi(argument.c_str()));
    } else {
        die(kBadScript, "unknown step: " + step);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string service, logPath;
    XpcServiceScope scope = XpcServiceScope::System;
    long uid = -1;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--service" && i + 1 < argc) {
            service = argv[++i];
        } else if (arg == "--log" && i + 1 < argc) {
            logPath = argv[++i];
        } else if (arg == "--uid" && i + 1 < argc) {
            uid = std::atol(argv[++i]);
        } else if (arg == "--user-scope") {
            scope = XpcServiceScope::User;
        } else {
            die(kBadScript, "unknown argument: " + arg);
        }
    }
    if (service.empty()) die(kBadScript, "no --service");
    // Dropped before listening: the kernel reports the listener's credentials
    // as they were when it started to listen.
    if (uid >= 0 && (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0))
        die(kBadScript, "cannot change to uid " + std::to_string(uid));

    Helper helper(logPath);
    helper.listen(service, scope);
    std::cout << "ready" << std::endl;
    for (; i < argc; ++i) runStep(helper, argv[i]);
    helper.finish();
    // Queue threads may still be winding down; leave without running static
    // destructors under them.
    std::cout.flush();
    std::_Exit(0);
}
