#include "Platform/System/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "Platform/System/UserAccount.h"

namespace platform {
namespace {

struct State {
    std::mutex mutex;
    bool rootLoaded = false;
    std::string root;
    std::optional<std::string> home;
};

State& state() {
    static State* s = new State;  // never destroyed: usable from static destructors
    return *s;
}

std::string normaliseRoot(std::string_view root) {
    while (!root.empty() && root.back() == '/') root.remove_suffix(1);
    return std::string(root);
}

std::string environmentRoot() {
    const char* env = std::getenv("PEL_PATH_ROOT");
    return env ? normaliseRoot(env) : std::string();
}

// Caller holds the mutex.
const std::string& currentRoot(State& s) {
    if (!s.rootLoaded) {
        s.root = environmentRoot();
        s.rootLoaded = true;
    }
    return s.root;
}

bool isInside(std::string_view path, std::string_view root) {
    return path.size() >= root.size() && path.substr(0, root.size()) == root &&
           (path.size() == root.size() || path[root.size()] == '/');
}

std::string prefixed(const std::string& root, std::string_view path) {
    if (root.empty() || path.empty() || path.front() != '/' || isInside(path, root))
        return std::string(path);
    return root + std::string(path);
}

std::string systemHome() {
    if (const char* env = std::getenv("HOME"); env && *env) return env;
    if (auto account = userAccount(geteuid()); account && !account->home.empty())
        return account->home;
    return "/";
}

}  // namespace

std::string Paths::resolve(std::string_view systemPath) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return prefixed(currentRoot(s), systemPath);
}

std::string Paths::root() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return currentRoot(s);
}

void Paths::setRoot(std::string_view root) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.root = normaliseRoot(root);
    s.rootLoaded = true;
}

void Paths::reset() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.rootLoaded = false;
    s.root.clear();
    s.home.reset();
}

std::string Paths::homeDirectory() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.home) return *s.home;
    std::string home = systemHome();
    const std::string& root = currentRoot(s);
    // Under a root the home folder must be inside it even when $HOME happens
    // to lie inside the root already.
    if (root.empty() || home.empty() || home.front() != '/') return home;
    return root + home;
}

void Paths::setHomeDirectory(std::string_view home) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.home = std::string(home);
}

std::string Paths::userLibrary(std::string_view sub) {
    return join(join(homeDirectory(), "Library"), sub);
}

std::string Paths::downloadsDirectory() { return join(homeDirectory(), "Downloads"); }

std::string Paths::temporaryDirectory() {
    const char* env = std::getenv("TMPDIR");
    std::string_view tmp = env && *env == '/' ? std::string_view(env) : std::string_view("/tmp");
    while (tmp.size() > 1 && tmp.back() == '/') tmp.remove_suffix(1);
    return resolve(tmp);
}

std::string Paths::join(std::string_view base, std::string_view component) {
    if (component.empty()) return std::string(base);
    if (base.empty()) return std::string(component);
    while (base.size() > 1 && base.back() == '/') base.remove_suffix(1);
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    std::string out(base);
    if (out.back() != '/') out += '/';
    out += component;
    return out;
}

std::optional<std::string> Paths::homeOverride() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.home;
}

void Paths::restore(std::string root, std::optional<std::string> home) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.root = std::move(root);
    s.rootLoaded = true;
    s.home = std::move(home);
}

Paths::ScopedRoot::ScopedRoot(std::string_view root, std::optional<std::string> home)
    : previousRoot_(Paths::root()), previousHome_(homeOverride()) {
    setRoot(root);
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.home = std::move(home);
}

Paths::ScopedRoot::~ScopedRoot() { restore(std::move(previousRoot_), std::move(previousHome_)); }

}  // namespace platform
