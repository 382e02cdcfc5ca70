#include "request_handler.h"

#include <password_scheme.h>

#include <algorithm>
#include <limits>

#include "router_log.h"

namespace qova::router {
namespace {

Decision reply(std::uint32_t msgId, std::string body, std::string summary) {
    return {Decision::Action::Reply, msgId, std::move(body), std::move(summary)};
}

Decision close(std::string why) { return {Decision::Action::Close, 0, {}, std::move(why)}; }

std::string describe(std::uint32_t msgId, std::int32_t code, const std::string& text) {
    return "reply " + std::to_string(msgId) + " code " + std::to_string(code) + " " + quoted(text);
}

// Reply 99: `seen` requests in the current window, the penalty to wait.
Decision floodReply(std::uint32_t seen, std::uint32_t penaltyMs, const std::string& text) {
    const auto queueSize = static_cast<std::int32_t>(
        std::min<std::uint32_t>(seen, std::numeric_limits<std::int32_t>::max()));
    const auto penalty = static_cast<std::int32_t>(penaltyMs);  // at most INT32_MAX by its parser
    return reply(pwdscheme::kFloodReplyId, floodReplyBody(queueSize, penalty, text),
                 "reply 99 queue_size " + std::to_string(queueSize) + " penalty_remain " +
                     std::to_string(penalty) + " " + quoted(text));
}

}  // namespace

std::uint32_t FloodWindow::count(Clock::time_point now) {
    if (seen_ == 0 || now - start_ >= std::chrono::seconds(1)) {
        start_ = now;
        seen_ = 0;
    }
    if (seen_ < std::numeric_limits<std::uint32_t>::max()) ++seen_;
    return seen_;
}

RequestHandler::RequestHandler(const RouterOptions& options, AccountStore& store)
    : options_(options), store_(store) {}

Decision RequestHandler::handle(const wire::Request& request, FloodWindow& flood,
                                Clock::time_point now) {
    if (options_.close_on_request) return close("closing the connection (--close-on-request)");
    if (options_.no_reply) return {Decision::Action::Drop, 0, {}, "not answered (--no-reply)"};

    const std::uint32_t seen = flood.count(now);
    if (options_.force_reply != ForcedReply::None) return forced(seen);

    if (request.service != kServiceName) {
        return close("unknown service " + quoted(request.service));
    }
    if (request.msg_id != pwdscheme::kChangePasswordId) {
        return close("unknown message id " + std::to_string(request.msg_id) + " for " +
                     kServiceName);
    }
    if (request.body.size() != pwdscheme::kChangePasswordSize) {
        return close("body of " + std::to_string(request.body.size()) + " bytes for message " +
                     std::to_string(pwdscheme::kChangePasswordId) + ", expected " +
                     std::to_string(pwdscheme::kChangePasswordSize));
    }
    if (options_.rate_limit != 0 && seen > options_.rate_limit) {
        return floodReply(seen, options_.penalty_ms, "Too many requests");
    }
    return {Decision::Action::Serve, 0, {}, "to the password service"};
}

Decision RequestHandler::serve(std::string_view body, std::string_view appName) const {
    std::int32_t failure = kStoreFailure;
    std::string text;
    try {
        const ChangeOutcome outcome = changePassword(store_, body, appName);
        Decision d =
            reply(pwdscheme::kChangePasswordReplyId, changeReplyBody(outcome.code, outcome.message),
                  describe(pwdscheme::kChangePasswordReplyId, outcome.code, outcome.message));
        d.wrong_password = outcome.code == kWrongOldPassword;
        return d;
    } catch (const StoreError& e) {
        text = std::string("Account store failed: ") + e.what();
    } catch (const std::exception& e) {
        failure = kInternalFailure;
        text = std::string("Password service failed: ") + e.what();
    }
    if (text.size() > pwdscheme::kFailureMessageMaxLength) {
        text.resize(pwdscheme::kFailureMessageMaxLength);
    }
    return reply(pwdscheme::kFailureReplyId, failureReplyBody(failure, text),
                 describe(pwdscheme::kFailureReplyId, failure, text));
}

Decision RequestHandler::overloaded(std::size_t waiting) const {
    return floodReply(static_cast<std::uint32_t>(std::min<std::size_t>(
                          waiting, std::numeric_limits<std::uint32_t>::max())),
                      options_.penalty_ms, "Too many requests");
}

Decision RequestHandler::forced(std::uint32_t seen) const {
    const std::string& text = options_.force_text;
    Decision d;
    switch (options_.force_reply) {
        case ForcedReply::Change:
            d = reply(pwdscheme::kChangePasswordReplyId, changeReplyBody(options_.force_code, text),
                      describe(pwdscheme::kChangePasswordReplyId, options_.force_code, text));
            break;
        case ForcedReply::Flood:
            d = floodReply(seen, options_.penalty_ms, text);
            break;
        case ForcedReply::Failure:
            d = reply(pwdscheme::kFailureReplyId, failureReplyBody(options_.force_code, text),
                      describe(pwdscheme::kFailureReplyId, options_.force_code, text));
            break;
        case ForcedReply::None:
            return close("no forced reply configured");
    }
    d.summary += " (--force-reply)";
    return d;
}

}  // namespace qova::router
