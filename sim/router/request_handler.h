// request_handler.h -- what the router does with one request: the fault
// injection of the command line, flood control, the checks of the service
// and message, and the password service itself.
//
// No I/O here: the connection hands in a decoded request and carries out
// the decision (send a reply, send nothing, close the connection, or have
// the password service answer on a worker thread).
#ifndef SIM_ROUTER_REQUEST_HANDLER_H
#define SIM_ROUTER_REQUEST_HANDLER_H

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "password_service.h"
#include "router_options.h"
#include "wire.h"

namespace qova::router {

using Clock = std::chrono::steady_clock;

// Counts the requests of one connection in one-second windows.  A window
// opens with the first request after the previous one ended.
class FloodWindow {
  public:
    // Counts one request at `now`; returns the requests seen in the current
    // window, this one included.
    std::uint32_t count(Clock::time_point now);

  private:
    Clock::time_point start_{};
    std::uint32_t seen_ = 0;
};

struct Decision {
    enum class Action {
        Reply,  // send `msg_id` with `body`
        Drop,   // send nothing and keep the connection (--no-reply)
        Close,  // close the connection without a reply
        Serve,  // the password service answers: RequestHandler::serve(), on a worker
    };
    Action action = Action::Drop;
    std::uint32_t msg_id = 0;
    std::string body;
    std::string summary;  // for the request's log line; never holds a password
    // Serve's answer was "wrong old password": the connection is slowed down.
    bool wrong_password = false;
};

class RequestHandler {
  public:
    // `store` must outlive the handler.
    RequestHandler(const RouterOptions& options, AccountStore& store);

    // In this order: --close-on-request closes; --no-reply drops; a forced
    // reply answers anything, flood control included; an unknown service
    // or message id, or a body that is not 132 bytes, closes; more than
    // --rate-limit requests in the window get reply 99; otherwise Serve:
    // the password service must answer.  Cheap: never touches the store.
    Decision handle(const wire::Request& request, FloodWindow& flood, Clock::time_point now);

    // The password service's answer to a 421 body that handle() passed on:
    // 169, or 100 when the store fails.  `appName` is what the connection's
    // Hello announced; the store's audit trail records it.  Hashes, so it
    // takes as long as two Argon2id hashes; safe to call from any thread,
    // several at once.
    Decision serve(std::string_view body, std::string_view appName) const;

    // Reply 99 to a request that cannot even wait for the password service:
    // `waiting` requests of its connection wait already.
    Decision overloaded(std::size_t waiting) const;

  private:
    Decision forced(std::uint32_t seen) const;

    const RouterOptions& options_;
    AccountStore& store_;
};

}  // namespace qova::router

#endif  // SIM_ROUTER_REQUEST_HANDLER_H
