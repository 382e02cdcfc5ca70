// password_service.h -- the password service KOLMA_SRV: the account store,
// the policy of message 421 ChangePassword and the reply bodies.
//
// No I/O here: the network side hands in a request body and sends out the
// body this code builds, so tests drive the policy directly.
#ifndef SIM_ROUTER_PASSWORD_SERVICE_H
#define SIM_ROUTER_PASSWORD_SERVICE_H

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qova::router {

// A store that cannot do its work (cannot be read or written).  The service
// answers with reply 100 and the account stays as it was.  The text goes to
// the client and the log, so it never holds a password.
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr char kServiceName[] = "KOLMA_SRV";

// The codes of reply 169, in the order the service checks them.
enum ChangeCode : std::int32_t {
    kChanged = 0,
    kWrongOldPassword = 1,
    kNewPasswordEmpty = 2,
    kNewPasswordTooLong = 3,
    kNewPasswordSameAsOld = 4,
};

// The codes of reply 100.
enum FailureCode : std::int32_t {
    kStoreFailure = 1,     // the account store failed; the account is unchanged
    kInternalFailure = 2,  // anything else that went wrong inside the service
};

struct ChangeOutcome {
    std::int32_t code;
    const char* message;  // the text of reply 169 for `code`
};

// The policy of a change, once the store knows whether `oldPassword` is
// the account's: the old password first, then that the new one is not
// empty, at most 65 bytes, and differs from the old one.  Every store
// applies it inside its own change, so that the check and the write are one
// step.  Since the old password matched the account, comparing the new one
// with it is comparing with the account's password.
ChangeOutcome judgeChange(bool oldMatches, std::string_view oldPassword,
                          std::string_view newPassword);

// The one account the router serves.  How the password is kept (in memory,
// or hashed in a database) is the store's business.  The password service
// runs on worker threads: every store is safe to call from several threads
// at once, and of several changes from the same old password exactly one
// succeeds.
class AccountStore {
  public:
    virtual ~AccountStore() = default;
    // True when `password` is the account's current password.  Throws StoreError.
    virtual bool verify(std::string_view password) = 0;
    // One change request from the application `appName`, as one step:
    // checks `oldPassword` against the account, applies judgeChange() and,
    // when it allows, makes `newPassword` the account's password.  Stores
    // that keep an audit trail record the outcome in the same step.
    // Throws StoreError, and then nothing has changed.
    virtual ChangeOutcome change(std::string_view oldPassword, std::string_view newPassword,
                                 std::string_view appName) = 0;
};

// The password held in memory, wiped when replaced and on destruction.
// Keeps no audit trail.
class MemoryAccountStore : public AccountStore {
  public:
    explicit MemoryAccountStore(std::string_view password);
    ~MemoryAccountStore() override;
    MemoryAccountStore(const MemoryAccountStore&) = delete;
    MemoryAccountStore& operator=(const MemoryAccountStore&) = delete;

    bool verify(std::string_view password) override;
    ChangeOutcome change(std::string_view oldPassword, std::string_view newPassword,
                         std::string_view appName) override;

  private:
    std::mutex mutex_;  // guards password_
    std::string password_;
};

// The password in a 66-byte field of a 421 body: the bytes before the first
// NUL, or all 66 when there is none.  `offset` + 66 must lie within `body`.
std::string passwordField(std::string_view body, std::size_t offset);

// Handles the body of one 421 request (exactly 132 bytes) from the
// application `appName`: reads both passwords and hands them to
// store.change().  Wipes its copies of both passwords.  Throws StoreError
// from the store.
ChangeOutcome changePassword(AccountStore& store, std::string_view body, std::string_view appName);

// Reply bodies, laid out as the scheme gives them: integers in host byte
// order, texts cut to their field and ended by NUL, the rest zero.
std::string changeReplyBody(std::int32_t code, std::string_view message);  // 169
std::string floodReplyBody(std::int32_t queueSize, std::int32_t penaltyMs,
                           std::string_view message);                       // 99
std::string failureReplyBody(std::int32_t code, std::string_view message);  // 100

}  // namespace qova::router

#endif  // SIM_ROUTER_PASSWORD_SERVICE_H
