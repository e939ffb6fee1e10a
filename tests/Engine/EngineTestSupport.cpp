#include "EngineTestSupport.h"

#include <fstream>

#include "Foundation/PelLogging.h"

namespace enginetest {

QuietLog::QuietLog() {
    PelLogChannel::Config config = PelLogging::installChannelConfig();
    config.copyToStderr = false;
    config.sendToSystemLog = false;
    PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config));
}

QuietLog::~QuietLog() { PelLogging::setSharedChannel(nullptr); }

EngineFixture::EngineFixture() {
    std::filesystem::create_directories(rooted("/Library/Application Support/Pelgrave/Registry"));
    registry_ = std::make_unique<PelRegistry::Registry>("/");
    PelHardwareUtilities::sharedHardwareUtilities().setSystemInfo(system_);
    PelProductCheckUtils::sharedProductCheck().setPackageReceipts(receipts_);
    PelProductCheckUtils::sharedProductCheck().setRegistry(registry_.get());
    PelMiscRequirement::setNetworkReachability(reachability_);
}

EngineFixture::~EngineFixture() {
    PelHardwareUtilities::sharedHardwareUtilities().setSystemInfo(nullptr);
    PelProductCheckUtils::sharedProductCheck().setPackageReceipts(nullptr);
    PelProductCheckUtils::sharedProductCheck().setRegistry(nullptr);
    PelMiscRequirement::setNetworkReachability(nullptr);
}

void EngineFixture::writeModule(const std::string& name, const Dictionary& module) const {
    writePlist(rooted("/Library/Application Support/Pelgrave/Registry/") + name, Value(module));
}

std::string EngineFixture::writePlist(const std::string& path, const Value& value) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    platform::Error error;
    EXPECT_TRUE(platform::PropertyList::toFile(value, path, platform::PropertyListFormat::XML,
                                               false, &error))
        << error.description();
    return path;
}

void EngineFixture::touch(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path).put('\n');
}

std::string EngineFixture::mountVolume(const std::string& mountPoint, const std::string& type,
                                       bool makeFolder) const {
    const std::string table = rooted("/proc/self/mountinfo");
    std::filesystem::create_directories(std::filesystem::path(table).parent_path());
    std::ofstream out(table, std::ios::app);
    if (out.tellp() == 0) out << "20 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";
    std::string escaped;
    for (char c : mountPoint) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    static int next = 30;
    const int id = ++next;
    out << id << " 20 8:" << id << " / " << escaped << " rw,nosuid shared:" << id << " - " << type
        << " /dev/sdb" << id << " rw\n";
    if (makeFolder) {
        std::filesystem::create_directories(rooted(mountPoint));
        std::filesystem::permissions(rooted(mountPoint), std::filesystem::perms(0755));
    }
    return rooted(mountPoint);
}

}  // namespace enginetest
