#include "Platform/System/KernelModuleWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "Platform/System/Paths.h"

namespace platform {

std::string kernelModuleFolder(const std::string& module) {
    return Paths::resolve("/sys/module/" + module);
}

namespace {

bool folderExists(const std::string& module) {
    struct stat info;
    return stat(kernelModuleFolder(module).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class LinuxKernelModuleWatch : public KernelModuleWatch {
  public:
    explicit LinuxKernelModuleWatch(std::chrono::milliseconds interval) : interval_(interval) {}
    ~LinuxKernelModuleWatch() override { stop(); }

    bool isLoaded(const std::string& module) const override { return folderExists(module); }

    bool start(const std::string& module, DispatchQueuePtr queue, std::function<void()> appeared,
               Error* error) override {
        stop();
        const int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (inotify < 0 || wake < 0) {
            const int code = errno;
            if (inotify >= 0) close(inotify);
            if (wake >= 0) close(wake);
            if (error) *error = Error(std::string(kPOSIXErrorDomain), code);
            return false;
        }
        // Without the folder (no sysfs) the check every second still works.
        inotify_add_watch(inotify, Paths::resolve("/sys/module").c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        std::lock_guard lock(mutex_);
        wake_ = wake;
        auto state = std::make_shared<std::atomic<bool>>(false);
        stopped_ = state;
        thread_ = std::thread([=, this] {
            run(module, inotify, wake, state, queue, appeared);
            close(inotify);
        });
        return true;
    }

    void stop() override {
        std::thread thread;
        int wake;
        {
            std::lock_guard lock(mutex_);
            if (!thread_.joinable()) return;
            stopped_->store(true);
            thread = std::move(thread_);
            wake = wake_;
            wake_ = -1;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = write(wake, &one, sizeof one);
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
        close(wake);
    }

  private:
    void run(const std::string& module, int inotify, int wake,
             const std::shared_ptr<std::atomic<bool>>& stopped, const DispatchQueuePtr& queue,
             const std::function<void()>& appeared) {
        pollfd fds[2] = {{inotify, POLLIN, 0}, {wake, POLLIN, 0}};
        while (!stopped->load()) {
            if (folderExists(module)) {
                queue->async([stopped, appeared] {
                    if (!stopped->exchange(true)) appeared();
                });
                return;
            }
            const int ready = poll(fds, 2, int(interval_.count()));
            if (ready > 0 && (fds[0].revents & POLLIN)) {
                alignas(inotify_event) char buffer[4096];
                while (read(inotify, buffer, sizeof buffer) > 0) {
                }
            }
        }
    }

    std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::thread thread_;
    int wake_ = -1;
    std::shared_ptr<std::atomic<bool>> stopped_;
};

}  // namespace

std::shared_ptr<KernelModuleWatch> makeKernelModuleWatch(std::chrono::milliseconds pollInterval) {
    return std::make_shared<LinuxKernelModuleWatch>(pollInterval);
}

}  // namespace platform
