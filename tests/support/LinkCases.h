// Archive layouts with links, shared by the tests of every extractor (the
// package installer, payload archives, the download unpacker): each builds
// the same layouts in its own archive format. A hostile layout must be
// refused with nothing outside the destination changed and none of its
// entries left; the plain one must unpack as written.
#pragma once

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace linkcases {

struct Entry {
    enum Kind { File, Folder, Link, HardLink };
    Entry(std::string name, Kind kind, std::string value = {})
        : name(std::move(name)), kind(kind), value(std::move(value)) {}
    std::string name;
    Kind kind = File;
    std::string value;  // a file's bytes, or a link's target
};

struct Case {
    const char* what;
    std::vector<Entry> entries;
    bool hostile = true;
    bool hardLink = false;  // needs a format that holds hard links
};

/// The destination of every case is <top>/a/dest, with <top>/secret.txt two
/// levels above it.
inline const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"a link to its own folder, then a link climbing through it",
         {{"l1", Entry::Link, "."}, {"Notes", Entry::Link, "l1/l1/../../secret.txt"}}},
        {"a chain of links that each climb one level",
         {{"App", Entry::Folder},
          {"App/l", Entry::Link, ".."},
          {"App/l/l2", Entry::Link, ".."},
          {"App/l/l2/PWNED", Entry::File, "pwned"}}},
        {"a hard link to an earlier link that stays inside",
         {{"d", Entry::Folder}, {"d/s", Entry::Link, ".."}, {"h", Entry::HardLink, "d/s"}},
         true,
         true},
        {"an absolute link, then a file through it",
         {{"abs", Entry::Link, "/tmp"}, {"abs/pel-link-case-PWNED", Entry::File, "pwned"}}},
        {"a link two levels up, then a file through it",
         {{"up", Entry::Link, "../.."}, {"up/PWNED", Entry::File, "pwned"}}},
        {"plain links that stay inside",
         {{"d", Entry::Folder},
          {"d/f", Entry::File, "inside"},
          {"l", Entry::Link, "d/f"},
          {"top", Entry::Link, "d"},
          {"sub", Entry::Folder},
          {"sub/back", Entry::Link, "../d/f"}},
         false},
    };
    return all;
}

/// The first part of every entry name of `c`.
inline std::vector<std::string> topNames(const Case& c) {
    std::vector<std::string> names;
    for (const auto& e : c.entries) {
        const std::string top = e.name.substr(0, e.name.find('/'));
        if (std::find(names.begin(), names.end(), top) == names.end()) names.push_back(top);
    }
    return names;
}

/// <top>/secret.txt and the folder <top>/a/dest, and what lies outside it.
class Site {
  public:
    explicit Site(std::string top) : top_(std::move(top)) {
        std::filesystem::create_directories(destination());
        std::ofstream(top_ + "/secret.txt") << "secret";
        before_ = outside();
    }
    std::string destination() const { return top_ + "/a/dest"; }

    /// Everything below the top but outside the destination, and beside the
    /// top (where a climbing entry would land): kind and bytes or target.
    std::map<std::string, std::string> outside() const {
        namespace fs = std::filesystem;
        std::map<std::string, std::string> seen;
        const fs::path dest = fs::path(destination());
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(top_, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            const fs::path& p = it->path();
            if (p == dest) {
                it.disable_recursion_pending();
                continue;
            }
            seen[p.string()] = describe(p);
        }
        for (const char* name : {"PWNED", "secret.txt"}) {
            const fs::path beside = fs::path(top_).parent_path() / name;
            seen[beside.string()] = describe(beside);
        }
        seen["/tmp/pel-link-case-PWNED"] = describe("/tmp/pel-link-case-PWNED");
        return seen;
    }

    /// The checks after an extraction of `c` (`refused`: whether it was).
    void expectOutcome(const Case& c, bool refused) const {
        namespace fs = std::filesystem;
        EXPECT_EQ(outside(), before_);
        if (c.hostile) {
            EXPECT_TRUE(refused);
            for (const auto& top : topNames(c))
                EXPECT_FALSE(fs::exists(fs::symlink_status(destination() + "/" + top))) << top;
            return;
        }
        ASSERT_FALSE(refused);
        for (const char* link : {"l", "sub/back", "top/f"}) {
            std::ifstream in(destination() + "/" + link);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "inside") << link;
        }
        EXPECT_TRUE(fs::is_symlink(destination() + "/top"));
    }

  private:
    static std::string describe(const std::filesystem::path& p) {
        namespace fs = std::filesystem;
        std::error_code ec;
        const auto status = fs::symlink_status(p, ec);
        if (ec || !fs::exists(status)) return "missing";
        if (fs::is_symlink(status)) return "link " + fs::read_symlink(p, ec).string();
        if (fs::is_directory(status)) return "folder";
        std::ifstream in(p);
        return "file " + std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string top_;
    std::map<std::string, std::string> before_;
};

}  // namespace linkcases
