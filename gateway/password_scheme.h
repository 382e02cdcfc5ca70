// password_scheme.h -- the password-change message scheme shared by the
// pwd_changer tool and the password service.
//
// The service and the tool agree on four messages: the request
// ChangePassword (421) and the replies ChangePasswordReply (169),
// KOLMA_MSG99 (99, flood control) and KOLMA_MSG100 (100, service failure).
// The scheme document describes them; the gateway library receives it
// inline, compressed and encoded, as the "scheme=" value of the publisher
// URL.  Bodies are the fields in table order without gaps: cN is a text of
// at most N bytes in N + 1 bytes ended by NUL, i4 a 4-byte integer in host
// byte order.
#ifndef GATEWAY_PASSWORD_SCHEME_H
#define GATEWAY_PASSWORD_SCHEME_H

#include <cstddef>
#include <cstdint>

namespace pwdscheme {

// The scheme document: an XML declaration, one line feed, and the scheme
// element on one line (666 bytes).
// clang-format off
inline constexpr char kDocument[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<scheme>"
    "<table name='ChangePassword' msgid='421'>"
        "<field name='old_pwd' type='c65'/>"
        "<field name='new_pwd' type='c65'/>"
        "<extra name='request' value='1'/>"
        "<extra name='replies' value='169,99,100'/>"
    "</table>"
    "<table name='ChangePasswordReply' msgid='169'>"
        "<field name='Code' type='i4'/>"
        "<field name='Message' type='c255'/>"
        "<extra name='reply' value='1'/>"
    "</table>"
    "<table name='KOLMA_MSG99' msgid='99'>"
        "<field name='queue_size' type='i4'/>"
        "<field name='penalty_remain' type='i4'/>"
        "<field name='message' type='c128'/>"
    "</table>"
    "<table name='KOLMA_MSG100' msgid='100'>"
        "<field name='code' type='i4'/>"
        "<field name='message' type='c255'/>"
    "</table>"
    "</scheme>";
// clang-format on

// The document compressed with zlib (level 9, default window and strategy),
// encoded in URL-safe Base64 with '=' padding, behind the prefix "|STRING|X".
// Computed once from kDocument; a test checks that it decodes back to it.
inline constexpr char kSchemePrefix[] = "|STRING|X";
inline constexpr char kSchemeText[] =
    "|STRING|XeNqFkl1PgzAUhu_9FQ03vZnykbGsCbCYXXihRKM_gFR6xpq0BWkZw19vZxgGRLzrSZ7TPu-bRruzFOg"
    "Etealih3_znMQqLxkXBWx05jD7dbZJTeRzo8gIYkMfReAFJUQ4_2RqgJeqNZtWTOMpC44i_E68HESHTgI1oOlYFn"
    "VWsJ0lR3zTYjdMaGgnSHgbGraEzV8NKANRicqGjv7v4FKcNA_wIasCFn5nnch3W_xJf9Xu98NIez2JMS-ZHD14-t"
    "pgBS0psUA5EEYzgl2Y_85q8fnp_Q-S98eCBlsyFTGdtFApvnnglIFigrTZTVIytXfnJyo-8H2X7dLq0NV9jy-MV-"
    "sSs5XdX3P7b_aF-972H4=";

// 421 ChangePassword: old_pwd c65, new_pwd c65.
inline constexpr std::uint32_t kChangePasswordId = 421;
inline constexpr std::size_t kPasswordMaxLength = 65;
inline constexpr std::size_t kPasswordFieldSize = kPasswordMaxLength + 1;
inline constexpr std::size_t kOldPasswordOffset = 0;
inline constexpr std::size_t kNewPasswordOffset = kOldPasswordOffset + kPasswordFieldSize;
inline constexpr std::size_t kChangePasswordSize = kNewPasswordOffset + kPasswordFieldSize;

// 169 ChangePasswordReply: Code i4 (0 is success), Message c255.
inline constexpr std::uint32_t kChangePasswordReplyId = 169;
inline constexpr std::size_t kReplyCodeOffset = 0;
inline constexpr std::size_t kReplyMessageOffset = 4;
inline constexpr std::size_t kReplyMessageMaxLength = 255;
inline constexpr std::size_t kChangePasswordReplySize =
    kReplyMessageOffset + kReplyMessageMaxLength + 1;

// 99 KOLMA_MSG99: queue_size i4, penalty_remain i4 (ms), message c128.
inline constexpr std::uint32_t kFloodReplyId = 99;
inline constexpr std::size_t kFloodQueueSizeOffset = 0;
inline constexpr std::size_t kFloodPenaltyOffset = 4;
inline constexpr std::size_t kFloodMessageOffset = 8;
inline constexpr std::size_t kFloodMessageMaxLength = 128;
inline constexpr std::size_t kFloodReplySize = kFloodMessageOffset + kFloodMessageMaxLength + 1;

// 100 KOLMA_MSG100: code i4, message c255.
inline constexpr std::uint32_t kFailureReplyId = 100;
inline constexpr std::size_t kFailureCodeOffset = 0;
inline constexpr std::size_t kFailureMessageOffset = 4;
inline constexpr std::size_t kFailureMessageMaxLength = 255;
inline constexpr std::size_t kFailureReplySize =
    kFailureMessageOffset + kFailureMessageMaxLength + 1;

static_assert(sizeof(kDocument) - 1 == 666, "scheme document length");
static_assert(sizeof(kSchemeText) - 1 == 373, "scheme text length");
static_assert(kChangePasswordSize == 132 && kChangePasswordReplySize == 260 &&
                  kFloodReplySize == 137 && kFailureReplySize == 260,
              "body sizes");

}  // namespace pwdscheme

#endif  // GATEWAY_PASSWORD_SCHEME_H
