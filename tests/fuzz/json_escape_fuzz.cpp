// Escaped text must be JSON string content that decodes back to the original bytes. Bytes from
// 0x80 up pass unchanged by design, so the content is strict JSON whenever the input is UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "report.h"

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A strict decoder of JSON string content (RFC 8259), limited to what escapes of single bytes
// produce: \u escapes must stay below 0x80. Empty when the content is not valid.
std::optional<std::string> decode_json_string(std::string_view content) {
    std::string decoded;
    for (std::size_t k = 0; k < content.size(); ++k) {
        const auto byte = static_cast<unsigned char>(content[k]);
        if (byte < 0x20 || byte == '"') {
            return std::nullopt;
        }
        if (byte != '\\') {
            decoded += content[k];
            continue;
        }
        if (++k == content.size()) {
            return std::nullopt;
        }
        switch (content[k]) {
            case '"': decoded += '"'; break;
            case '\\': decoded += '\\'; break;
            case '/': decoded += '/'; break;
            case 'b': decoded += '\b'; break;
            case 'f': decoded += '\f'; break;
            case 'n': decoded += '\n'; break;
            case 'r': decoded += '\r'; break;
            case 't': decoded += '\t'; break;
            case 'u': {
                if (content.size() - k < 5) {
                    return std::nullopt;
                }
                const std::string hex(content.substr(k + 1, 4));
                for (const char digit : hex) {
                    if (!is_hex_digit(digit)) {
                        return std::nullopt;
                    }
                }
                const unsigned long code = std::strtoul(hex.c_str(), nullptr, 16);
                if (code >= 0x80) {
                    return std::nullopt;
                }
                decoded += static_cast<char>(code);
                k += 4;
                break;
            }
            default: return std::nullopt;
        }
    }
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const std::string escaped = json_escape(raw);
    const std::optional<std::string> decoded = decode_json_string(escaped);
    if (!decoded || *decoded != raw) {
        std::abort();
    }
    return 0;
}
