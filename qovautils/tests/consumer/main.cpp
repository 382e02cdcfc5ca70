// Uses one function of each installed header; exits non-zero on a wrong result.
#include <qovautils/Base64.h>
#include <qovautils/StringUtils.h>
#include <qovautils/filesystem.h>

#include <cstdio>
#include <string>

int main() {
    const std::string bytes = "\xFB\xFF\xBF";
    std::string text(qovautils::Base64::encode_len(bytes.data(), bytes.size()), '\0');
    qovautils::Base64::encode(bytes.data(), bytes.size(), &text[0]);
    std::string back(qovautils::Base64::decode_len(text.data(), text.size()), '\0');
    qovautils::Base64::decode(text.data(), text.size(), &back[0]);
    qovautils::Base64::base64_cleanup();

    const std::string line =
        qovautils::StringUtils::format("%s %lu %s", text.c_str(), qovautils::str_to_ul("0b101"),
                                       qovautils::filesystem::plugin_expand("x").c_str());
    std::puts(line.c_str());
    return line == "-_-_ 5 libx.so" && back == bytes ? 0 : 1;
}
