#include "report_parser.h"

#include <limits>

namespace {

class json_reader {
  public:
    explicit json_reader(std::string_view text) : text_(text) {}

    // `offset` is that of the first byte at fault.
    [[noreturn]] static void fail_at(const std::string& what, std::size_t offset) {
        throw report_format_error(what, offset);
    }
    [[noreturn]] void fail(const std::string& what) const { fail_at(what, position_); }

    // Where the next token starts.
    std::size_t next_token() {
        skip_white_space();
        return position_;
    }

    void skip_white_space() {
        while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t' ||
                                            text_[position_] == '\n' || text_[position_] == '\r')) {
            ++position_;
        }
    }

    void expect(char c) {
        skip_white_space();
        if (position_ == text_.size() || text_[position_] != c) {
            fail(std::string("expected '") + c + "'");
        }
        ++position_;
    }

    void expect_end() {
        skip_white_space();
        if (position_ != text_.size()) {
            fail("unexpected text after the object");
        }
    }

    std::string read_string() {
        expect('"');
        std::string value;
        while (true) {
            if (position_ == text_.size()) {
                fail("unterminated string");
            }
            const char c = text_[position_++];
            if (c == '"') {
                return value;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                fail_at("control character in string", position_ - 1);
            }
            value += c == '\\' ? read_escape() : std::string(1, c);
        }
    }

    std::uint64_t read_whole_number() {
        const std::size_t start = next_token();
        // JSON has no leading zeros; refused before the digits are summed, whatever their count.
        if (text_.size() - start > 1 && text_[start] == '0' && text_[start + 1] >= '0' &&
            text_[start + 1] <= '9') {
            fail_at("expected a whole number", start);
        }
        std::uint64_t value = 0;
        while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') {
            const auto digit = static_cast<std::uint64_t>(text_[position_] - '0');
            if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                fail_at("number out of range", start);
            }
            value = value * 10 + digit;
            ++position_;
        }
        const std::size_t digits = position_ - start;
        const bool continues =
            position_ < text_.size() &&
            (text_[position_] == '.' || text_[position_] == 'e' || text_[position_] == 'E');
        if (digits == 0 || continues) {
            fail_at("expected a whole number", start);
        }
        return value;
    }

  private:
    std::string read_escape() {
        if (position_ == text_.size()) {
            fail("unterminated string");
        }
        switch (text_[position_++]) {
            case '"': return "\"";
            case '\\': return "\\";
            case '/': return "/";
            case 'b': return "\b";
            case 'f': return "\f";
            case 'n': return "\n";
            case 'r': return "\r";
            case 't': return "\t";
            case 'u': return utf8(read_code_point());
            default: fail_at("invalid escape", position_ - 1);
        }
    }

    unsigned read_hex4() {
        unsigned value = 0;
        for (int k = 0; k < 4; ++k) {
            if (position_ == text_.size()) {
                fail("unterminated string");
            }
            const char c = text_[position_++];
            const unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                                   : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                                   : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                                          : 16;
            if (digit == 16) {
                fail_at("invalid \\u escape", position_ - 1);
            }
            value = value * 16 + digit;
        }
        return value;
    }

    // A \u escape, joining a surrogate pair into one code point; an unpaired surrogate is
    // reported at its escape's backslash.
    unsigned read_code_point() {
        const std::size_t escape_start = position_ - 2;
        const unsigned first = read_hex4();
        if (first >= 0xDC00 && first <= 0xDFFF) {
            fail_at("unpaired surrogate", escape_start);
        }
        if (first < 0xD800 || first > 0xDBFF) {
            return first;
        }
        if (text_.substr(position_, 2) != "\\u") {
            fail_at("unpaired surrogate", escape_start);
        }
        position_ += 2;
        const unsigned second = read_hex4();
        if (second < 0xDC00 || second > 0xDFFF) {
            fail_at("unpaired surrogate", escape_start);
        }
        return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
    }

    static std::string utf8(unsigned code_point) {
        std::string bytes;
        const auto byte = [&bytes](unsigned value) { bytes += static_cast<char>(value); };
        if (code_point < 0x80) {
            byte(code_point);
        } else if (code_point < 0x800) {
            byte(0xC0 | (code_point >> 6));
            byte(0x80 | (code_point & 0x3F));
        } else if (code_point < 0x10000) {
            byte(0xE0 | (code_point >> 12));
            byte(0x80 | ((code_point >> 6) & 0x3F));
            byte(0x80 | (code_point & 0x3F));
        } else {
            byte(0xF0 | (code_point >> 18));
            byte(0x80 | ((code_point >> 12) & 0x3F));
            byte(0x80 | ((code_point >> 6) & 0x3F));
            byte(0x80 | (code_point & 0x3F));
        }
        return bytes;
    }

    std::string_view text_;
    std::size_t position_ = 0;
};

bool is_hex64(const std::string& text) {
    return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

report_fields parse_report(std::string_view json) {
    json_reader reader(json);
    report_fields fields;
    // The opening brace or a comma, then the key the helper writes at this place, then a colon.
    const auto member = [&reader](char before, const char* name) {
        reader.expect(before);
        const std::size_t start = reader.next_token();
        if (reader.read_string() != name) {
            json_reader::fail_at(std::string("expected key \"") + name + "\"", start);
        }
        reader.expect(':');
    };
    const auto digest = [&reader](const char* name) {
        const std::size_t start = reader.next_token();
        std::string value = reader.read_string();
        if (!is_hex64(value)) {
            json_reader::fail_at(std::string(name) + " is not 16 lower-case hex digits", start);
        }
        return value;
    };
    member('{', "xor_value");
    fields.xor_value = digest("xor_value");
    member(',', "sum_value");
    fields.sum_value = digest("sum_value");
    member(',', "gpu_name");
    fields.gpu_name = reader.read_string();
    member(',', "gpu_uuid");
    fields.gpu_uuid = reader.read_string();
    member(',', "duration_ms");
    fields.duration_ms = reader.read_whole_number();
    member(',', "units");
    fields.units = reader.read_whole_number();
    reader.expect('}');
    reader.expect_end();
    return fields;
}
