#include "Downloader/PelFSDJob.h"

#include <algorithm>

#include "Downloader/FSDError.h"
#include "Downloader/FSDManifestValues.h"

namespace {

constexpr std::string_view kJobIdMissing = "Job_ID is missing from the download job";
constexpr std::string_view kTransactionIdMissing =
    "Transaction_ID is missing from the download job";
constexpr std::string_view kFilesMissing = "File Array entires were missing in the FSD Job";

std::shared_ptr<PelFSDJob> refuse(platform::Error* error, std::string_view message) {
    platform::setError(error, makeFSDError(kFSDErrorJobOrFile, message));
    return nullptr;
}

template <class T>
void fillIfOpen(std::optional<T>& field, std::optional<T> value) {
    if (!field && value) field = std::move(value);
}

// The job's identifiers: "job_id" must be non-empty UUID text and
// "distribution.transaction_id" UUID text. Text that is not a UUID is
// refused like a missing identifier, so pings never carry a made-up one.
bool readIdentifiers(const platform::Dictionary& dic, std::optional<platform::UuidBytes>& jobId,
                     std::optional<platform::UuidBytes>& transactionId, platform::Error* error) {
    jobId = fsdvalues::uuid(dic, "job_id");
    if (!jobId) {
        refuse(error, kJobIdMissing);
        return false;
    }
    transactionId = fsdvalues::uuid(dic, "distribution.transaction_id");
    if (!transactionId) {
        refuse(error, kTransactionIdMissing);
        return false;
    }
    return true;
}

}  // namespace

void PelFSDJob::fillOpenValues(Values& v, const platform::Dictionary& dic) {
    using namespace fsdvalues;
    fillIfOpen(v.campaignID, number(dic, "distribution.CampaignID"));
    fillIfOpen(v.partnerUnitName, nonEmptyString(dic, "distribution.PartnerUnitName"));
    fillIfOpen(v.partnerUnitID, number(dic, "distribution.PartnerUnitID"));
    fillIfOpen(v.machineName, nonEmptyString(dic, "distribution.machinename"));
    fillIfOpen(v.ccToken, nonEmptyString(dic, "distribution.cc_token"));
    fillIfOpen(v.ccOnBoardingKey, nonEmptyString(dic, "distribution.cc_onboarding_key"));
    fillIfOpen(v.dmrAccessToken, nonEmptyString(dic, "distribution.dmr_access_token"));
    fillIfOpen(v.olpStartURLString, nonEmptyString(dic, "distribution.olp_start_url"));
    fillIfOpen(v.olpEndURLString, nonEmptyString(dic, "distribution.olp_end_url"));
    fillIfOpen(v.ssoString, nonEmptyString(dic, "distribution.sso_llt"));
}

// Ascending priority; files of equal priority keep the manifest's order.
void PelFSDJob::sortFiles(std::vector<PelFSDFilePtr>& files) {
    std::stable_sort(files.begin(), files.end(),
                     [](const PelFSDFilePtr& a, const PelFSDFilePtr& b) {
                         return a->filePriority() < b->filePriority();
                     });
}

std::shared_ptr<PelFSDJob> PelFSDJob::createJobWithDic(const platform::Value& value,
                                                       platform::Error* error) {
    const platform::Dictionary* dic = value.asDictionary();
    if (!dic) return refuse(error, kJobIdMissing);
    auto job = std::make_shared<PelFSDJob>();
    Values& v = job->values_;
    if (!readIdentifiers(*dic, v.jobId, v.transactionId, error)) return nullptr;
    fillOpenValues(v, *dic);

    const platform::Value* files = fsdvalues::valueAtKeyPath(*dic, "file_array");
    const platform::Array* list = files ? files->asArray() : nullptr;
    if (!list || list->empty() || list->size() > kMaxFiles) return refuse(error, kFilesMissing);
    job->fileArray_.reserve(list->size());
    for (const platform::Value& element : *list) {
        // A file that cannot be fetched refuses the whole job: dropping it
        // would leave the product installed without one of its packages.
        auto file = PelFSDFile::createFileWithDic(element, error);
        if (!file) return nullptr;
        job->fileArray_.push_back(std::move(file));
    }
    sortFiles(job->fileArray_);
    return job;
}

std::shared_ptr<PelFSDJob> PelFSDJob::createJobUsingDefaultVersionWithDic(
    const platform::Value& jobArray, platform::Error* error) {
    const platform::Array* entries = jobArray.asArray();
    if (!entries || entries->empty() || entries->size() > kMaxFiles)
        return refuse(error, kFilesMissing);
    auto job = std::make_shared<PelFSDJob>();
    Values& v = job->values_;
    for (const platform::Value& entry : *entries) {
        const platform::Dictionary* dic = entry.asDictionary();
        if (!dic) continue;  // refused as a file below
        const bool hadStart = v.olpStartURLString.has_value();
        fillOpenValues(v, *dic);
        if (!hadStart && v.olpStartURLString &&
            !readIdentifiers(*dic, v.jobId, v.transactionId, error))
            return nullptr;
    }
    job->fileArray_.reserve(entries->size());
    for (const platform::Value& entry : *entries) {
        auto file = PelFSDFile::createFileUsingDefaultVersionWithDic(entry, nullptr);
        if (!file) return refuse(error, kFilesMissing);
        job->fileArray_.push_back(std::move(file));
    }
    sortFiles(job->fileArray_);
    return job;
}

PelFSDFilePtr PelFSDJob::getSetupInstallerFile(const PelFSDJob* job, platform::Error*) {
    if (!job) return nullptr;
    for (const auto& file : job->fileArray_)
        if (file && file->fileType() == PelFSDFile::kSetupInstallerFileType) return file;
    return nullptr;
}

#define PEL_FSD_JOB_GETTER(type, name, field) \
    type PelFSDJob::name() const {            \
        std::lock_guard lock(mutex_);         \
        return values_.field;                 \
    }
PEL_FSD_JOB_GETTER(std::optional<platform::UuidBytes>, job_id, jobId)
PEL_FSD_JOB_GETTER(std::optional<platform::UuidBytes>, transaction_id, transactionId)
PEL_FSD_JOB_GETTER(std::optional<std::string>, olpStartURLString, olpStartURLString)
PEL_FSD_JOB_GETTER(std::optional<std::string>, olpEndURLString, olpEndURLString)
PEL_FSD_JOB_GETTER(std::optional<platform::Value>, campaignID, campaignID)
PEL_FSD_JOB_GETTER(std::optional<std::string>, partnerUnitName, partnerUnitName)
PEL_FSD_JOB_GETTER(std::optional<platform::Value>, partnerUnitID, partnerUnitID)
PEL_FSD_JOB_GETTER(std::optional<std::string>, machineName, machineName)
PEL_FSD_JOB_GETTER(std::optional<std::string>, ccToken, ccToken)
PEL_FSD_JOB_GETTER(std::optional<std::string>, ccOnBoardingKey, ccOnBoardingKey)
PEL_FSD_JOB_GETTER(std::optional<std::string>, dmrAccessToken, dmrAccessToken)
PEL_FSD_JOB_GETTER(std::optional<std::string>, ssoString, ssoString)
#undef PEL_FSD_JOB_GETTER

void PelFSDJob::setJob_id(std::optional<platform::UuidBytes> v) {
    std::lock_guard lock(mutex_);
    values_.jobId = v;
}

void PelFSDJob::setTransaction_id(std::optional<platform::UuidBytes> v) {
    std::lock_guard lock(mutex_);
    values_.transactionId = v;
}
