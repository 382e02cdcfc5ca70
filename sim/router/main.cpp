// qova-router: the local stand-in for the gateway router and its password
// service KOLMA_SRV.  See docs/router.md.
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "account_password.h"
#include "password_service.h"
#include "router_log.h"
#include "router_options.h"
#include "secret.h"
#include "server.h"

int main(int argc, char** argv) {
    using namespace qova::router;
    // A peer or a parent that goes away must not kill the router mid-write.
    std::signal(SIGPIPE, SIG_IGN);

    RouterOptions options;
    try {
        options = parseRouterOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "qova-router: " << e.what() << "\nTry 'qova-router --help'.\n";
        return 2;
    }
    if (options.help) {
        std::cout << usageText();
        return 0;
    }

    try {
        std::string password = options.password_file ? readPasswordFile(*options.password_file)
                                                     : readPasswordLine(STDIN_FILENO);
        WipeOnExit wipePassword(password);
        checkAccountPassword(password);
        MemoryAccountStore store(password);
        wipe(password);

        boost::asio::io_context io;
        Server server(io, options, store);
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&server](const boost::system::error_code& ec, int signal) {
            if (ec) return;
            logLine(signal == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM");
            server.stop();
        });
        server.start();
        const std::string address = server.address();
        std::cout << "listening on " << address << std::endl;
        logLine("listening on " + address);
        io.run();
        logLine("stopped");
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qova-router: " << e.what() << "\n";
        return 1;
    }
}
