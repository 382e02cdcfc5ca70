// server.h -- the network side of qova-router: Boost.Asio on one I/O
// thread, any number of connections (connection.h handles each one), and
// the password service's answers computed on worker threads
// (service_queue.h), so that no hash ever holds up the I/O thread.
//
// Each connection introduces itself with Hello (checked against
// --local-pass), then subscribes refs and posts requests.  The server accepts
// connections and keeps the sessions: the RequestHandler decides what to do
// with each request and the server carries it out.  The reply goes to the
// connection of the request's session, after --reply-delay-ms when set.  A
// session whose connection is gone when its reply is ready gets the reply
// later, when a connection presenting the same session id subscribes the
// reply's ref within --keep-ms.
//
// Under load: a full router (900 connections) makes room for a newcomer by
// closing the connection idle longest, and wrong local passwords are
// refused at most ten a second per peer address.
#ifndef SIM_ROUTER_SERVER_H
#define SIM_ROUTER_SERVER_H

#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>

#include "password_service.h"
#include "router_options.h"

namespace qova::router {

class Server {
  public:
    // Binds and listens on options.listen_host:listen_port at once.  Throws
    // std::runtime_error when the address does not resolve or cannot be
    // bound.  `io`, `options` and `store` must outlive the server.
    Server(boost::asio::io_context& io, const RouterOptions& options, AccountStore& store);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The address actually bound: "HOST:PORT", "[HOST]:PORT" for IPv6.
    std::string address() const;

    // Starts accepting connections; the work happens inside io.run().
    void start();

    // Stops accepting, closes every connection and cancels every timer;
    // kept and delayed replies are dropped.  io.run() returns once the
    // cancelled handlers have run.  Safe to call twice.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qova::router

#endif  // SIM_ROUTER_SERVER_H
