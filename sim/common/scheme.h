// scheme.h -- the message scheme a publisher carries in its URL.
//
// The scheme text is "|STRING|X" followed by the URL-safe Base64 (RFC 4648
// section 5, '=' padded) of a zlib stream (RFC 1950) of an XML document:
//
//   <scheme>
//     <table name='NAME' msgid='ID'>          one per message, ID unique
//       <field name='NAME' type='TYPE'/>      in body order, names unique
//       <extra name='NAME' value='VALUE'/>    e.g. request=1 marks a request
//     </table>
//   </scheme>
//
// TYPE is cN (a text of at most N bytes in N + 1 bytes ended by NUL,
// 1 <= N <= 65535) or i1, i2, i4, i8 (a signed integer of that many bytes in
// host byte order).  Fields follow one another without gaps.  Any other
// element, attribute or type, a missing attribute, or a body larger than one
// frame can carry, makes the scheme invalid.
//
// Reading is pure (no I/O) and bounded: the inflated document may not exceed
// kMaxDocumentSize bytes, whatever the stream claims.
#ifndef SIM_COMMON_SCHEME_H
#define SIM_COMMON_SCHEME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qova::scheme {

inline constexpr char kPrefix[] = "|STRING|X";
inline constexpr std::size_t kMaxDocumentSize = 1024 * 1024;
// A body must fit in one Request or Reply frame with room for its header.
inline constexpr std::size_t kMaxBodySize = 60 * 1024;

enum class FieldKind { Text, Integer };

struct Field {
    std::string name;
    FieldKind kind = FieldKind::Integer;
    std::size_t size = 0;    // bytes in the body (N + 1 for cN)
    std::size_t offset = 0;  // from the start of the body
};

struct Table {
    std::string name;
    std::uint32_t msg_id = 0;
    std::vector<Field> fields;
    std::vector<std::pair<std::string, std::string>> extras;
    std::size_t body_size = 0;

    // A request (extra request=1) may hold secrets; it is never rendered
    // field by field.
    bool isRequest() const;
    // True when `body` is exactly body_size bytes and every text field holds
    // its NUL, so that a reader of the layout stays inside the body.
    bool fits(const std::string& body) const;
};

struct Scheme {
    std::vector<Table> tables;

    // The table of `msg_id`, or nullptr.
    const Table* find(std::uint32_t msg_id) const;
};

// URL-safe Base64 with '=' padding.  Stricter than the codec it uses: the
// length must be a multiple of 4, every character must be in the alphabet,
// and '=' may stand only in the last two places.
[[nodiscard]] bool decodeBase64Url(const std::string& text, std::string& out, std::string& error);

// Inflates one complete zlib stream that fills `data` exactly; fails when the
// output would exceed `limit` bytes.
[[nodiscard]] bool inflateZlib(const std::string& data, std::size_t limit, std::string& out,
                               std::string& error);

// Parses the XML document into `out`.
[[nodiscard]] bool parseDocument(const std::string& xml, Scheme& out, std::string& error);

// The whole road from scheme text to Scheme.
[[nodiscard]] bool readSchemeText(const std::string& text, Scheme& out, std::string& error);

}  // namespace qova::scheme

#endif  // SIM_COMMON_SCHEME_H
