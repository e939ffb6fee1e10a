#include "Platform/Xpc/XpcRemoteObject.h"

namespace platform {

namespace {

constexpr std::string_view kMethodKey = "method";
constexpr std::string_view kArgumentsKey = "arguments";

Error connectionError(long code, const std::string& service, const std::string& reason) {
    std::string what = code == kXpcConnectionInterruptedError ? "was interrupted"
                       : code == kXpcConnectionInvalidError   ? "was invalidated"
                                                              : "sent an invalid reply";
    std::string text = "The connection to service named " + service + " " + what + ".";
    Dictionary info{{std::string(kLocalizedDescriptionKey), Value(text)}};
    if (!reason.empty()) info.emplace(std::string(kLocalizedFailureReasonErrorKey), Value(reason));
    return Error(std::string(kCocoaErrorDomain), code, std::move(info));
}

}  // namespace

const XpcRemoteMethod* XpcRemoteInterface::method(std::string_view name) const {
    for (const auto& m : methods_)
        if (m.name == name) return &m;
    return nullptr;
}

bool XpcRemoteInterface::fits(const std::vector<XpcObject::Type>& types, const XpcArray& values) {
    if (types.size() != values.size()) return false;
    for (std::size_t i = 0; i < types.size(); ++i)
        if (values[i].type() != types[i]) return false;
    return true;
}

// The connection-level handlers live apart from the connection object, so
// that the event handler does not keep the XpcRemoteConnection alive.
struct XpcRemoteConnection::Handlers {
    std::mutex mutex;
    std::function<void()> interrupted;
    std::function<void()> invalidated;
};

XpcRemoteConnection::XpcRemoteConnection(XpcConnectionPtr connection,
                                         XpcRemoteInterface remoteInterface)
    : connection_(std::move(connection)),
      interface_(std::move(remoteInterface)),
      handlers_(std::make_shared<Handlers>()) {
    connection_->setEventHandler([handlers = handlers_](const XpcEvent& event) {
        // Messages the service sends unasked have no receiver on this side.
        if (!event.isError()) return;
        std::function<void()> call;
        {
            std::lock_guard lock(handlers->mutex);
            call = event.isInterrupted() ? handlers->interrupted : handlers->invalidated;
        }
        if (call) call();
    });
}

std::shared_ptr<XpcRemoteConnection> XpcRemoteConnection::createMachService(
    std::string_view serviceName, unsigned options, XpcRemoteInterface remoteInterface,
    Error* error) {
    auto connection = XpcConnection::createMachService(serviceName, nullptr, options, error);
    if (!connection) return nullptr;
    return std::shared_ptr<XpcRemoteConnection>(
        new XpcRemoteConnection(std::move(connection), std::move(remoteInterface)));
}

XpcRemoteConnection::~XpcRemoteConnection() { connection_->cancel(); }

void XpcRemoteConnection::setInterruptionHandler(std::function<void()> handler) {
    std::lock_guard lock(handlers_->mutex);
    handlers_->interrupted = std::move(handler);
}

void XpcRemoteConnection::setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard lock(handlers_->mutex);
    handlers_->invalidated = std::move(handler);
}

void XpcRemoteConnection::resume() { connection_->resume(); }

void XpcRemoteConnection::invalidate() { connection_->cancel(); }

XpcRemoteConnection::Proxy XpcRemoteConnection::remoteObjectProxy(
    std::function<void(const Error&)> errorHandler) {
    Proxy proxy;
    proxy.owner_ = shared_from_this();
    proxy.errorHandler_ = std::move(errorHandler);
    return proxy;
}

bool XpcRemoteConnection::Proxy::call(std::string_view method, XpcArray arguments,
                                      std::function<void(const XpcArray&)> reply) const {
    const XpcRemoteMethod* m = owner_->interface_.method(method);
    if (!m || !XpcRemoteInterface::fits(m->arguments, arguments)) return false;
    XpcObject message =
        xpcDictionary({{std::string(kMethodKey), XpcObject::makeString(std::string(method))},
                       {std::string(kArgumentsKey), XpcObject::makeArray(std::move(arguments))}});
    if (!m->hasReply) return owner_->connection_->send(message);

    auto onError = errorHandler_;
    const std::string& service = owner_->connection_->serviceName();
    return owner_->connection_->sendWithReply(
        message, nullptr,
        [onError, service, replyTypes = m->replyArguments,
         reply = std::move(reply)](const XpcEvent& event) {
            if (event.isError()) {
                long code = event.isInterrupted() ? kXpcConnectionInterruptedError
                                                  : kXpcConnectionInvalidError;
                if (onError) onError(connectionError(code, service, event.errorDescription()));
                return;
            }
            const XpcObject* values = event.message().get(kArgumentsKey);
            if (!values || !values->asArray() ||
                !XpcRemoteInterface::fits(replyTypes, *values->asArray())) {
                if (onError)
                    onError(connectionError(kXpcConnectionReplyInvalidError, service,
                                            "reply does not fit " + event.message().description()));
                return;
            }
            if (reply) reply(*values->asArray());
        });
}

struct XpcExportedObject::Reply::Guard {
    std::weak_ptr<XpcConnection> peer;
    XpcEvent request;
    std::mutex mutex;
    bool answered = false;

    void answer(XpcObject message) {
        {
            std::lock_guard lock(mutex);
            if (answered) return;
            answered = true;
        }
        if (auto p = peer.lock()) p->reply(request, message);
    }

    ~Guard() {
        // Not answered: tell the caller rather than leave it waiting.
        answer(xpcDictionary());
    }
};

void XpcExportedObject::Reply::operator()(XpcArray arguments) const {
    if (guard_)
        guard_->answer(xpcDictionary(
            {{std::string(kArgumentsKey), XpcObject::makeArray(std::move(arguments))}}));
}

std::shared_ptr<XpcExportedObject> XpcExportedObject::create(XpcRemoteInterface exportedInterface) {
    return std::shared_ptr<XpcExportedObject>(new XpcExportedObject(std::move(exportedInterface)));
}

void XpcExportedObject::implement(std::string method, Implementation implementation) {
    std::lock_guard lock(mutex_);
    implementations_.insert_or_assign(std::move(method), std::move(implementation));
}

void XpcExportedObject::serve(const XpcConnectionPtr& peer, std::function<void()> ended) {
    // The handler holds the peer until its connection ends (the connection
    // drops its handler after the invalid event), as a served client should.
    peer->setEventHandler(
        [self = shared_from_this(), peer, ended = std::move(ended)](const XpcEvent& event) {
            if (!event.isError())
                self->dispatch(peer, event);
            else if (event.isInvalid() && ended)
                ended();
        });
    peer->resume();
}

void XpcExportedObject::dispatch(const XpcConnectionPtr& peer, const XpcEvent& event) {
    const std::string* name = event.message().getString(kMethodKey);
    const XpcObject* arguments = event.message().get(kArgumentsKey);
    const XpcRemoteMethod* m = name ? interface_.method(*name) : nullptr;
    Implementation implementation;
    if (m) {
        std::lock_guard lock(mutex_);
        auto it = implementations_.find(*name);
        if (it != implementations_.end()) implementation = it->second;
    }
    bool fits = m && implementation && arguments && arguments->asArray() &&
                XpcRemoteInterface::fits(m->arguments, *arguments->asArray()) &&
                m->hasReply == event.expectsReply();
    if (!fits) {
        // A client that breaks the interface is not served any further.
        peer->cancel();
        return;
    }
    Reply reply;
    if (m->hasReply) {
        reply.guard_ = std::make_shared<Reply::Guard>();
        reply.guard_->peer = peer;
        reply.guard_->request = event;
    }
    implementation(*arguments->asArray(), reply);
}

}  // namespace platform
