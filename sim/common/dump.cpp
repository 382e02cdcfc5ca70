#include "dump.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qova::dump {
namespace {

std::int64_t readInteger(const unsigned char* p, std::size_t size) {
    switch (size) {
        case 1:
            return static_cast<std::int8_t>(p[0]);
        case 2: {
            std::int16_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        case 4: {
            std::int32_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        default: {
            std::int64_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
    }
}

void appendText(const unsigned char* p, std::size_t size, std::string& out) {
    for (std::size_t i = 0; i < size && p[i] != 0; ++i) {
        const unsigned char c = p[i];
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
}

}  // namespace

bool renderBody(const scheme::Table& table, const void* body, std::size_t size, std::string& out) {
    out = table.name;
    if (table.isRequest()) return true;
    if (size < table.body_size || (table.body_size > 0 && body == nullptr)) return false;
    const auto* bytes = static_cast<const unsigned char*>(body);
    for (const scheme::Field& f : table.fields) {
        out += ' ';
        out += f.name;
        out += '=';
        const unsigned char* p = bytes + f.offset;
        if (f.kind == scheme::FieldKind::Integer)
            out += std::to_string(readInteger(p, f.size));
        else
            appendText(p, f.size, out);
    }
    return true;
}

bool copyTerminated(const std::string& text, char* buffer, std::size_t* size) {
    if (*size == 0) return text.empty();
    const std::size_t n = text.size() < *size ? text.size() : *size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    *size = n;
    return n == text.size();
}

}  // namespace qova::dump
