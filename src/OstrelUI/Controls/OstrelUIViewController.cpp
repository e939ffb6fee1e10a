#include "OstrelUI/Controls/OstrelUIViewController.h"

#include "Platform/Values/Exception.h"

namespace ostrelui {

namespace {
[[noreturn]] void mustOverride(const char* selector) {
    throw platform::Exception(std::string(platform::kInternalInconsistencyException),
                              std::string("Please override ") + selector + " in a subclass");
}
}  // namespace

OstrelUIViewController::OstrelUIViewController(QWidget* parent) : QWidget(parent) {
    setShowsInBreadcrumbs(true);
    setWantsTopViewControl(false);
}

void OstrelUIViewController::handleQuitWasCancelled() { mustOverride("handleQuitWasCancelled"); }

bool OstrelUIViewController::goBack() { mustOverride("goBack"); }

}  // namespace ostrelui
