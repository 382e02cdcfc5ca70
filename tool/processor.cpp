// processor.cpp -- set-up, loop, request and reply handling of the session.
#include "processor.h"

#include <password_scheme.h>

#include <algorithm>
#include <array>
#include <boost/format.hpp>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "base/secret.h"
#include "log.h"

namespace {

constexpr char kSubsystems[] = ";subsystems=mq,mqpwd,replclient";
constexpr char kServiceName[] = "KOLMA_SRV";
constexpr char kPublisherUrlPattern[] =
    "ztmqpwd://%1%;name=pwd_changer;category=KOLMA_MSG;scheme=%2%";
// The listener's ref is the publisher's name: it receives what that posts.
constexpr char kListenerUrl[] = "ztmqpwdreply://;ref=pwd_changer;format=ztbinfmt";
constexpr std::uint32_t kProcessTimeoutMs = 1;
constexpr std::size_t kDumpBufferSize = 1024;

}  // namespace

Processor::Processor(const ParamData& params) : params(params) {}

Processor::~Processor() {
    if (connection != nullptr) {
        qova_conn_close(connection);
    }
    if (listener != nullptr) {
        qova_lsn_destroy(listener);
    }
    if (publisher != nullptr) {
        qova_pub_destroy(publisher);
    }
    if (connection != nullptr) {
        qova_conn_destroy(connection);
    }
    use_gateway_log = false;
    qova_env_close();
    wipeSecrets(params);
}

void Processor::logAndThrowRuntimeError(const std::string& text) {
    log_message(LogMode::Error, text);
    throw std::runtime_error(text);
}

void Processor::check(qova_result_t result, const char* operation) {
    if (result != QOVA_OK) {
        logAndThrowRuntimeError(
            (boost::format("Error of %1%, code: %2%") % operation % result).str());
    }
}

void Processor::init() {
    std::string settings = params.ini.empty() ? std::string("log=null") : "ini=" + params.ini;
    settings += kSubsystems;
    check(qova_env_open(settings.c_str()), "qova_env_open");
    use_gateway_log = !params.ini.empty();

    std::string address = params.host;
    if (!params.host.empty() && params.port != 0) {
        address += ":" + std::to_string(params.port);
    }
    // The URL carries the local password: it is built in one buffer that
    // never reallocates once the password is in it, and wiped after use.
    std::string url =
        (boost::format("zttcp://%1%;app_name=%2%;") % address % params.app_name).str();
    const base::WipeOnExit wipeUrl(url);
    if (!params.local_pass.empty()) {
        constexpr char kLocalPassKey[] = "local_pass=";
        url.reserve(url.size() + sizeof kLocalPassKey + params.local_pass.size());
        url.append(kLocalPassKey).append(params.local_pass);
    }
    check(qova_conn_new(url.c_str(), &connection), "qova_conn_new");

    const std::string publisherUrl =
        (boost::format(kPublisherUrlPattern) % kServiceName % pwdscheme::kSchemeText).str();
    check(qova_pub_new(connection, publisherUrl.c_str(), &publisher), "qova_pub_new");

    check(
        qova_lsn_new(connection, kListenerUrl, &Processor::clientMessageCallback, this, &listener),
        "qova_lsn_new");
}

void Processor::run() {
    // One step per pass: the connection first, then the publisher, then the
    // listener; the request goes out in the first pass that finds all three
    // active.  The only wait is inside qova_conn_process.
    while (running) {
        std::uint32_t state = QOVA_STATE_CLOSED;
        check(qova_conn_getstate(connection, &state), "qova_conn_getstate");
        if (state == QOVA_STATE_CLOSED) {
            check(qova_conn_open(connection, nullptr), "qova_conn_open");
            continue;
        }
        if (state == QOVA_STATE_ERROR) {
            // A later pass finds it closed and opens it again.
            check(qova_conn_close(connection), "qova_conn_close");
            continue;
        }
        if (state != QOVA_STATE_ACTIVE) {
            continue;
        }

        const qova_result_t processed = qova_conn_process(connection, kProcessTimeoutMs, nullptr);
        if (processed != QOVA_OK && processed != QOVA_E_TIMEOUT) {
            check(processed, "qova_conn_process");
        }

        check(qova_pub_getstate(publisher, &state), "qova_pub_getstate");
        if (state == QOVA_STATE_CLOSED) {
            check(qova_pub_open(publisher, ""), "qova_pub_open");
            continue;
        }
        if (state == QOVA_STATE_ERROR) {
            check(qova_pub_close(publisher), "qova_pub_close");
            continue;
        }
        if (state != QOVA_STATE_ACTIVE) {
            continue;
        }

        check(qova_lsn_getstate(listener, &state), "qova_lsn_getstate");
        if (state == QOVA_STATE_CLOSED) {
            check(qova_lsn_open(listener, ""), "qova_lsn_open");
        } else if (state == QOVA_STATE_ERROR) {
            check(qova_lsn_close(listener), "qova_lsn_close");
        } else if (state == QOVA_STATE_ACTIVE && !requestSent) {
            // Never again after this, not even when the connection is lost
            // and opened again before the reply came.
            sendRequest();
        }
    }
}

void Processor::sendRequest() {
    const std::uint32_t messageId = pwdscheme::kChangePasswordId;
    qova_msg_t* created = nullptr;
    const qova_result_t result = qova_pub_msgnew(publisher, QOVA_KEY_ID, &messageId, &created);
    // The body will hold both passwords: it is wiped here before it is freed,
    // on every path, a failed post included, as a gateway library need not.
    const auto release = [this](qova_msg_t* message) {
        if (message->body != nullptr) {
            base::wipe(message->body, message->body_size);
        }
        qova_pub_msgfree(publisher, message);
    };
    const std::unique_ptr<qova_msg_t, decltype(release)> message(created, release);
    check(result, "qova_pub_msgnew");
    if (message == nullptr || message->body == nullptr ||
        message->body_size < pwdscheme::kChangePasswordSize) {
        logAndThrowRuntimeError(
            (boost::format("Error of qova_pub_msgnew: request body of %1% bytes, %2% needed") %
             (message == nullptr ? 0 : message->body_size) % pwdscheme::kChangePasswordSize)
                .str());
    }

    auto* body = static_cast<char*>(message->body);
    std::memset(body, 0, pwdscheme::kChangePasswordSize);
    // Validated to fit before the loop began; the bound only keeps the NUL
    // in each field's last byte whatever happens.
    std::memcpy(body + pwdscheme::kOldPasswordOffset, params.old_password.data(),
                std::min(params.old_password.size(), pwdscheme::kPasswordMaxLength));
    std::memcpy(body + pwdscheme::kNewPasswordOffset, params.new_password.data(),
                std::min(params.new_password.size(), pwdscheme::kPasswordMaxLength));

    check(qova_pub_post(publisher, message.get(), QOVA_POST_REPLY), "qova_pub_post");
    requestSent = true;
}

qova_result_t Processor::clientMessageCallback(qova_conn_t* /*connection*/,
                                               qova_listener_t* /*listener*/, qova_msg_t* message,
                                               void* data) noexcept {
    auto* self = static_cast<Processor*>(data);
    if (self == nullptr) {
        return QOVA_OK;
    }
    try {
        self->processClientMessage(message);
    } catch (...) {
        // Nothing may unwind into the library.  The run ends unsuccessfully.
        self->succeeded = false;
        self->running = false;
        try {
            log_message(LogMode::Error, "Unsuccessful result, the reply could not be handled");
        } catch (...) {
        }
    }
    return QOVA_OK;
}

void Processor::processClientMessage(qova_msg_t* message) {
    succeeded = false;
    if (message == nullptr) {
        return;
    }
    switch (message->type) {
        case QOVA_MSG_DATA:
            // A reply 169 too short to hold its Code is no verdict: it is
            // reported like any other data message.
            if (message->msg_id == pwdscheme::kChangePasswordReplyId && message->body != nullptr &&
                message->body_size >= pwdscheme::kReplyCodeOffset + sizeof(std::int32_t)) {
                handlePasswordReply(*message);
            } else {
                handleOtherReply(*message);
            }
            break;
        case QOVA_MSG_TIMEOUT:
            log_message(LogMode::Error, "Unsuccessful result, has gotten timeout msg");
            running = false;
            break;
        default:
            break;
    }
}

void Processor::handlePasswordReply(const qova_msg_t& message) {
    const auto* body = static_cast<const char*>(message.body);
    std::int32_t code = 0;
    std::memcpy(&code, body + pwdscheme::kReplyCodeOffset, sizeof code);
    // The text ends at its NUL, at 255 bytes, or at the end of what arrived.
    const std::size_t available = message.body_size > pwdscheme::kReplyMessageOffset
                                      ? std::min(message.body_size - pwdscheme::kReplyMessageOffset,
                                                 pwdscheme::kReplyMessageMaxLength)
                                      : 0;
    const char* text = body + pwdscheme::kReplyMessageOffset;
    const std::string replyText(text, strnlen(text, available));

    succeeded = code == 0;
    const std::string line =
        (boost::format("%s results; Result code: %u; message: %s") %
         (succeeded ? "Successful" : "Unsuccessful") % static_cast<std::uint32_t>(code) % replyText)
            .str();
    log_message(static_cast<LogMode>(static_cast<int>(LogMode::Error) - (succeeded ? 1 : 0)), line);
    running = false;
}

void Processor::handleOtherReply(const qova_msg_t& message) {
    qova_scheme_t* scheme = nullptr;
    qova_pub_getscheme(publisher, &scheme);
    std::array<char, kDumpBufferSize> buffer{};
    std::size_t size = buffer.size();
    qova_msg_dump(&message, scheme, buffer.data(), &size);
    // Up to the first NUL, and never past the buffer even without one.
    log_message(LogMode::Debug, std::string(buffer.data(), strnlen(buffer.data(), buffer.size())));
    log_message(LogMode::Error, "Unsuccessful result");
    running = false;
}
