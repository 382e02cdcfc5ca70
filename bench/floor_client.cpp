// floor_client.cpp -- the least a password change over the gateway can cost.
//
// The floor that pwd_changer is measured against: start, parse two options
// with Boost.ProgramOptions, connect to the router over loopback, introduce
// the session, send one ChangePassword request and read its one reply,
// speaking the wire protocol directly.  No gateway library, no scheme, no
// prompts.  Exit status 0 when a reply came.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <cstring>
#include <iostream>
#include <random>
#include <string>

#include "wire.h"

namespace po = boost::program_options;
namespace wire = qova::wire;

namespace {

bool sendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until one whole frame is buffered; false on end of stream or error.
bool readFrame(int fd, std::string& buffer, wire::Frame& frame) {
    while (true) {
        std::size_t consumed = 0;
        std::string error;
        switch (wire::cutFrame(buffer.data(), buffer.size(), frame, consumed, error)) {
            case wire::CutStatus::Frame:
                buffer.erase(0, consumed);
                return true;
            case wire::CutStatus::Error:
                std::cerr << "floor_client: " << error << "\n";
                return false;
            case wire::CutStatus::NeedMore:
                break;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    po::options_description description("Options");
    std::string host;
    std::string port;
    description.add_options()("host", po::value<std::string>(&host)->default_value("127.0.0.1"),
                              "Host")("port", po::value<std::string>(&port)->default_value("4001"),
                                      "Port");
    po::variables_map options;
    po::store(po::parse_command_line(argc, argv, description), options);
    po::notify(options);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoul(port)));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        std::cerr << "floor_client: bad host\n";
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "floor_client: connect: " << std::strerror(errno) << "\n";
        return 1;
    }
    // Small frames, each answered: no waiting for more bytes to coalesce.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    wire::Hello hello;
    std::random_device random;
    for (auto& byte : hello.session) {
        byte = static_cast<std::uint8_t>(random());
    }
    hello.app_name = "floor_client";
    wire::Request request;
    request.request_id = 1;
    request.service = "KOLMA_SRV";
    request.ref = "pwd_changer";
    request.msg_id = 421;
    request.body.assign(132, '\0');
    request.body.replace(0, 3, "old");
    request.body.replace(66, 3, "new");

    std::string buffer;
    wire::Frame frame;
    wire::Welcome welcome;
    wire::Reply reply;
    std::string error;
    const bool ok =
        sendAll(fd, wire::encode(hello)) && readFrame(fd, buffer, frame) &&
        wire::parse(frame, welcome, error) && welcome.status == wire::WelcomeStatus::Accepted &&
        sendAll(fd, wire::encode(wire::FrameType::Subscribe, wire::Subscription{request.ref}) +
                        wire::encode(request)) &&
        readFrame(fd, buffer, frame) && wire::parse(frame, reply, error);
    ::close(fd);
    if (!ok) {
        std::cerr << "floor_client: no reply " << error << "\n";
        return 1;
    }
    std::cout << "reply " << reply.msg_id << " (" << reply.body.size() << " bytes)\n";
    return 0;
}
