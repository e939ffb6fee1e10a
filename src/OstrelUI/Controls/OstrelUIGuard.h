// Keeps exceptions out of Qt's frames.
//
// Qt is built without cleanup tables, so an exception that leaves a slot, an
// event handler, an animation completion or a timer block ends the process.
// Every such entry point of the kit and the screens runs its body through
// guarded(): an exception is caught there and handed to the process's
// exception reporter, and the entry point returns a default value.
//
// The application installs the reporter (it files a failure report); until
// then exceptions are written to standard error.
#pragma once

#include <concepts>
#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

namespace ostrelui {

/// Receives an exception caught by guarded(). Runs on the thread that caught
/// it; whatever it throws is swallowed.
using ExceptionReporter = std::function<void(const std::exception&)>;

/// Installs the process's reporter; null restores the default (standard
/// error). Call on the main thread, before the event loop runs.
void setExceptionReporter(ExceptionReporter reporter);

/// Hands `exception` to the reporter. Never throws.
void reportException(const std::exception& exception) noexcept;

/// Reports the exception being handled (call inside a catch block only):
/// std::exception and its kin as they are, anything else as a generic
/// exception. Never throws.
void reportCurrentException() noexcept;

/// Wraps `fn` so that calling the wrapper never throws: an exception from
/// `fn` is reported and the wrapper returns a value-initialised result.
///
///     connect(button, &QAbstractButton::clicked, this, guarded([this] { next(); }));
///     void paintEvent(QPaintEvent* e) override { guarded([&] { paint(e); })(); }
template <class Fn>
auto guarded(Fn fn) {
    return [fn = std::move(fn)]<class... Args>(
               Args && ... args) mutable noexcept -> std::invoke_result_t<Fn&, Args...>
    requires std::invocable<Fn&, Args...> {
        using Result = std::invoke_result_t<Fn&, Args...>;
        try {
            return fn(std::forward<Args>(args)...);
        } catch (...) {
            reportCurrentException();
            if constexpr (!std::is_void_v<Result>) return Result{};
        }
    };
}

}  // namespace ostrelui
