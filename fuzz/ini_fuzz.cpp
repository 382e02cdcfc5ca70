// The ini reader: any text either fails with a reason or gives settings
// within their documented bounds.
#include <ini.h>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qova::text;
    const std::string text(reinterpret_cast<const char*>(data), size);
    IniSettings settings;
    std::string error;
    if (!parseIni(text, settings, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    if (settings.log_file) FUZZ_CHECK(!settings.log_file->empty());
    if (settings.reply_timeout_ms)
        FUZZ_CHECK(*settings.reply_timeout_ms >= 1 &&
                   *settings.reply_timeout_ms <= kMaxReplyTimeoutMs);
    if (settings.connect_timeout_ms)
        FUZZ_CHECK(*settings.connect_timeout_ms >= 1 &&
                   *settings.connect_timeout_ms <= kMaxConnectTimeoutMs);
    return 0;
}
