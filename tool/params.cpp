// params.cpp -- validation of the parameter record.
#include "params.h"

#include <boost/format.hpp>

#include "base/secret.h"
#include "log.h"

namespace {

bool fail(std::string& error, std::string reason) {
    error = std::move(reason);
    log_message(LogMode::Error, error);
    return false;
}

}  // namespace

bool baseArgsChecks(ParamData const& data, std::string& error) {
    error.clear();
    if (data.old_password.empty()) {
        return fail(error, "Incorrect arguments: empty old password");
    }
    if (data.new_password.empty()) {
        return fail(error, "Incorrect arguments: empty new password");
    }
    if (data.old_password.size() > kMaxPasswordLength) {
        return fail(
            error,
            (boost::format("Old password must be %1% chars or less") % kMaxPasswordLength).str());
    }
    if (data.new_password.size() > kMaxPasswordLength) {
        return fail(
            error,
            (boost::format("New password must be %1% chars or less") % kMaxPasswordLength).str());
    }
    // The request carries each password as a NUL-terminated text: a NUL would
    // cut it there, and the account would get a shorter password than typed.
    if (data.old_password.find('\0') != std::string::npos) {
        return fail(error, "Old password must not contain a NUL byte");
    }
    if (data.new_password.find('\0') != std::string::npos) {
        return fail(error, "New password must not contain a NUL byte");
    }
    return true;
}

void wipeSecrets(ParamData& data) noexcept {
    base::wipe(data.old_password);
    base::wipe(data.new_password);
    base::wipe(data.local_pass);
}
