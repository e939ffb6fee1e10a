#include "Platform/Dispatch/FileWatchSource.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "Platform/Dispatch/ThreadName.h"

namespace platform {

// Each source has its own inotify instance and a thread waiting on it and on
// an eventfd that cancel() signals. The thread owns both descriptors (through
// the State it holds) and closes them when it ends.
struct FileWatchSource::State : std::enable_shared_from_this<FileWatchSource::State> {
    int inotifyFd = -1;
    int cancelFd = -1;
    unsigned mask = 0;
    DispatchQueuePtr queue;
    std::mutex mutex;
    Handler handler;
    bool cancelled = false;
    unsigned pendingEvents = 0;  // non-zero while a call waits on the queue

    ~State() {
        if (inotifyFd >= 0) close(inotifyFd);
        if (cancelFd >= 0) close(cancelFd);
    }

    static unsigned translate(uint32_t in) {
        unsigned out = 0;
        if (in & IN_MODIFY) out |= kWrite | kExtend;
        if (in & IN_ATTRIB) out |= kAttrib;
        if (in & IN_DELETE_SELF) out |= kDelete;
        if (in & IN_MOVE_SELF) out |= kRename;
        if (in & IN_CLOSE_WRITE) out |= kCloseWrite;
        return out;
    }

    void changed(unsigned events) {
        events &= mask;
        if (events == 0) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (cancelled) return;
            const bool callWaiting = pendingEvents != 0;
            pendingEvents |= events;
            if (callWaiting) return;
        }
        std::weak_ptr<State> weak = weak_from_this();
        queue->async([weak] {
            auto state = weak.lock();
            if (!state) return;
            Handler toRun;
            unsigned events;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (state->cancelled) return;
                events = state->pendingEvents;
                state->pendingEvents = 0;
                toRun = state->handler;
            }
            toRun(events);
        });
    }

    static void watch(const std::shared_ptr<State>& state) {
        setCurrentThreadName("pel.filewatch");
        alignas(inotify_event) char buffer[4096];
        pollfd fds[2] = {{state->inotifyFd, POLLIN, 0}, {state->cancelFd, POLLIN, 0}};
        for (;;) {
            int ready = poll(fds, 2, -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) return;
            ssize_t n = read(state->inotifyFd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return;
            unsigned events = 0;
            bool ignored = false;
            for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                events |= translate(event->mask);
                if (event->mask & IN_IGNORED) ignored = true;
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            state->changed(events);
            // The file is gone and its watch with it: nothing more can come.
            if (ignored) return;
        }
    }
};

std::shared_ptr<FileWatchSource> FileWatchSource::create(const std::string& path, unsigned mask,
                                                         DispatchQueuePtr queue, Handler handler,
                                                         Error* error) {
    auto state = std::make_shared<State>();
    state->mask = mask;
    state->queue = queue ? std::move(queue) : globalQueue();
    state->handler = handler ? std::move(handler) : Handler([](unsigned) {});
    state->inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (state->inotifyFd < 0) {
        setError(error, Error::posix(errno, path));
        return nullptr;
    }
    state->cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->cancelFd < 0) {
        setError(error, Error::posix(errno, path));
        return nullptr;
    }
    // Attribute changes are watched always: an unlink shows up as one (the
    // link count) before the file is finally deleted.
    const uint32_t watchMask =
        IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_CLOSE_WRITE;
    if (inotify_add_watch(state->inotifyFd, path.c_str(), watchMask) < 0) {
        setError(error, Error::posix(errno, path));
        return nullptr;
    }
    try {
        std::thread([state] { State::watch(state); }).detach();
    } catch (const std::system_error& e) {
        setError(error, Error::posix(e.code().value(), path));
        return nullptr;
    }
    return std::shared_ptr<FileWatchSource>(new FileWatchSource(std::move(state)));
}

FileWatchSource::FileWatchSource(std::shared_ptr<State> state) : state_(std::move(state)) {}

FileWatchSource::~FileWatchSource() { cancel(); }

void FileWatchSource::cancel() {
    Handler released;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        released = std::move(state_->handler);
    }
    const uint64_t one = 1;
    ssize_t ignored = write(state_->cancelFd, &one, sizeof one);
    (void)ignored;
}

bool FileWatchSource::isCancelled() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->cancelled;
}

}  // namespace platform
