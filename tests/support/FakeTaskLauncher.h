// A task launcher that runs nothing: it records the tasks and plays back
// scripted output lines and exit statuses, one script per task in order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Platform/System/Task.h"

namespace testsupport {

class FakeTaskLauncher : public platform::TaskLauncher {
  public:
    struct Script {
        std::vector<std::string> lines;
        int status = 0;
    };

    void addScript(Script script) {
        std::lock_guard lock(mutex_);
        scripts_.push_back(std::move(script));
    }

    int run(const platform::Task& task, const platform::TaskLineHandler& onLine) override {
        Script script;
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(task);
            if (next_ < scripts_.size()) script = scripts_[next_++];
        }
        for (const auto& line : script.lines)
            if (onLine) onLine(line);
        return script.status;
    }

    std::vector<platform::Task> tasks() const {
        std::lock_guard lock(mutex_);
        return tasks_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Script> scripts_;
    std::size_t next_ = 0;
    std::vector<platform::Task> tasks_;
};

}  // namespace testsupport
