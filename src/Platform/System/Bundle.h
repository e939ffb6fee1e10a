// An application or resource bundle: a folder with an information property
// list, resources and localized strings tables.
//
// Two layouts are recognised. An application bundle
//     <Name>.app/Contents/Info.plist
//     <Name>.app/Contents/MacOS/<executable>
//     <Name>.app/Contents/Resources/...            (and <lang>.lproj/ inside)
// and a flat folder holding Info.plist (optional) and the resources itself.
//
// A Bundle is immutable after construction except for its cache of strings
// tables, which is guarded; every member function may be called from any
// thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/StringsFile.h"
#include "Platform/Values/Value.h"

namespace platform {

class Bundle {
  public:
    /// The bundle at `path` (made absolute). Reads its Info.plist now; a
    /// missing or unreadable one gives an empty information dictionary.
    explicit Bundle(std::string path);

    /// The bundle at `path`, or null when `path` is not a folder.
    static std::shared_ptr<const Bundle> bundleWithPath(const std::string& path);

    /// The running program's bundle: X.app when the executable lies at
    /// X.app/Contents/MacOS/<name>, otherwise the executable's folder (flat
    /// layout). Found once, on first use, unless replaced.
    static std::shared_ptr<const Bundle> mainBundle();
    /// The bundle folder for an executable at `executablePath`: X.app for
    /// X.app/Contents/MacOS/<name>, otherwise the executable's folder.
    static std::string bundlePathForExecutable(const std::string& executablePath);
    /// Replaces the main bundle (tests); null returns to the discovered one.
    static void setMainBundle(std::shared_ptr<const Bundle> bundle);

    /// The user's language as a lowercase code ("de"): the first usable entry
    /// of LANGUAGE, LC_ALL, LC_MESSAGES or LANG ("de_DE.UTF-8" gives "de";
    /// "C" and "POSIX" are passed over), else "en".
    static std::string preferredLanguage();
    /// Overrides preferredLanguage() (tests); "" returns to the environment.
    static void setPreferredLanguage(std::string language);

    const std::string& bundlePath() const { return path_; }
    /// Contents/Resources, or the bundle folder itself in the flat layout.
    const std::string& resourcePath() const { return resourcePath_; }
    /// Contents/MacOS/<CFBundleExecutable> (flat layout: <folder>/<name>);
    /// for the discovered main bundle the running executable. "" when the
    /// Info.plist names no executable.
    std::string executablePath() const;

    const Dictionary& infoDictionary() const { return info_; }
    /// The information dictionary with the entries of the preferred
    /// language's InfoPlist.strings laid over it.
    Dictionary localizedInfoDictionary() const;
    /// The localized value for `key` when InfoPlist.strings has one, else the
    /// Info.plist value; null when neither has the key.
    Value objectForInfoDictionaryKey(std::string_view key) const;
    /// CFBundleIdentifier, or "" when absent.
    std::string bundleIdentifier() const;

    /// Full path of the resource `name` with extension `type` (either may
    /// carry the extension; "" for none), optionally inside `subdirectory`.
    /// Searched in Resources, then the preferred language's <lang>.lproj,
    /// then Base.lproj, en.lproj and English.lproj. "" when not found.
    std::string pathForResource(std::string_view name, std::string_view type,
                                std::string_view subdirectory = {}) const;
    /// Path of the image called `name`: the name as given when it carries an
    /// extension, else with png, jpg, jpeg, tiff, icns or pdf added. "" when
    /// none exists.
    std::string pathForImageResource(std::string_view name) const;

    /// The text for `key` in strings table `table` ("" means "Localizable"),
    /// looked up in <lang>.lproj/<table>.strings for the preferred language,
    /// the development region, Base, en and English in that order, then in a
    /// table outside any .lproj. A key found nowhere gives `value` when it is
    /// not empty, else the key itself (the key is the English text).
    std::string localizedString(std::string_view key, std::string_view value,
                                std::string_view table) const;

  private:
    struct Discovered {};
    Bundle(std::string path, std::string executable, Discovered);

    using TableChain = std::vector<std::shared_ptr<const StringsTable>>;
    std::shared_ptr<const TableChain> tables(std::string_view table) const;
    std::vector<std::string> localizationFolders(bool forStrings) const;

    std::string path_;
    std::string contentsPath_;  // "" in the flat layout
    std::string resourcePath_;
    std::string executableOverride_;
    Dictionary info_;

    mutable std::mutex cacheMutex_;
    mutable std::map<std::string, std::shared_ptr<const TableChain>, std::less<>> cache_;
};

}  // namespace platform
