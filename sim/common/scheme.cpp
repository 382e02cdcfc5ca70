#include "scheme.h"

#include <qovautils/Base64.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <pugixml.hpp>

#include "base/parse.h"

namespace qova::scheme {
namespace {

bool inAlphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

// Reads the attributes of `node`, which must be exactly `names`.
bool readAttributes(const pugi::xml_node& node, const std::vector<const char*>& names,
                    std::vector<std::string>& values, std::string& error) {
    values.assign(names.size(), std::string());
    std::vector<bool> seen(names.size(), false);
    for (const pugi::xml_attribute& a : node.attributes()) {
        const auto it = std::find_if(names.begin(), names.end(),
                                     [&](const char* n) { return std::strcmp(n, a.name()) == 0; });
        if (it == names.end()) {
            error = std::string("unknown attribute '") + a.name() + "' on <" + node.name() + ">";
            return false;
        }
        const std::size_t i = static_cast<std::size_t>(it - names.begin());
        seen[i] = true;
        values[i] = a.value();
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!seen[i] || values[i].empty()) {
            error = std::string("<") + node.name() + "> lacks a " + names[i];
            return false;
        }
    }
    return true;
}

bool parseType(const std::string& type, Field& field) {
    std::size_t n = 0;
    if (type.size() >= 2 && type[0] == 'c' && type[1] != '0' &&
        base::parseDecimal<std::size_t>(type.substr(1), 1, 65535, n) == base::DecimalStatus::Ok) {
        field.kind = FieldKind::Text;
        field.size = n + 1;
        return true;
    }
    if (type == "i1" || type == "i2" || type == "i4" || type == "i8") {
        field.kind = FieldKind::Integer;
        field.size = static_cast<std::size_t>(type[1] - '0');
        return true;
    }
    return false;
}

bool parseTable(const pugi::xml_node& node, Table& table, std::string& error) {
    std::vector<std::string> v;
    if (!readAttributes(node, {"name", "msgid"}, v, error)) return false;
    table.name = v[0];
    if (base::parseDecimal<std::uint32_t>(v[1], 0, UINT32_MAX, table.msg_id) !=
        base::DecimalStatus::Ok) {
        error = "table " + table.name + " has a bad msgid";
        return false;
    }
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() != pugi::node_element) {
            error = "table " + table.name + " holds text";
            return false;
        }
        if (std::strcmp(child.name(), "field") == 0) {
            if (!readAttributes(child, {"name", "type"}, v, error)) return false;
            Field field;
            field.name = v[0];
            if (!parseType(v[1], field)) {
                error = "field " + table.name + "." + field.name + " has an unknown type";
                return false;
            }
            for (const Field& f : table.fields) {
                if (f.name == field.name) {
                    error = "field " + table.name + "." + field.name + " given twice";
                    return false;
                }
            }
            field.offset = table.body_size;
            table.body_size += field.size;
            if (table.body_size > kMaxBodySize) {
                error = "table " + table.name + " is larger than a message can be";
                return false;
            }
            table.fields.push_back(std::move(field));
        } else if (std::strcmp(child.name(), "extra") == 0) {
            std::vector<std::string> e;
            if (!readAttributes(child, {"name", "value"}, e, error)) return false;
            table.extras.emplace_back(e[0], e[1]);
        } else {
            error = std::string("unknown element <") + child.name() + "> in table " + table.name;
            return false;
        }
    }
    return true;
}

}  // namespace

bool Table::isRequest() const {
    return std::any_of(extras.begin(), extras.end(),
                       [](const auto& e) { return e.first == "request" && e.second == "1"; });
}

bool Table::fits(const std::string& body) const {
    if (body.size() != body_size) return false;
    return std::all_of(fields.begin(), fields.end(), [&](const Field& f) {
        return f.kind != FieldKind::Text ||
               std::memchr(body.data() + f.offset, '\0', f.size) != nullptr;
    });
}

const Table* Scheme::find(std::uint32_t msg_id) const {
    for (const Table& t : tables)
        if (t.msg_id == msg_id) return &t;
    return nullptr;
}

bool decodeBase64Url(const std::string& text, std::string& out, std::string& error) {
    if (text.empty() || text.size() % 4 != 0) {
        error = "Base64 text length is not a positive multiple of 4";
        return false;
    }
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool padding = c == '=' && (i == n - 1 || (i == n - 2 && text[n - 1] == '='));
        if (!padding && !inAlphabet(c)) {
            error = "Base64 text has a bad character at " + std::to_string(i);
            return false;
        }
    }
    out.assign(qovautils::Base64::decode_len(text.data(), n), '\0');
    if (qovautils::Base64::decode(text.data(), n, &out[0]) != out.size()) {
        error = "Base64 text could not be decoded";
        return false;
    }
    return true;
}

bool inflateZlib(const std::string& data, std::size_t limit, std::string& out, std::string& error) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) {
        error = "zlib could not start";
        return false;
    }
    // A scope guard would do the same; inflateEnd must run on every path.
    struct End {
        z_stream* s;
        ~End() { inflateEnd(s); }
    } end{&zs};
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    out.clear();
    char chunk[16384];
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        zs.next_out = reinterpret_cast<Bytef*>(chunk);
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            error = std::string("zlib stream is corrupt: ") + (zs.msg ? zs.msg : "truncated");
            return false;
        }
        const std::size_t got = sizeof chunk - zs.avail_out;
        if (out.size() + got > limit) {
            error = "inflated scheme exceeds " + std::to_string(limit) + " bytes";
            return false;
        }
        out.append(chunk, got);
        if (rc == Z_OK && got == 0 && zs.avail_in == 0) {
            error = "zlib stream is truncated";
            return false;
        }
    }
    if (zs.avail_in != 0) {
        error = "bytes follow the zlib stream";
        return false;
    }
    return true;
}

bool parseDocument(const std::string& xml, Scheme& out, std::string& error) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        error = std::string("scheme XML: ") + parsed.description() + " at offset " +
                std::to_string(parsed.offset);
        return false;
    }
    const pugi::xml_node root = doc.document_element();
    if (std::strcmp(root.name(), "scheme") != 0 || root.first_attribute()) {
        error = "scheme XML: the root is not a plain <scheme>";
        return false;
    }
    out.tables.clear();
    for (const pugi::xml_node& child : root.children()) {
        if (child.type() != pugi::node_element || std::strcmp(child.name(), "table") != 0) {
            error = "scheme XML: <scheme> may hold only <table> elements";
            return false;
        }
        Table table;
        if (!parseTable(child, table, error)) return false;
        if (out.find(table.msg_id)) {
            error = "msgid " + std::to_string(table.msg_id) + " described twice";
            return false;
        }
        out.tables.push_back(std::move(table));
    }
    return true;
}

bool readSchemeText(const std::string& text, Scheme& out, std::string& error) {
    const std::size_t prefix = sizeof kPrefix - 1;
    if (text.compare(0, prefix, kPrefix) != 0) {
        error = std::string("scheme text does not start with ") + kPrefix;
        return false;
    }
    std::string compressed;
    std::string xml;
    return decodeBase64Url(text.substr(prefix), compressed, error) &&
           inflateZlib(compressed, kMaxDocumentSize, xml, error) && parseDocument(xml, out, error);
}

}  // namespace qova::scheme
