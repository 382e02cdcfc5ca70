#include "test_support.h"

#include <qovautils/Base64.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace qova::test {
namespace {

qova_result_t collect(qova_conn_t*, qova_listener_t*, qova_msg_t* msg, void* user_data) {
    auto* session = static_cast<Session*>(user_data);
    session->received.push_back(
        Received{msg->type, msg->msg_id,
                 msg->body ? std::string(static_cast<const char*>(msg->body), msg->body_size)
                           : std::string()});
    return QOVA_OK;
}

}  // namespace

std::int32_t Received::code() const {
    std::int32_t v = 0;
    if (body.size() >= 4) std::memcpy(&v, body.data(), 4);
    return v;
}

std::string Received::message() const {
    return body.size() > 4 ? std::string(body.c_str() + 4) : std::string();
}

Session::Session(const std::string& address, const std::string& extra) {
    const std::string url = "zttcp://" + address + ";app_name=libqova_test;" + extra;
    created = qova_conn_new(url.c_str(), &conn);
    if (created == QOVA_OK) created = qova_pub_new(conn, kPublisherUrl.c_str(), &pub);
    if (created == QOVA_OK)
        created = qova_lsn_new(conn, kListenerUrl.c_str(), &collect, this, &lsn);
}

Session::~Session() {
    qova_conn_close(conn);
    qova_lsn_destroy(lsn);
    qova_pub_destroy(pub);
    qova_conn_destroy(conn);
}

qova_result_t Session::openAll() {
    if (created != QOVA_OK) return created;
    if (qova_result_t rc = qova_conn_open(conn, nullptr)) return rc;
    if (qova_result_t rc = qova_pub_open(pub, "")) return rc;
    return qova_lsn_open(lsn, "");
}

qova_result_t Session::postChange(const std::string& old_pwd, const std::string& new_pwd,
                                  std::uint32_t flags) {
    const std::uint32_t id = pwdscheme::kChangePasswordId;
    qova_msg_t* msg = nullptr;
    if (qova_result_t rc = qova_pub_msgnew(pub, QOVA_KEY_ID, &id, &msg)) return rc;
    auto* body = static_cast<char*>(msg->body);
    std::memcpy(body + pwdscheme::kOldPasswordOffset, old_pwd.data(),
                std::min(old_pwd.size(), pwdscheme::kPasswordFieldSize));
    std::memcpy(body + pwdscheme::kNewPasswordOffset, new_pwd.data(),
                std::min(new_pwd.size(), pwdscheme::kPasswordFieldSize));
    const qova_result_t rc = qova_pub_post(pub, msg, flags);
    qova_pub_msgfree(pub, msg);
    return rc;
}

bool Session::waitFor(std::size_t count, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (received.size() < count && std::chrono::steady_clock::now() < end) {
        if (connState() != QOVA_STATE_ACTIVE) return false;
        qova_conn_process(conn, 10, nullptr);
    }
    return received.size() >= count;
}

void Session::turnFor(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end && connState() == QOVA_STATE_ACTIVE)
        qova_conn_process(conn, 10, nullptr);
}

std::uint32_t Session::connState() const {
    std::uint32_t s = 99;
    qova_conn_getstate(conn, &s);
    return s;
}

std::uint32_t Session::pubState() const {
    std::uint32_t s = 99;
    qova_pub_getstate(pub, &s);
    return s;
}

std::uint32_t Session::lsnState() const {
    std::uint32_t s = 99;
    qova_lsn_getstate(lsn, &s);
    return s;
}

std::string dumpText(Session& s, const Received& msg) {
    qova_scheme_t* scheme = nullptr;
    qova_pub_getscheme(s.pub, &scheme);
    qova_msg_t m{msg.type, msg.msg_id, const_cast<char*>(msg.body.data()), msg.body.size()};
    char buffer[1024] = "";
    std::size_t size = sizeof buffer;
    qova_msg_dump(&m, scheme, buffer, &size);
    return buffer;
}

std::string schemeTextOf(const std::string& xml) {
    uLongf size = compressBound(xml.size());
    std::string z(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&z[0]), &size,
                  reinterpret_cast<const Bytef*>(xml.data()), xml.size(), 9) != Z_OK)
        throw std::runtime_error("compress2 failed");
    z.resize(size);
    std::string text(qovautils::Base64::encode_len(z.data(), z.size()), '\0');
    qovautils::Base64::encode(z.data(), z.size(), &text[0]);
    return "|STRING|X" + text;
}

}  // namespace qova::test
