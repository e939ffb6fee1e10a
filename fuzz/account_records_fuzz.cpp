// Account records as they arrive from the gateway: a JSON object is decoded
// as each record kind. Every record that decodes must describe itself and
// survive an encode/decode round trip unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Controllers/Core/WYFAccountRecords.h"
#include "Platform/Values/Json.h"

namespace {

template <typename Record>
void check(const platform::Dictionary& coded) {
    auto record = Record::decode(coded, nullptr);
    if (!record) return;
    (void)record->description();
    auto again = Record::decode(record->encode(), nullptr);
    if (!again || !(*again == *record)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto value = platform::json::parse(std::span<const std::uint8_t>(data, size), nullptr);
    if (!value) return 0;
    const platform::Dictionary* coded = value->asDictionary();
    if (!coded) return 0;
    check<wyf::WYFBindInfo>(*coded);
    check<wyf::WYFDashboardInfo>(*coded);
    check<wyf::WYFDashboardBackup>(*coded);
    check<wyf::WYFDashboardCreditScore>(*coded);
    if (const platform::Value* headers = value->get("additionalhttpheader")) {
        if (const platform::Dictionary* d = headers->asDictionary())
            (void)wyf::wyfAdditionalHeaderJson(*d);
    }
    return 0;
}
