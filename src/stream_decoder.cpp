#include "stream_decoder.hpp"

#include <cstring>
#include <new>
#include <string_view>

#include "number_objects.hpp"
#include "py_str.hpp"
#include "python.hpp"
#include "scanner.hpp"
#include "string_decoder.hpp"
#include "string_tables.hpp"

namespace taldo {

namespace {

// Zero bytes kept after a number's bytes while it is read: the number
// readers look past the end of their input for a sentinel and read whole
// blocks near it.
constexpr uint64_t NUMBER_PADDING = 64;

// Bytes that may continue a number (or one of the NaN / Infinity words). A
// number is held until a byte outside this set comes: only then does the
// number reader see where it ends.
constexpr auto NUMBER_BYTE = [] {
    struct Table {
        bool in[256];
    } table{};
    for (int b = '0'; b <= '9'; ++b) table.in[b] = true;
    for (const char c : std::string_view("+-.eEInfityNa")) table.in[static_cast<uint8_t>(c)] = true;
    return table;
}();

using namespace string_tables;

// The error moved by `offset` bytes: a number is read from its own buffer,
// whose first byte lies at `offset` in the stream.
ParseError shifted(ParseError error, uint64_t offset) {
    switch (error.kind()) {
        case ErrorKind::Fatal:
        case ErrorKind::PythonException:
            return error;
        case ErrorKind::DuplicateKey:
        case ErrorKind::InternalError:
            return ParseError::with_text(error.kind(), error.index() + offset, error.text());
        default:
            return ParseError(error.kind(), error.index() + offset);
    }
}

constexpr const char* OUT_OF_MEMORY = "out of memory for the stream decoder";

// Where an empty string's bytes are: the readers of a string's bytes take a
// pointer even for none, and it must not be null.
constexpr uint8_t NO_BYTES[1] = {0};

}  // namespace

StreamDecoder::StreamDecoder(const BuildOptions& options, InterpreterState& interpreter, StringCachePool& pool)
    : options_(options), interpreter_(&interpreter) {
    cache_cell_.pool = &pool;
}

// --- positions ---------------------------------------------------------------

// As line_position over the whole stream. An index before the piece lies on
// the line the piece began with: only a token cut by the end of a piece
// reaches back, and no token holds a line feed.
LinePosition StreamDecoder::position_of(uint64_t index) const {
    uint64_t line = lines_ + 1;
    uint64_t line_start = line_start_;
    if (index < piece_base_) {
        return {line, index >= line_start ? index + 1 - line_start : 0};
    }
    const uint64_t end = piece_base_ + piece_size_;
    for (uint64_t a = piece_base_; a < end; ++a) {
        if (piece_[a - piece_base_] == '\n') {
            ++line;
            line_start = a + 1;
        }
        if (a == index) {
            return {line, index + 1 - line_start};
        }
    }
    const uint64_t m = index < end ? index : end;
    return {line, m >= line_start ? m - line_start : 0};
}

void StreamDecoder::fail(ParseError error, LinePosition position) {
    if (failed_) return;
    failed_ = true;
    error_ = std::move(error);
    error_position_ = position;
}

void StreamDecoder::fail_fatal(const char* text) { fail(fatal_from_python(text), {}); }

void StreamDecoder::note_strict_fault(ErrorKind kind, uint64_t index) {
    if (has_strict_fault_) return;
    has_strict_fault_ = true;
    strict_fault_ = ParseError(kind, index);
    strict_position_ = position_of(index);
}

// --- feeding -------------------------------------------------------------------

StreamDecoder::Outcome StreamDecoder::feed(const uint8_t* data, uint64_t size, PyObject*& value) {
    piece_ = data;
    piece_size_ = size;
    process(data, size, piece_base_);
    if (!failed_) {
        end_of_piece();
    }
    give_back(cache_cell_);
    for (const uint8_t* p = data; (p = static_cast<const uint8_t*>(std::memchr(p, '\n', size - (p - data)))); ++p) {
        ++lines_;
        line_start_ = piece_base_ + static_cast<uint64_t>(p - data) + 1;
    }
    piece_base_ += size;
    piece_ = nullptr;
    piece_size_ = 0;
    if (failed_) {
        return Outcome::Failed;
    }
    PyObject* current = root_ != nullptr ? root_ : top_tentative_;
    if (current == nullptr) {
        return Outcome::Pending;
    }
    Py_INCREF(current);
    value = current;
    return Outcome::Value;
}

void StreamDecoder::process(const uint8_t* data, uint64_t n, uint64_t base) {
    uint64_t i = 0;
    while (i < n && !failed_) {
        switch (token_) {
            case Token::None:
                break;
            case Token::Key:
            case Token::StringValue:
                i = continue_string(data, n, i, base);
                continue;
            case Token::Literal:
                i = continue_literal(data, n, i, base);
                continue;
            case Token::Number:
                i = continue_number(data, n, i, base);
                continue;
        }
        const uint8_t byte = data[i];
        if (is_whitespace(byte)) {
            ++i;
            continue;
        }
        const uint64_t at = base + i;
        switch (expect()) {
            case Expect::TopValue:
                start_value(byte, at);
                ++i;
                break;
            case Expect::Done:
                // Partial mode looks at nothing after the value; the strict
                // rules allow only whitespace there.
                note_strict_fault(ErrorKind::TrailingCharacters, at);
                return;
            case Expect::ArrayFirst:
                if (byte == ']') {
                    close_container();
                } else if (frames_.size() > MAX_DEPTH) {
                    fail_at(ErrorKind::RecursionLimitExceeded, at);
                    return;
                } else {
                    start_value(byte, at);
                }
                ++i;
                break;
            case Expect::ArrayAfterValue:
                if (byte == ',') {
                    frames_.back().expect = Expect::ArrayAfterComma;
                    ++i;
                } else if (byte == ']') {
                    close_container();
                    ++i;
                } else {
                    end_container_early(ErrorKind::ExpectedListCommaOrEnd, at);
                }
                break;
            case Expect::ArrayAfterComma:
                if (byte == ']') {
                    fail_at(ErrorKind::TrailingComma, at);
                    return;
                }
                start_value(byte, at);
                ++i;
                break;
            case Expect::ObjectFirst:
            case Expect::ObjectAfterComma:
                if (byte == '"') {
                    start_string(Token::Key, at);
                } else if (byte == '}') {
                    if (expect() == Expect::ObjectAfterComma) {
                        fail_at(ErrorKind::TrailingComma, at);
                        return;
                    }
                    close_container();
                } else {
                    fail_at(ErrorKind::KeyMustBeString, at);
                    return;
                }
                ++i;
                break;
            case Expect::ObjectColon:
                if (byte != ':') {
                    fail_at(ErrorKind::ExpectedColon, at);
                    return;
                }
                colon_done(at + 1);
                ++i;
                break;
            case Expect::ObjectBeforeValue:
                if (frames_.size() > MAX_DEPTH) {
                    fail_at(ErrorKind::RecursionLimitExceeded, at);
                    return;
                }
                start_value(byte, at);
                ++i;
                break;
            case Expect::ObjectAfterValue:
                if (byte == ',') {
                    frames_.back().expect = Expect::ObjectAfterComma;
                    ++i;
                } else if (byte == '}') {
                    close_container();
                    ++i;
                } else {
                    end_container_early(ErrorKind::ExpectedObjectCommaOrEnd, at);
                }
                break;
        }
    }
}

void StreamDecoder::start_string(Token token, uint64_t at) {
    text_.clear();
    points_.clear();
    bits_ = 0;
    wide_ = false;
    escape_ = 0;
    utf8_need_ = 0;
    utf8_faulty_ = false;
    token_ = token;
    token_start_ = at;
}

void StreamDecoder::start_value(uint8_t byte, uint64_t at) {
    token_start_ = at;
    switch (byte) {
        case '[':
            open_container(false);
            return;
        case '{':
            open_container(true);
            return;
        case '"':
            start_string(Token::StringValue, at);
            return;
        case 't':
            literal_ = "true";
            break;
        case 'f':
            literal_ = "false";
            break;
        case 'n':
            literal_ = "null";
            break;
        default:
            text_.clear();
            if (!text_.push_back(byte)) {
                fail_fatal(OUT_OF_MEMORY);
                return;
            }
            token_ = Token::Number;
            if (!NUMBER_BYTE.in[byte]) {
                number_done(1, NumberEnd::Terminated);  // no number begins so: its fault
            }
            return;
    }
    literal_length_ = 1;
    token_ = Token::Literal;
}

// --- containers ----------------------------------------------------------------

void StreamDecoder::open_container(bool is_object) {
    PyObject* container = is_object ? PyDict_New() : PyList_New(0);
    if (container == nullptr) {
        fail_fatal(is_object ? "could not create a dict" : "could not create a list");
        return;
    }
    DuplicateKeyCheck* seen = nullptr;
    if (is_object && options_.catch_duplicate_keys) {
        void* block = native_malloc(sizeof(DuplicateKeyCheck));
        if (block == nullptr) {
            Py_DECREF(container);
            fail_fatal(OUT_OF_MEMORY);
            return;
        }
        seen = new (block) DuplicateKeyCheck();
    }
    if (!frames_.reserve(frames_.size() + 1)) {
        Py_DECREF(container);
        if (seen != nullptr) {
            seen->~DuplicateKeyCheck();
            native_free(seen);
        }
        fail_fatal(OUT_OF_MEMORY);
        return;
    }
    Py_INCREF(container);
    commit(container);
    (void)frames_.push_back(Frame{container, nullptr, seen, is_object ? Expect::ObjectFirst : Expect::ArrayFirst,
                                  is_object});
}

void StreamDecoder::close_container() {
    Frame frame = frames_.back();
    frames_.pop_back();
    Py_DECREF(frame.container);
    Py_XDECREF(frame.key);
    if (frame.seen != nullptr) {
        frame.seen->~DuplicateKeyCheck();
        native_free(frame.seen);
    }
}

// The container ends at a byte that continues none of its members: partial
// mode keeps what it holds, and its own container reads that byte next.
void StreamDecoder::end_container_early(ErrorKind kind, uint64_t at) {
    note_strict_fault(kind, at);
    close_container();
}

void StreamDecoder::commit(PyObject* value) {
    if (frames_.empty()) {
        Py_CLEAR(top_tentative_);
        root_ = value;
        top_expect_ = Expect::Done;
        return;
    }
    Frame& frame = frames_.back();
    const bool replace = tentative_;
    tentative_ = false;
    if (!frame.is_object) {
        frame.expect = Expect::ArrayAfterValue;
        const Py_ssize_t size = PyList_GET_SIZE(frame.container);
        if (replace && size > 0) {
            // In place of the tentative value.
            PyObject* old = PyList_GET_ITEM(frame.container, size - 1);
            PyList_SET_ITEM(frame.container, size - 1, value);
            Py_DECREF(old);
            return;
        }
        const int appended = PyList_Append(frame.container, value);
        Py_DECREF(value);
        if (appended != 0) fail_fatal("could not append to a list");
        return;
    }
    frame.expect = Expect::ObjectAfterValue;
    const int stored = PyDict_SetItem(frame.container, frame.key, value);
    Py_DECREF(value);
    Py_CLEAR(frame.key);
    Py_CLEAR(displaced_);
    if (stored != 0) fail_fatal("PyDict_SetItem failed");
}

// The value of the token the piece ends inside, put where it would go if the
// token ended there.
void StreamDecoder::set_tentative(PyObject* value) {
    if (frames_.empty()) {
        Py_XSETREF(top_tentative_, value);
        return;
    }
    Frame& frame = frames_.back();
    if (!frame.is_object) {
        const Py_ssize_t size = PyList_GET_SIZE(frame.container);
        if (tentative_ && size > 0) {
            PyObject* old = PyList_GET_ITEM(frame.container, size - 1);
            PyList_SET_ITEM(frame.container, size - 1, value);
            Py_DECREF(old);
            return;
        }
        const int appended = PyList_Append(frame.container, value);
        Py_DECREF(value);
        if (appended != 0) {
            fail_fatal("could not append to a list");
            return;
        }
        tentative_ = true;
        return;
    }
    if (!tentative_) {
        PyObject* before = PyDict_GetItemWithError(frame.container, frame.key);
        if (before == nullptr && PyErr_Occurred()) {
            Py_DECREF(value);
            fail_fatal("PyDict_GetItem failed");
            return;
        }
        Py_XINCREF(before);
        Py_XSETREF(displaced_, before);
    }
    const int stored = PyDict_SetItem(frame.container, frame.key, value);
    Py_DECREF(value);
    if (stored != 0) {
        fail_fatal("PyDict_SetItem failed");
        return;
    }
    tentative_ = true;
}

// The token the piece ends inside contributes nothing (yet): its tentative
// value leaves, and a member it displaced comes back.
void StreamDecoder::drop_tentative() {
    if (frames_.empty()) {
        Py_CLEAR(top_tentative_);
        return;
    }
    if (!tentative_) return;
    tentative_ = false;
    Frame& frame = frames_.back();
    if (!frame.is_object) {
        const Py_ssize_t size = PyList_GET_SIZE(frame.container);
        if (size > 0 && PyList_SetSlice(frame.container, size - 1, size, nullptr) != 0) {
            fail_fatal("could not shorten a list");
        }
        return;
    }
    int done;
    if (displaced_ != nullptr) {
        done = PyDict_SetItem(frame.container, frame.key, displaced_);
        Py_CLEAR(displaced_);
    } else {
        done = PyDict_DelItem(frame.container, frame.key);
        if (done != 0 && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();  // taken out by the caller meanwhile
            done = 0;
        }
    }
    if (done != 0) fail_fatal("could not restore a dict member");
}

void StreamDecoder::end_of_piece() {
    switch (token_) {
        case Token::Number:
            number_done(text_.size(), NumberEnd::PieceEnd);
            return;
        case Token::StringValue:
            if (options_.partial_mode != PartialMode::TrailingStrings) return;
            if (utf8_faulty_) {
                fail(ParseError(ErrorKind::InvalidCodePoint, utf8_fault_index_), utf8_fault_position_);
                return;
            }
            if (PyObject* str = string_object(false, false)) {
                set_tentative(str);
            }
            return;
        default:
            return;
    }
}

// --- strings ---------------------------------------------------------------------

void StreamDecoder::utf8_fault(uint64_t index) {
    if (utf8_faulty_) return;
    utf8_faulty_ = true;
    utf8_fault_index_ = index;
    utf8_fault_position_ = position_of(index);
}

// One code point of the string's value. After a UTF-8 fault the value can no
// longer be had, and only the faults that the scan reports first are looked
// for.
void StreamDecoder::emit(uint32_t code_point) {
    if (utf8_faulty_) return;
    if (code_point < 0x80) {
        if (!text_.push_back(static_cast<uint8_t>(code_point)) || (wide_ && !points_.push_back(code_point))) {
            fail_fatal(OUT_OF_MEMORY);
        }
        return;
    }
    if (!wide_) {
        // From here on the code points are kept; those so far are ASCII.
        if (!points_.reserve(text_.size() + 16)) {
            fail_fatal(OUT_OF_MEMORY);
            return;
        }
        for (uint64_t k = 0; k < text_.size(); ++k) points_[k] = text_[k];
        points_.truncate(text_.size());
        wide_ = true;
    }
    uint8_t bytes[4];
    const unsigned n = write_utf8(bytes, code_point);
    if (!text_.append(bytes, n) || !points_.push_back(code_point)) {
        fail_fatal(OUT_OF_MEMORY);
        return;
    }
    bits_ |= code_point;
}

uint64_t StreamDecoder::continue_string(const uint8_t* data, uint64_t n, uint64_t i, uint64_t base) {
    while (i < n) {
        const uint8_t byte = data[i];
        if (escape_ != 0) {
            const uint64_t at = base + i;
            ++i;
            switch (escape_) {
                case 1:
                    if (const uint8_t simple = SIMPLE_ESCAPE.byte[byte]; simple != 0) {
                        escape_ = 0;
                        emit(simple);
                    } else if (byte == 'u') {
                        escape_ = 2;
                        hex_count_ = 0;
                        hex_value_ = 0;
                    } else {
                        fail_at(ErrorKind::InvalidEscape, at);
                        return n;
                    }
                    break;
                case 2:
                case 5: {
                    const uint8_t digit = HEX_VALUE.value[byte];
                    if (digit == NO_HEX) {
                        fail_at(ErrorKind::InvalidEscape, at);
                        return n;
                    }
                    hex_value_ = (hex_value_ << 4) | digit;
                    if (++hex_count_ < 4) break;
                    const uint32_t v = hex_value_;
                    if (escape_ == 2) {
                        if (v >= 0xDC00 && v <= 0xDFFF) {
                            fail_at(ErrorKind::LoneLeadingSurrogate, at);
                            return n;
                        }
                        if (v >= 0xD800 && v <= 0xDBFF) {
                            high_surrogate_ = v;
                            escape_ = 3;
                            break;
                        }
                        escape_ = 0;
                        emit(v);
                        break;
                    }
                    if (v < 0xDC00 || v > 0xDFFF) {
                        fail_at(ErrorKind::LoneLeadingSurrogate, at);
                        return n;
                    }
                    escape_ = 0;
                    emit(0x10000 + ((high_surrogate_ - 0xD800) << 10) + (v - 0xDC00));
                    break;
                }
                case 3:
                    if (byte != '\\') {
                        fail_at(ErrorKind::EofInHexEscape, at);
                        return n;
                    }
                    escape_ = 4;
                    break;
                default:  // 4: after the backslash that must begin the trailing surrogate
                    if (byte != 'u') {
                        fail_at(ErrorKind::EofInHexEscape, at);
                        return n;
                    }
                    escape_ = 5;
                    hex_count_ = 0;
                    hex_value_ = 0;
                    break;
            }
            if (failed_) return n;
            continue;
        }
        if (utf8_need_ != 0) {
            if (byte >= utf8_low_ && byte <= utf8_high_) {
                utf8_value_ = (utf8_value_ << 6) | (byte & 0x3F);
                utf8_low_ = 0x80;
                utf8_high_ = 0xBF;
                ++i;
                if (--utf8_need_ == 0) {
                    emit(utf8_value_);
                    if (failed_) return n;
                }
                continue;
            }
            // The sequence is cut short by this byte, which is read afresh.
            utf8_need_ = 0;
            utf8_fault(utf8_lead_);
        }
        if (detail::PLAIN_BYTE.plain[byte]) {
            uint64_t j = i + 1;
            while (j < n && detail::PLAIN_BYTE.plain[data[j]]) ++j;
            if (!utf8_faulty_) {
                const uint64_t count = j - i;
                if (!text_.append(data + i, count)) {
                    fail_fatal(OUT_OF_MEMORY);
                    return n;
                }
                if (wide_) {
                    if (!points_.reserve(points_.size() + count)) {
                        fail_fatal(OUT_OF_MEMORY);
                        return n;
                    }
                    uint32_t* to = points_.data() + points_.size();
                    for (uint64_t k = 0; k < count; ++k) to[k] = data[i + k];
                    points_.truncate(points_.size() + count);
                }
            }
            i = j;
            continue;
        }
        if (byte == '"') {
            string_done();
            return i + 1;
        }
        if (byte == '\\') {
            escape_ = 1;
            ++i;
            continue;
        }
        if (byte < 0x20) {
            fail_at(ErrorKind::ControlCharInString, base + i);
            return n;
        }
        // A byte of 0x80 or above.
        if (!utf8_faulty_) {
            const Lead lead = LEADS.lead[byte];
            if (lead.trailing == NOT_A_LEAD) {
                utf8_fault(base + i);
            } else {
                utf8_need_ = lead.trailing;
                utf8_low_ = lead.low;
                utf8_high_ = lead.high;
                utf8_value_ = byte & (0x3Fu >> lead.trailing);  // the lead's value bits
                utf8_lead_ = base + i;
            }
        }
        ++i;
    }
    return n;
}

// The closing quote has been read.
void StreamDecoder::string_done() {
    if (utf8_faulty_) {
        fail(ParseError(ErrorKind::InvalidCodePoint, utf8_fault_index_), utf8_fault_position_);
        return;
    }
    if (token_ == Token::Key) {
        token_ = Token::None;
        frames_.back().expect = Expect::ObjectColon;  // the key's text stays until its colon
        return;
    }
    token_ = Token::None;
    if (PyObject* str = string_object(true, false)) {
        commit(str);
    }
}

void StreamDecoder::colon_done(uint64_t after) {
    Frame& frame = frames_.back();
    if (frame.seen != nullptr) {
        const uint8_t* bytes = text_.empty() ? NO_BYTES : text_.data();
        Status fresh = frame.seen->check_and_insert(
            std::string_view(reinterpret_cast<const char*>(bytes), text_.size()), false, after);
        if (!fresh.ok()) {
            fail(fresh.take_error(), position_of(after));
            return;
        }
    }
    PyObject* key = string_object(true, true);
    if (key == nullptr) return;
    frame.key = key;
    frame.expect = Expect::ObjectBeforeValue;
}

// The str of the string held; a cut string (not `complete`) never enters
// the cache.
PyObject* StreamDecoder::string_object(bool complete, bool is_key) {
    CodePoints points{points_.data(), points_.size(), bits_};
    DecodedString s;
    s.bytes = text_.empty() ? NO_BYTES : text_.data();
    s.length = text_.size();
    s.origin = StringOrigin::Scratch;
    s.ascii_only = !wide_;
    s.code_points = wide_ ? &points : nullptr;
    const bool cached = complete && (is_key ? options_.cache_mode != CacheMode::None
                                            : options_.cache_mode == CacheMode::All);
    if (cached) {
        PyObject* str = get_or_insert(cache_cell_, s);
        if (str == nullptr) fail(str_fault(), {});
        return str;
    }
    Result<PyRef> made = make_py_str(s);
    if (!made.ok()) {
        fail(made.take_error(), {});
        return nullptr;
    }
    return made.value().release();
}

// --- literals and numbers ----------------------------------------------------------

uint64_t StreamDecoder::continue_literal(const uint8_t* data, uint64_t n, uint64_t i, uint64_t base) {
    while (i < n) {
        if (data[i] != static_cast<uint8_t>(literal_[literal_length_])) {
            fail_at(ErrorKind::ExpectedIdent, base + i);
            return n;
        }
        ++i;
        if (literal_[++literal_length_] == '\0') {
            token_ = Token::None;
            PyObject* object = literal_[0] == 't' ? Py_True : literal_[0] == 'f' ? Py_False : Py_None;
            Py_INCREF(object);
            commit(object);
            return i;
        }
    }
    return n;
}

uint64_t StreamDecoder::continue_number(const uint8_t* data, uint64_t n, uint64_t i, uint64_t /*base*/) {
    uint64_t j = i;
    while (j < n && NUMBER_BYTE.in[data[j]]) ++j;
    if (!text_.append(data + i, j - i)) {
        fail_fatal(OUT_OF_MEMORY);
        return n;
    }
    if (j == n) return n;
    // The byte that stops it is read with it (a fault may lie there) and
    // then read again where the number leaves off.
    const uint64_t held = text_.size();
    if (!text_.push_back(data[j])) {
        fail_fatal(OUT_OF_MEMORY);
        return n;
    }
    number_done(held, NumberEnd::Terminated);
    return j;
}

void StreamDecoder::number_done(uint64_t held, NumberEnd how) {
    const uint64_t len = text_.size();
    if (!text_.reserve(len + NUMBER_PADDING)) {
        fail_fatal(OUT_OF_MEMORY);
        return;
    }
    std::memset(text_.data() + len, 0, NUMBER_PADDING);
    Scanner scanner{text_.data(), len, 0};
    bool collector_paused = false;
    const uint8_t first = text_[0];
    Result<PyRef> number = [&]() -> Result<PyRef> {
        switch (options_.float_mode) {
            case FloatMode::Decimal:
                return build_number<FloatMode::Decimal>(scanner, first, options_.allow_inf_nan, collector_paused,
                                                        *interpreter_);
            case FloatMode::LosslessFloat:
                return build_number<FloatMode::LosslessFloat>(scanner, first, options_.allow_inf_nan,
                                                              collector_paused, *interpreter_);
            default:
                return build_number<FloatMode::Float>(scanner, first, options_.allow_inf_nan, collector_paused,
                                                      *interpreter_);
        }
    }();
    if (!number.ok()) {
        ParseError error = number.take_error();
        if (how == NumberEnd::PieceEnd && error.kind() == ErrorKind::EofInValue) {
            drop_tentative();  // more bytes may make it a number
            return;
        }
        const uint64_t index = token_start_ + error.index();
        fail(shifted(std::move(error), token_start_), position_of(index));
        return;
    }
    const uint64_t end = scanner.index;
    if (how == NumberEnd::PieceEnd && end == held) {
        set_tentative(number.value().release());
        return;
    }
    token_ = Token::None;
    commit(number.value().release());
    if (end < held && !failed_) {
        // Bytes that could have continued it but do not: they come after the
        // number. No token begins there (the container or the document ends
        // at the first of them), so the number's buffer is free to read from
        // a copy.
        NativeArray<uint8_t> rest;
        if (!rest.append(text_.data() + end, held - end)) {
            fail_fatal(OUT_OF_MEMORY);
            return;
        }
        process(rest.data(), rest.size(), token_start_ + end);
    }
}

// --- the end of the stream -----------------------------------------------------------

StreamDecoder::Outcome StreamDecoder::close(PyObject*& value) {
    closed_ = true;
    if (!failed_ && !has_strict_fault_ && token_ == Token::Number) {
        number_done(text_.size(), NumberEnd::StreamEnd);
    }
    give_back(cache_cell_);
    if (!failed_ && has_strict_fault_) {
        fail(std::move(strict_fault_), strict_position_);
    }
    if (failed_) {
        return Outcome::Failed;
    }
    if (frames_.empty() && token_ == Token::None && top_expect_ == Expect::Done) {
        Py_INCREF(root_);
        value = root_;
        return Outcome::Value;
    }
    ErrorKind kind = ErrorKind::EofInValue;
    switch (token_) {
        case Token::Key:
        case Token::StringValue:
            kind = ErrorKind::EofInString;
            break;
        case Token::Literal:
        case Token::Number:
            kind = ErrorKind::EofInValue;
            break;
        case Token::None:
            switch (expect()) {
                case Expect::ArrayFirst:
                case Expect::ArrayAfterValue:
                    kind = ErrorKind::EofInList;
                    break;
                case Expect::ObjectFirst:
                case Expect::ObjectColon:
                case Expect::ObjectAfterValue:
                    kind = ErrorKind::EofInObject;
                    break;
                default:
                    kind = ErrorKind::EofInValue;
                    break;
            }
            break;
    }
    fail_at(kind, piece_base_);
    return Outcome::Failed;
}

// --- the collector -----------------------------------------------------------------

int StreamDecoder::traverse(visitproc visit, void* arg) {
    Py_VISIT(root_);
    Py_VISIT(top_tentative_);
    Py_VISIT(displaced_);
    for (uint64_t k = 0; k < frames_.size(); ++k) {
        Py_VISIT(frames_[k].container);
        Py_VISIT(frames_[k].key);
    }
    return 0;
}

void StreamDecoder::clear() {
    while (!frames_.empty()) close_container();
    Py_CLEAR(root_);
    Py_CLEAR(top_tentative_);
    Py_CLEAR(displaced_);
    tentative_ = false;
    token_ = Token::None;
    give_back(cache_cell_);
    closed_ = true;
}

}  // namespace taldo
