#include "password_service.h"

#include <password_scheme.h>

#include <algorithm>
#include <cstring>

#include "base/secret.h"

namespace qova::router {
namespace {

void putInt(std::string& body, std::size_t offset, std::int32_t value) {
    std::memcpy(&body[offset], &value, sizeof value);  // host byte order, as the scheme says
}

// Copies at most `maxLength` bytes of `text`; the field's last byte, and
// every byte after the text, stay NUL.
void putText(std::string& body, std::size_t offset, std::size_t maxLength, std::string_view text) {
    const std::size_t n = std::min(text.size(), maxLength);
    std::copy_n(text.data(), n, &body[offset]);
}

}  // namespace

MemoryAccountStore::MemoryAccountStore(std::string_view password) {
    // Reserved once so that no reallocation leaves an unwiped copy behind.
    password_.reserve(pwdscheme::kPasswordFieldSize);
    password_.assign(password);
}

MemoryAccountStore::~MemoryAccountStore() { base::wipe(password_); }

bool MemoryAccountStore::verify(std::string_view password) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return base::equalSecrets(password_, password);
}

ChangeOutcome MemoryAccountStore::change(std::string_view oldPassword, std::string_view newPassword,
                                         std::string_view) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const ChangeOutcome outcome =
        judgeChange(base::equalSecrets(password_, oldPassword), oldPassword, newPassword);
    if (outcome.code == kChanged) {
        base::wipe(password_);
        password_.assign(newPassword);
    }
    return outcome;
}

ChangeOutcome judgeChange(bool oldMatches, std::string_view oldPassword,
                          std::string_view newPassword) {
    if (!oldMatches) return {kWrongOldPassword, "Wrong old password"};
    if (newPassword.empty()) return {kNewPasswordEmpty, "New password is empty"};
    if (newPassword.size() > pwdscheme::kPasswordMaxLength) {
        return {kNewPasswordTooLong, "New password is too long"};
    }
    if (base::equalSecrets(newPassword, oldPassword)) {
        return {kNewPasswordSameAsOld, "New password must differ from the old one"};
    }
    return {kChanged, "Password changed"};
}

std::string passwordField(std::string_view body, std::size_t offset) {
    const std::string_view field = body.substr(offset, pwdscheme::kPasswordFieldSize);
    return std::string(field.substr(0, field.find('\0')));
}

ChangeOutcome changePassword(AccountStore& store, std::string_view body, std::string_view appName) {
    std::string oldPassword = passwordField(body, pwdscheme::kOldPasswordOffset);
    base::WipeOnExit wipeOld(oldPassword);
    std::string newPassword = passwordField(body, pwdscheme::kNewPasswordOffset);
    base::WipeOnExit wipeNew(newPassword);
    return store.change(oldPassword, newPassword, appName);
}

std::string changeReplyBody(std::int32_t code, std::string_view message) {
    std::string body(pwdscheme::kChangePasswordReplySize, '\0');
    putInt(body, pwdscheme::kReplyCodeOffset, code);
    putText(body, pwdscheme::kReplyMessageOffset, pwdscheme::kReplyMessageMaxLength, message);
    return body;
}

std::string floodReplyBody(std::int32_t queueSize, std::int32_t penaltyMs,
                           std::string_view message) {
    std::string body(pwdscheme::kFloodReplySize, '\0');
    putInt(body, pwdscheme::kFloodQueueSizeOffset, queueSize);
    putInt(body, pwdscheme::kFloodPenaltyOffset, penaltyMs);
    putText(body, pwdscheme::kFloodMessageOffset, pwdscheme::kFloodMessageMaxLength, message);
    return body;
}

std::string failureReplyBody(std::int32_t code, std::string_view message) {
    std::string body(pwdscheme::kFailureReplySize, '\0');
    putInt(body, pwdscheme::kFailureCodeOffset, code);
    putText(body, pwdscheme::kFailureMessageOffset, pwdscheme::kFailureMessageMaxLength, message);
    return body;
}

}  // namespace qova::router
