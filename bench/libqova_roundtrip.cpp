// libqova_roundtrip.cpp -- the time of one ChangePassword (421) request and
// its 169 reply through libqova against qova-router on loopback, beside a
// raw TCP echo of the same frame sizes measured in the same run.
//
// The router answers at once (--force-reply 169), so the figure is the cost
// of the library, the wire protocol and the router's event loop, not of any
// password check.  A third benchmark sends the same frames to the router
// from a plain blocking socket without the library, which splits the figure
// into the router's share and the library's.  Each benchmark times 1,000
// round trips one by one and reports their median (median_us) and 90th
// percentile (p90_us); the program ends with the ratios of the medians.
// Target: libqova <= 2 x raw echo.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <password_scheme.h>
#include <qova.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <testsupport/router.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "wire.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 1000;

double g_libqova_median_us = 0;
double g_echo_median_us = 0;
double g_echo_process_median_us = 0;
double g_direct_median_us = 0;

// Records one sample per round trip and publishes median and p90.
class Samples {
  public:
    Samples() { us_.reserve(kRoundTrips); }
    void add(Clock::duration d) {
        us_.push_back(std::chrono::duration<double, std::micro>(d).count());
    }
    double publish(benchmark::State& state) {
        std::sort(us_.begin(), us_.end());
        const double median = us_.empty() ? 0 : us_[us_.size() / 2];
        state.counters["median_us"] = median;
        state.counters["p90_us"] = us_.empty() ? 0 : us_[us_.size() * 9 / 10];
        return median;
    }

  private:
    std::vector<double> us_;
};

std::size_t requestFrameSize() {
    return qova::wire::encode(qova::wire::Request{1, "KOLMA_SRV", "pwd_changer",
                                                  pwdscheme::kChangePasswordId,
                                                  std::string(pwdscheme::kChangePasswordSize, 'x')})
        .size();
}

std::size_t replyFrameSize() {
    return qova::wire::encode(
               qova::wire::Reply{1, "pwd_changer", pwdscheme::kChangePasswordReplyId,
                                 std::string(pwdscheme::kChangePasswordReplySize, 'x')})
        .size();
}

qova_result_t countReply(qova_conn_t*, qova_listener_t*, qova_msg_t* msg, void* user_data) {
    if (msg->type == QOVA_MSG_DATA) ++*static_cast<int*>(user_data);
    return QOVA_OK;
}

void check(qova_result_t rc, const char* what) {
    if (rc != QOVA_OK)
        throw std::runtime_error(std::string(what) + " failed: " + std::to_string(rc));
}

void BM_LibqovaRoundTrip(benchmark::State& state) {
    testsupport::RouterProcess router({"--force-reply", "169", "--rate-limit", "0"});
    check(qova_env_open("log=null;subsystems=mq,mqpwd,replclient"), "qova_env_open");
    const std::string url = "zttcp://" + router.address() + ";app_name=bench;";
    const std::string pub_url =
        std::string("ztmqpwd://KOLMA_SRV;name=pwd_changer;category=KOLMA_MSG;scheme=") +
        pwdscheme::kSchemeText;
    qova_conn_t* conn = nullptr;
    qova_publisher_t* pub = nullptr;
    qova_listener_t* lsn = nullptr;
    int replies = 0;
    check(qova_conn_new(url.c_str(), &conn), "qova_conn_new");
    check(qova_pub_new(conn, pub_url.c_str(), &pub), "qova_pub_new");
    check(qova_lsn_new(conn, "ztmqpwdreply://;ref=pwd_changer;format=ztbinfmt", &countReply,
                       &replies, &lsn),
          "qova_lsn_new");
    check(qova_conn_open(conn, nullptr), "qova_conn_open");
    check(qova_pub_open(pub, ""), "qova_pub_open");
    check(qova_lsn_open(lsn, ""), "qova_lsn_open");
    const std::uint32_t id = pwdscheme::kChangePasswordId;
    qova_msg_t* msg = nullptr;
    check(qova_pub_msgnew(pub, QOVA_KEY_ID, &id, &msg), "qova_pub_msgnew");
    std::snprintf(static_cast<char*>(msg->body), pwdscheme::kPasswordFieldSize, "old-secret");

    Samples samples;
    for (auto _ : state) {
        const int before = replies;
        const Clock::time_point start = Clock::now();
        check(qova_pub_post(pub, msg, QOVA_POST_REPLY), "qova_pub_post");
        while (replies == before) {
            std::uint32_t s = 0;
            qova_conn_getstate(conn, &s);
            if (s != QOVA_STATE_ACTIVE) throw std::runtime_error("connection lost");
            qova_conn_process(conn, 1000, nullptr);
        }
        samples.add(Clock::now() - start);
    }
    g_libqova_median_us = samples.publish(state);

    qova_pub_msgfree(pub, msg);
    qova_conn_close(conn);
    qova_lsn_destroy(lsn);
    qova_pub_destroy(pub);
    qova_conn_destroy(conn);
    qova_env_close();
}

bool readFull(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeFull(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0) return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

void noDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The echo server: for each request-sized read, a reply-sized answer, until
// the client closes.
void echoOnce(int listener, std::size_t req, std::size_t rep) {
    const int fd = ::accept(listener, nullptr, nullptr);
    noDelay(fd);
    std::vector<char> in(req), out(rep, 'r');
    while (readFull(fd, in.data(), req) && writeFull(fd, out.data(), rep)) {
    }
    ::close(fd);
}

// Argument 0: the echo server is a thread of this process; 1: a process of
// its own, as the router is (each round trip then also switches address
// spaces, which the router's round trips pay too).
void BM_RawTcpEcho(benchmark::State& state) {
    const bool ownProcess = state.range(0) == 1;
    const std::size_t req = requestFrameSize();
    const std::size_t rep = replyFrameSize();
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("echo server cannot listen");
    std::thread server;
    pid_t child = -1;
    if (ownProcess) {
        child = ::fork();
        if (child < 0) throw std::runtime_error("fork failed");
        if (child == 0) {
            echoOnce(listener, req, rep);
            ::_exit(0);
        }
    } else {
        server = std::thread([&] { echoOnce(listener, req, rep); });
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("echo client cannot connect");
    noDelay(fd);
    std::vector<char> out(req, 'q'), in(rep);

    Samples samples;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        if (!writeFull(fd, out.data(), req) || !readFull(fd, in.data(), rep))
            throw std::runtime_error("echo failed");
        samples.add(Clock::now() - start);
    }
    (ownProcess ? g_echo_process_median_us : g_echo_median_us) = samples.publish(state);
    ::close(fd);
    if (ownProcess) {
        ::waitpid(child, nullptr, 0);
    } else {
        server.join();
    }
    ::close(listener);
}

// The same request and reply between a blocking socket and the router,
// without libqova: what the router and loopback TCP cost alone.
void BM_RouterWithoutLibrary(benchmark::State& state) {
    namespace wire = qova::wire;
    testsupport::RouterProcess router({"--force-reply", "169", "--rate-limit", "0"});
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(router.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot connect to the router");
    noDelay(fd);
    std::string in;
    // Reads one whole frame (header, then the rest).
    const auto readFrame = [&](wire::Frame& frame) {
        in.assign(wire::kHeaderSize, '\0');
        if (!readFull(fd, &in[0], wire::kHeaderSize)) return false;
        const auto* p = reinterpret_cast<const unsigned char*>(in.data());
        const std::size_t len =
            std::size_t{p[0]} << 24 | std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
        if (len < 2 || len > wire::kMaxFrameSize) return false;
        in.resize(wire::kLengthFieldSize + len);
        if (!readFull(fd, &in[wire::kHeaderSize], in.size() - wire::kHeaderSize)) return false;
        std::size_t used = 0;
        std::string error;
        return wire::cutFrame(in.data(), in.size(), frame, used, error) == wire::CutStatus::Frame;
    };
    const std::string hello = wire::encode(wire::Hello{{}, "bench", ""});
    const std::string subscribe =
        wire::encode(wire::FrameType::Subscribe, wire::Subscription{"pwd_changer"});
    wire::Frame frame;
    if (!writeFull(fd, hello.data(), hello.size()) || !readFrame(frame) ||
        !writeFull(fd, subscribe.data(), subscribe.size()))
        throw std::runtime_error("router handshake failed");
    wire::Request request{0, "KOLMA_SRV", "pwd_changer", pwdscheme::kChangePasswordId,
                          std::string(pwdscheme::kChangePasswordSize, '\0')};
    Samples samples;
    for (auto _ : state) {
        ++request.request_id;
        const Clock::time_point start = Clock::now();
        const std::string bytes = wire::encode(request);
        if (!writeFull(fd, bytes.data(), bytes.size()) || !readFrame(frame))
            throw std::runtime_error("router round trip failed");
        samples.add(Clock::now() - start);
    }
    g_direct_median_us = samples.publish(state);
    ::close(fd);
}

BENCHMARK(BM_RawTcpEcho)->Arg(0)->Arg(1)->Iterations(kRoundTrips)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RouterWithoutLibrary)->Iterations(kRoundTrips)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibqovaRoundTrip)->Iterations(kRoundTrips)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_echo_median_us > 0 && g_echo_process_median_us > 0 && g_libqova_median_us > 0 &&
        g_direct_median_us > 0)
        std::printf(
            "median round trip: libqova %.1f us, router without library %.1f us, "
            "raw TCP echo %.1f us (thread) / %.1f us (process)\n"
            "libqova / echo: %.2f (thread), %.2f (process); target <= 2\n"
            "router without library / echo: %.2f (thread), %.2f (process)\n",
            g_libqova_median_us, g_direct_median_us, g_echo_median_us, g_echo_process_median_us,
            g_libqova_median_us / g_echo_median_us, g_libqova_median_us / g_echo_process_median_us,
            g_direct_median_us / g_echo_median_us, g_direct_median_us / g_echo_process_median_us);
    return 0;
}
