// Where the installer's fixed folders and the user's folders really are.
//
// Code keeps every fixed absolute path in its system text ("/Library/Logs",
// "/var/tmp/com.pelgrave.installer") and asks resolve() for the place to use.
// A process-wide root prefix redirects all of them: tests set it with
// setRoot() (or a ScopedRoot); the program reads the environment variable
// PEL_PATH_ROOT once, at first use. With no root, paths are used as written.
//
// The rule that keeps a path from getting the root twice: resolve() takes
// system texts only, never its own results or paths built from them. As a
// safety net it returns a path that already lies inside the root unchanged.
//
// All functions are thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Paths {
  public:
    /// The place of a fixed absolute path: root + path, or the path itself when
    /// no root is set. A relative path, and a path already inside the root,
    /// come back unchanged.
    static std::string resolve(std::string_view systemPath);

    /// The current root ("" when none).
    static std::string root();
    /// Sets the root (an absolute folder; trailing slashes are dropped; "" or
    /// "/" means none).
    static void setRoot(std::string_view root);
    /// Forgets setRoot() and setHomeDirectory(): the root is PEL_PATH_ROOT again
    /// ("" when unset) and the home folder is found anew.
    static void reset();

    /// The user's home folder: the override of setHomeDirectory() when there is
    /// one; else $HOME, or the password database's entry of the effective
    /// user. With a root set (and no override) it lies under the root, so
    /// that nothing reaches the real home folder.
    static std::string homeDirectory();
    /// Overrides the home folder (taken as is, never prefixed with the root).
    static void setHomeDirectory(std::string_view home);

    /// home + "/Library/" + sub, e.g. userLibrary("Logs") -> "~/Library/Logs";
    /// userLibrary("") is home + "/Library".
    static std::string userLibrary(std::string_view sub);
    /// home + "/Downloads".
    static std::string downloadsDirectory();
    /// The folder for temporary files, without a trailing slash: $TMPDIR or
    /// "/tmp", under the root when one is set.
    static std::string temporaryDirectory();

    /// Joins two path pieces with exactly one "/" between them ("a/" + "/b" ->
    /// "a/b"); an empty piece gives the other one.
    static std::string join(std::string_view base, std::string_view component);

    /// Sets a root (and optionally a home folder) for the life of the object,
    /// then restores the previous settings.
    class ScopedRoot {
      public:
        explicit ScopedRoot(std::string_view root, std::optional<std::string> home = std::nullopt);
        ~ScopedRoot();
        ScopedRoot(const ScopedRoot&) = delete;
        ScopedRoot& operator=(const ScopedRoot&) = delete;

      private:
        std::string previousRoot_;
        std::optional<std::string> previousHome_;
    };

  private:
    static std::optional<std::string> homeOverride();
    static void restore(std::string root, std::optional<std::string> home);
};

}  // namespace platform
