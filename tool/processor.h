// processor.h -- the gateway session that changes the password.
//
// One Processor per run.  init() opens the gateway environment and creates
// the connection, the publisher and the listener (nothing touches the
// network yet); run() brings them to the active state one step per pass,
// posts the ChangePassword request exactly once, and turns the connection
// until a reply or the time-out notice has been handled; the destructor
// releases everything on every path.
//
// Teardown order, whatever init() and run() reached (every result ignored):
// close the connection, destroy the listener, destroy the publisher, destroy
// the connection, clear use_gateway_log, close the environment (always, also
// when it never opened), wipe and release the copied record.
//
// Failures of gateway calls are logged as Error lines and thrown as
// std::runtime_error with the operation's own message, for example
// "Error of qova_conn_open, code: 131079" (the result as an unsigned number).
#ifndef TOOL_PROCESSOR_H
#define TOOL_PROCESSOR_H

#include <qova.h>

#include <string>

#include "params.h"

class Processor {
  public:
    // Copies the record; makes no gateway call.
    explicit Processor(const ParamData& params);
    ~Processor();
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    // Opens the environment ("log=null" or "ini=PATH", then
    // ";subsystems=mq,mqpwd,replclient"), sets use_gateway_log when an ini
    // file was given, and creates the connection, publisher and listener.
    void init();

    // The session loop; returns once a reply or the time-out notice has been
    // handled.  With a gateway that never answers it does not return.
    void run();

    // Creates, fills and posts the request, once.
    void sendRequest();

    // What a delivered message means for the run: the verdict in
    // `succeeded` and, for a reply or the time-out notice, the end of the
    // loop.  Every message first clears `succeeded`.
    void processClientMessage(qova_msg_t* message);

    // The listener callback: hands the message to the Processor in `data`.
    // Never lets an exception into the library: a failure while handling the
    // message ends the run unsuccessfully.  Returns 0.
    static qova_result_t clientMessageCallback(qova_conn_t* connection, qova_listener_t* listener,
                                               qova_msg_t* message, void* data) noexcept;

    // Logs `text` as one Error line and throws it as std::runtime_error.
    [[noreturn]] static void logAndThrowRuntimeError(const std::string& text);

    bool isRunning() const { return running; }
    bool isSucceeded() const { return succeeded; }
    bool isRequestSent() const { return requestSent; }

  private:
    // Reports a failed gateway call: "Error of <operation>, code: <result>".
    static void check(qova_result_t result, const char* operation);
    // Reply 169: the outcome of the password change.
    void handlePasswordReply(const qova_msg_t& message);
    // Any other data message: the library's rendering, then failure.
    void handleOtherReply(const qova_msg_t& message);

    bool running = true;
    bool succeeded = false;
    ParamData params;
    qova_conn_t* connection = nullptr;
    qova_listener_t* listener = nullptr;
    qova_publisher_t* publisher = nullptr;
    bool requestSent = false;
};

#endif  // TOOL_PROCESSOR_H
