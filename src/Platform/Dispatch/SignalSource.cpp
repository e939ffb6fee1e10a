#include "Platform/Dispatch/SignalSource.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Dispatch/ThreadName.h"

namespace platform {

struct SignalSource::State : std::enable_shared_from_this<SignalSource::State> {
    int signo = 0;
    DispatchQueuePtr queue;
    std::mutex mutex;
    Block handler;
    bool cancelled = false;
    bool callPending = false;

    // From the watcher thread: one arrival (or several merged).
    void arrived() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (cancelled || callPending) return;
            callPending = true;
        }
        std::weak_ptr<State> weak = weak_from_this();
        queue->async([weak] {
            auto state = weak.lock();
            if (!state) return;
            Block toRun;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (state->cancelled) return;
                state->callPending = false;
                toRun = state->handler;
            }
            toRun();
        });
    }
};

namespace {

// The write end of the pipe, read by the signal handler. Set once, before the
// first handler is installed, and never closed.
std::atomic<int> gPipeWrite{-1};

extern "C" void forwardSignal(int signo) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    const int fd = gPipeWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        // A full pipe means arrivals are already waiting; dropping this byte
        // only merges them.
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

class Registry {
  public:
    static Registry& shared() {
        // Never destroyed: the watcher thread and signal handlers use it until
        // the process ends.
        static Registry* registry = new Registry;
        return *registry;
    }

    bool add(const std::shared_ptr<SignalSource::State>& state, Error* error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!startLocked(error)) return false;
        Slot& slot = slots_[state->signo];
        if (slot.sources.empty()) {
            struct sigaction action = {};
            action.sa_handler = forwardSignal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            if (sigaction(state->signo, &action, &slot.previous) != 0) {
                setError(error, Error::posix(errno));
                return false;
            }
        }
        slot.sources.push_back(state);
        return true;
    }

    void remove(const SignalSource::State* state) {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot& slot = slots_[state->signo];
        auto it = std::find_if(slot.sources.begin(), slot.sources.end(),
                               [&](const auto& weak) { return weak.lock().get() == state; });
        if (it == slot.sources.end()) return;
        slot.sources.erase(it);
        if (slot.sources.empty()) sigaction(state->signo, &slot.previous, nullptr);
    }

  private:
    struct Slot {
        std::vector<std::weak_ptr<SignalSource::State>> sources;
        struct sigaction previous = {};
    };

    bool startLocked(Error* error) {
        if (readFd_ >= 0) return true;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            setError(error, Error::posix(errno));
            return false;
        }
        fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
        readFd_ = fds[0];
        gPipeWrite.store(fds[1]);
        std::thread([this] { watch(); }).detach();
        return true;
    }

    void watch() {
        setCurrentThreadName("pel.signals");
        unsigned char buffer[64];
        for (;;) {
            ssize_t n = read(readFd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i) {
                std::vector<std::shared_ptr<SignalSource::State>> targets;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    const int signo = buffer[i];
                    if (signo <= 0 || signo >= NSIG) continue;
                    for (const auto& weak : slots_[signo].sources)
                        if (auto state = weak.lock()) targets.push_back(state);
                }
                for (const auto& state : targets) state->arrived();
            }
        }
    }

    std::mutex mutex_;
    int readFd_ = -1;
    Slot slots_[NSIG];
};

}  // namespace

std::shared_ptr<SignalSource> SignalSource::create(int signo, DispatchQueuePtr queue, Block handler,
                                                   Error* error) {
    if (signo <= 0 || signo >= NSIG || signo == SIGKILL || signo == SIGSTOP) {
        setError(error, Error::posix(EINVAL));
        return nullptr;
    }
    auto state = std::make_shared<State>();
    state->signo = signo;
    state->queue = queue ? std::move(queue) : globalQueue();
    state->handler = handler ? std::move(handler) : Block([] {});
    if (!Registry::shared().add(state, error)) return nullptr;
    return std::shared_ptr<SignalSource>(new SignalSource(std::move(state)));
}

SignalSource::SignalSource(std::shared_ptr<State> state) : state_(std::move(state)) {}

SignalSource::~SignalSource() { cancel(); }

int SignalSource::signalNumber() const { return state_->signo; }

void SignalSource::cancel() {
    Block released;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        released = std::move(state_->handler);
    }
    Registry::shared().remove(state_.get());
}

bool SignalSource::isCancelled() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->cancelled;
}

}  // namespace platform
