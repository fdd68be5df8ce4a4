#include "errors.hpp"

#include <algorithm>
#include <array>

#include "unicode_tables.hpp"

namespace taldo {

std::string_view json_kind_name(JsonKind kind) {
    static constexpr std::array<std::string_view, 7> names = {"null",   "bool",  "int",   "float",
                                                              "string", "array", "object"};
    return names[static_cast<size_t>(kind)];
}

namespace {

constexpr std::array<std::string_view, 23> KIND_TEXTS = {
    "float value was found where an int was expected",
    "Detected duplicate key ",
    "Internal error: ",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};

bool escaped_in_messages(uint32_t code_point) {
    const auto* begin = std::begin(unicode::ESCAPED_RANGES);
    const auto* end = std::end(unicode::ESCAPED_RANGES);
    // The first range that ends at or after the code point.
    const auto* it = std::lower_bound(begin, end, code_point,
                                      [](const unicode::CodePointRange& r, uint32_t cp) { return r.last < cp; });
    return it != end && it->first <= code_point;
}

void append_hex_escape(TextBuffer& out, uint32_t code_point) {
    static constexpr char digits[] = "0123456789abcdef";
    char buffer[16];
    int n = 16;
    buffer[--n] = '}';
    do {
        buffer[--n] = digits[code_point & 0xF];
        code_point >>= 4;
    } while (code_point != 0);
    buffer[--n] = '{';
    buffer[--n] = 'u';
    buffer[--n] = '\\';
    out.append(std::string_view(buffer + n, static_cast<size_t>(16 - n)));
}

// The length of the UTF-8 sequence led by `lead` (the text is valid UTF-8).
int sequence_length(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

uint32_t decode_sequence(const uint8_t* p, int length) {
    switch (length) {
        case 2:
            return (uint32_t{p[0] & 0x1Fu} << 6) | (p[1] & 0x3Fu);
        case 3:
            return (uint32_t{p[0] & 0x0Fu} << 12) | (uint32_t{p[1] & 0x3Fu} << 6) | (p[2] & 0x3Fu);
        default:
            return (uint32_t{p[0] & 0x07u} << 18) | (uint32_t{p[1] & 0x3Fu} << 12) |
                   (uint32_t{p[2] & 0x3Fu} << 6) | (p[3] & 0x3Fu);
    }
}

}  // namespace

void kind_text(const ParseError& error, TextBuffer& out) {
    const ErrorKind kind = error.kind();
    if (kind == ErrorKind::KindMismatch) {
        out.append("expected ");
        out.append(json_kind_name(error.expected()));
        out.append(" but found ");
        out.append(json_kind_name(error.found()));
        return;
    }
    if (kind == ErrorKind::Fatal) {
        out.append(error.text());
        return;
    }
    out.append(KIND_TEXTS[static_cast<size_t>(kind)]);
    if (kind == ErrorKind::DuplicateKey || kind == ErrorKind::InternalError) {
        debug_quote(error.text(), out);
    }
}

void TextBuffer::append_decimal(uint64_t value) {
    char buffer[20];
    size_t n = sizeof buffer;
    do {
        buffer[--n] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    append(std::string_view(buffer + n, sizeof buffer - n));
}

bool TextBuffer::grow(size_t more) {
    if (!ok_) {
        return false;
    }
    size_t capacity = capacity_ * 2;
    if (capacity - size_ < more) capacity = size_ + more;
    if (capacity < size_) {  // the size wrapped
        ok_ = false;
        return false;
    }
    void* block = native_realloc(data_ == inline_ ? nullptr : data_, capacity);
    if (block == nullptr) {
        ok_ = false;
        return false;
    }
    if (data_ == inline_) std::memcpy(block, inline_, size_);
    data_ = static_cast<char*>(block);
    capacity_ = capacity;
    return true;
}

LinePosition line_position(const uint8_t* bytes, uint64_t length, uint64_t index) {
    return line_position_in_units(bytes, length, index);
}

void message(const ParseError& error, const uint8_t* bytes, uint64_t length, TextBuffer& out) {
    message(error, line_position(bytes, length, error.index()), out);
}

void message(const ParseError& error, LinePosition position, TextBuffer& out) {
    kind_text(error, out);
    out.append(" at line ");
    out.append_decimal(position.line);
    out.append(" column ");
    out.append_decimal(position.column);
}

void debug_quote(std::string_view text, TextBuffer& out) {
    out.append('"');
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const uint8_t byte = *p;
        if (byte < 0x80) {
            switch (byte) {
                case 0:
                    out.append("\\0");
                    break;
                case '\t':
                    out.append("\\t");
                    break;
                case '\n':
                    out.append("\\n");
                    break;
                case '\r':
                    out.append("\\r");
                    break;
                case '"':
                    out.append("\\\"");
                    break;
                case '\\':
                    out.append("\\\\");
                    break;
                default:
                    if (byte < 0x20 || byte == 0x7F) {
                        append_hex_escape(out, byte);
                    } else {
                        out.append(static_cast<char>(byte));
                    }
            }
            ++p;
            continue;
        }
        const int length = sequence_length(byte);
        if (end - p < length) [[unlikely]] {
            // A cut sequence breaks the contract; show its bytes rather than
            // read past the text.
            for (; p < end; ++p) append_hex_escape(out, *p);
            break;
        }
        const uint32_t code_point = decode_sequence(p, length);
        if (escaped_in_messages(code_point)) {
            append_hex_escape(out, code_point);
        } else {
            out.append(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(length)));
        }
        p += length;
    }
    out.append('"');
}

ParseError word_fault(const uint8_t* data, uint64_t len, uint64_t pos, const char* rest, uint64_t n) {
    for (uint64_t j = 0; j < n; ++j) {
        if (pos + j >= len) {
            return ParseError(ErrorKind::EofInValue, len);
        }
        if (data[pos + j] != static_cast<uint8_t>(rest[j])) {
            return ParseError(ErrorKind::ExpectedIdent, pos + j);
        }
    }
    return ParseError::with_text(ErrorKind::InternalError, pos, "word comparison disagrees");
}

}  // namespace taldo
