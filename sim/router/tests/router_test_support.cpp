#include "router_test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include "raw_client.h"

namespace qova::router::testing {

RouterProcess::~RouterProcess() {
    const int status = stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    const std::string text = log();
    EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
    EXPECT_EQ(text.find("runtime error"), std::string::npos) << text;
}

int runToExit(const std::string& args, const std::string& input, std::string& log) {
    char path[] = "/tmp/qova-router-test-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return -1;
    ::close(fd);
    const std::string command =
        "printf '%s' '" + input + "' | " QOVA_ROUTER_PATH " " + args + " >/dev/null 2>" + path;
    const int status = std::system(command.c_str());
    log = readFile(path);
    ::unlink(path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void expectOneOfTwentyChanges(std::uint16_t port, const std::string& oldPassword,
                              const std::string& newPassword) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (std::uint8_t i = 0; i < 20; ++i) {
        clients.push_back(std::make_unique<RawClient>(port));
        RawClient& c = *clients.back();
        ASSERT_EQ(c.hello(sessionId(static_cast<std::uint8_t>(100 + i)), "",
                          "client-" + std::to_string(i))
                      .status,
                  wire::WelcomeStatus::Accepted);
        c.sendBytes(wire::encode(wire::FrameType::Subscribe, wire::Subscription{"pwd_changer"}));
    }
    for (auto& c : clients) c->post(1, changeBody(oldPassword, newPassword));
    int changed = 0, wrongOld = 0;
    for (auto& c : clients) {
        const auto reply = c->reply();
        ASSERT_TRUE(reply);
        const int code = replyFields(*reply).first;
        changed += code == 0;
        wrongOld += code == 1;
    }
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(wrongOld, 19);
}

ScratchDir::ScratchDir() {
    char path[] = "/tmp/qova-router-db-XXXXXX";
    if (!::mkdtemp(path)) throw std::runtime_error("cannot create a scratch directory");
    dir_ = path;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace qova::router::testing
