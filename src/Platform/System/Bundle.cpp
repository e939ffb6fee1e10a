#include "Platform/System/Bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Platform/Values/DataFile.h"
#include "Platform/Values/PropertyList.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::mutex gMainMutex;
std::shared_ptr<const Bundle> gMainBundle;

std::mutex gLanguageMutex;
std::string gLanguageOverride;

const char* const kImageExtensions[] = {"png", "jpg", "jpeg", "tiff", "icns", "pdf"};

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string normalizedPath(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string join(std::string_view a, std::string_view b) {
    if (b.empty()) return std::string(a);
    if (a.empty()) return std::string(b);
    std::string s(a);
    if (s.back() != '/') s += '/';
    s += b;
    return s;
}

// "de_DE.UTF-8" -> "de"; "" for C, POSIX and anything unusable.
std::string languageCode(std::string_view locale) {
    std::size_t end = locale.find_first_of("_-.@");
    std::string code(locale.substr(0, end));
    for (char& c : code) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (code == "c" || code == "posix") return {};
    if (code.empty() ||
        !std::all_of(code.begin(), code.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        return {};
    return code;
}

std::string executableOfProcess() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

}  // namespace

Bundle::Bundle(std::string path) : path_(normalizedPath(path)) {
    if (isDirectory(join(path_, "Contents"))) {
        contentsPath_ = join(path_, "Contents");
        resourcePath_ = join(contentsPath_, "Resources");
    } else {
        resourcePath_ = path_;
    }
    auto info = PropertyList::dictionaryWithContentsOfFile(
        join(contentsPath_.empty() ? path_ : contentsPath_, "Info.plist"));
    if (info) info_ = std::move(*info);
}

Bundle::Bundle(std::string path, std::string executable, Discovered) : Bundle(std::move(path)) {
    executableOverride_ = std::move(executable);
}

std::shared_ptr<const Bundle> Bundle::bundleWithPath(const std::string& path) {
    if (!isDirectory(path)) return nullptr;
    return std::make_shared<const Bundle>(path);
}

std::shared_ptr<const Bundle> Bundle::mainBundle() {
    std::lock_guard lock(gMainMutex);
    if (!gMainBundle) {
        std::string exe = executableOfProcess();
        std::string root = exe.empty() ? std::string(".") : bundlePathForExecutable(exe);
        gMainBundle = std::shared_ptr<const Bundle>(new Bundle(root, exe, Discovered{}));
    }
    return gMainBundle;
}

std::string Bundle::bundlePathForExecutable(const std::string& executablePath) {
    fs::path folder = fs::path(normalizedPath(executablePath)).parent_path();
    if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
        fs::path bundle = folder.parent_path().parent_path();
        if (bundle.extension() == ".app") return bundle.string();
    }
    return folder.string();
}

void Bundle::setMainBundle(std::shared_ptr<const Bundle> bundle) {
    std::lock_guard lock(gMainMutex);
    gMainBundle = std::move(bundle);
}

std::string Bundle::preferredLanguage() {
    {
        std::lock_guard lock(gLanguageMutex);
        if (!gLanguageOverride.empty()) return gLanguageOverride;
    }
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value) continue;
        std::string_view list(value);
        // LANGUAGE may list several languages separated by colons.
        while (!list.empty()) {
            std::size_t colon = list.find(':');
            std::string code = languageCode(list.substr(0, colon));
            if (!code.empty()) return code;
            if (colon == std::string_view::npos) break;
            list.remove_prefix(colon + 1);
        }
    }
    return "en";
}

void Bundle::setPreferredLanguage(std::string language) {
    std::lock_guard lock(gLanguageMutex);
    gLanguageOverride = std::move(language);
}

std::string Bundle::executablePath() const {
    if (!executableOverride_.empty()) return executableOverride_;
    const Value* name =
        info_.count("CFBundleExecutable") ? &info_.find("CFBundleExecutable")->second : nullptr;
    if (!name || !name->isString() || name->asString()->empty()) return {};
    return contentsPath_.empty() ? join(path_, *name->asString())
                                 : join(join(contentsPath_, "MacOS"), *name->asString());
}

Dictionary Bundle::localizedInfoDictionary() const {
    Dictionary result = info_;
    auto chain = tables("InfoPlist");
    // Earlier tables in the chain take precedence.
    for (auto it = chain->rbegin(); it != chain->rend(); ++it)
        for (const auto& [key, text] : **it) result.insert_or_assign(key, Value(text));
    return result;
}

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    for (const auto& table : *tables("InfoPlist"))
        if (auto it = table->find(key); it != table->end()) return Value(it->second);
    auto it = info_.find(key);
    return it == info_.end() ? Value() : it->second;
}

std::string Bundle::bundleIdentifier() const {
    auto it = info_.find("CFBundleIdentifier");
    return it == info_.end() ? std::string() : it->second.stringValue();
}

std::vector<std::string> Bundle::localizationFolders(bool forStrings) const {
    std::vector<std::string> names{preferredLanguage()};
    if (forStrings) {
        auto it = info_.find("CFBundleDevelopmentRegion");
        if (it != info_.end() && it->second.isString()) {
            std::string region = languageCode(*it->second.asString());
            if (region.empty() || region == "english") region = *it->second.asString();
            names.push_back(region);
        }
    }
    for (const char* fallback : {"Base", "en", "English"}) names.emplace_back(fallback);
    std::vector<std::string> folders;
    for (const auto& name : names) {
        std::string folder = join(resourcePath_, name + ".lproj");
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    }
    return folders;
}

std::string Bundle::pathForResource(std::string_view name, std::string_view type,
                                    std::string_view subdirectory) const {
    if (name.empty()) return {};
    std::string file(name);
    if (!type.empty()) {
        if (type.front() == '.') type.remove_prefix(1);
        file += '.';
        file += type;
    }
    std::vector<std::string> bases{resourcePath_};
    for (auto& folder : localizationFolders(false)) bases.push_back(std::move(folder));
    for (const auto& base : bases) {
        std::string candidate = join(join(base, subdirectory), file);
        if (exists(candidate)) return candidate;
    }
    return {};
}

std::string Bundle::pathForImageResource(std::string_view name) const {
    if (name.empty()) return {};
    if (fs::path(name).has_extension()) {
        if (std::string path = pathForResource(name, {}); !path.empty()) return path;
    }
    for (const char* extension : kImageExtensions)
        if (std::string path = pathForResource(name, extension); !path.empty()) return path;
    return {};
}

std::string Bundle::localizedString(std::string_view key, std::string_view value,
                                    std::string_view table) const {
    for (const auto& strings : *tables(table.empty() ? std::string_view("Localizable") : table))
        if (auto it = strings->find(key); it != strings->end()) return it->second;
    return std::string(value.empty() ? key : value);
}

std::shared_ptr<const Bundle::TableChain> Bundle::tables(std::string_view table) const {
    // The chain depends on the preferred language, which tests may change.
    std::string cacheKey = preferredLanguage() + '\n' + std::string(table);
    std::lock_guard lock(cacheMutex_);
    if (auto it = cache_.find(cacheKey); it != cache_.end()) return it->second;

    auto chain = std::make_shared<TableChain>();
    std::vector<std::string> folders = localizationFolders(true);
    folders.push_back(resourcePath_);
    for (const auto& folder : folders) {
        auto bytes = readDataFromFile(join(folder, std::string(table) + ".strings"), nullptr);
        if (!bytes) continue;
        // A table that does not parse is treated as absent: the texts fall
        // back to their keys rather than failing the caller.
        if (auto parsed = parseStringsFile(*bytes, nullptr))
            chain->push_back(std::make_shared<const StringsTable>(std::move(*parsed)));
    }
    cache_.emplace(std::move(cacheKey), chain);
    return chain;
}

}  // namespace platform
