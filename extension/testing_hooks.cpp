// _taldo_testing: the decoding core's internals, exposed to the test suite so
// that they can be checked below the public API. Not part of taldo's API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "errors.hpp"
#include "interpreter_state.hpp"
#include "native_memory.hpp"
#include "options.hpp"
#include "py_ref.hpp"
#include "py_str.hpp"
#include "python.hpp"
#include "stream_decoder.hpp"
#include "string_cache.hpp"
#include "string_decoder.hpp"

namespace taldo {

namespace {

// The allocations still to go before one fails (-1: none fails), whether
// every one after it fails too, whether one has failed, and the number of
// blocks live.
long long allocations_before_failure = -1;
bool keep_failing = false;
bool allocation_failed = false;
long long live_blocks = 0;

}  // namespace

void* native_realloc(void* block, size_t size) {
    if (allocations_before_failure >= 0) {
        if (allocations_before_failure == 0) {
            allocation_failed = true;
            if (!keep_failing) allocations_before_failure = -1;
            return nullptr;
        }
        --allocations_before_failure;
    }
    void* result = std::realloc(block, size != 0 ? size : 1);
    if (result != nullptr && block == nullptr) ++live_blocks;
    return result;
}

void native_free(void* block) {
    if (block != nullptr) --live_blocks;
    std::free(block);
}

namespace {

PyObject* text_to_str(const TextBuffer& text) {
    if (!text.ok()) {
        return PyErr_NoMemory();
    }
    return PyUnicode_DecodeUTF8(text.view().data(), static_cast<Py_ssize_t>(text.view().size()), "strict");
}

// line_position(data: bytes, index: int) -> (line, column)
PyObject* line_position_hook(PyObject* /*module*/, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    unsigned long long index = 0;
    if (!PyArg_ParseTuple(args, "y#K", &data, &size, &index)) {
        return nullptr;
    }
    const LinePosition p = line_position(reinterpret_cast<const uint8_t*>(data), static_cast<uint64_t>(size), index);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(p.line), static_cast<unsigned long long>(p.column));
}

// debug_quote(text: str) -> str
PyObject* debug_quote_hook(PyObject* /*module*/, PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        return nullptr;
    }
    TextBuffer quoted;
    debug_quote(std::string_view(utf8, static_cast<size_t>(size)), quoted);
    return text_to_str(quoted);
}

// error_message(kind: int, index: int, data: bytes, payload: str = "") -> str
// For KindMismatch (kind 100) the payload is "expected,found" as two JsonKind
// codes.
PyObject* error_message_hook(PyObject* /*module*/, PyObject* args) {
    int kind = 0;
    unsigned long long index = 0;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    const char* payload = "";
    if (!PyArg_ParseTuple(args, "iKy#|s", &kind, &index, &data, &size, &payload)) {
        return nullptr;
    }
    ParseError error(static_cast<ErrorKind>(kind), index);
    if (kind == static_cast<int>(ErrorKind::KindMismatch)) {
        int expected = 0, found = 0;
        constexpr int last_kind = static_cast<int>(JsonKind::Object);
        if (std::sscanf(payload, "%d,%d", &expected, &found) != 2 || expected < 0 || expected > last_kind ||
            found < 0 || found > last_kind) {
            PyErr_SetString(PyExc_ValueError, "payload must be 'expected,found', two JsonKind codes");
            return nullptr;
        }
        error = ParseError::kind_mismatch(static_cast<JsonKind>(expected), static_cast<JsonKind>(found), index);
    } else if (kind == static_cast<int>(ErrorKind::DuplicateKey) || kind == static_cast<int>(ErrorKind::InternalError)) {
        error = ParseError::with_text(static_cast<ErrorKind>(kind), index, payload);
    } else if (kind < 0 || kind > static_cast<int>(ErrorKind::RecursionLimitExceeded)) {
        PyErr_SetString(PyExc_ValueError, "no such kind");
        return nullptr;
    }
    TextBuffer text;
    message(error, reinterpret_cast<const uint8_t*>(data), static_cast<uint64_t>(size), text);
    return text_to_str(text);
}

// The outcome of one string decode, for the hooks below: the tuple
// (value: bytes, origin: 'input' | 'scratch', ascii_only: bool, end_index: int),
// or ValueError(kind_code, index) for a parse error.
PyObject* decoded_to_python(Result<DecodedString>& decoded, const Scanner& scanner) {
    if (!decoded.ok()) {
        const ParseError& error = decoded.error();
        if (error.is_fatal()) {
            PyErr_SetObject(PyExc_MemoryError, PyRef(PyUnicode_FromStringAndSize(error.text().data(), static_cast<Py_ssize_t>(error.text().size()))).get());
            return nullptr;
        }
        PyErr_SetObject(PyExc_ValueError, PyRef(Py_BuildValue("(iK)", static_cast<int>(error.kind()),
                                                              static_cast<unsigned long long>(error.index())))
                                              .get());
        return nullptr;
    }
    const DecodedString& s = decoded.value();
    return Py_BuildValue("(y#sOK)", reinterpret_cast<const char*>(s.bytes), static_cast<Py_ssize_t>(s.length),
                         s.origin == StringOrigin::Input ? "input" : "scratch", s.ascii_only ? Py_True : Py_False,
                         static_cast<unsigned long long>(scanner.index));
}

// The bytes must begin with the opening quote, where the decoder starts.
bool starts_with_quote(const char* data, Py_ssize_t size) {
    if (size == 0 || data[0] != '"') {
        PyErr_SetString(PyExc_ValueError, "data must begin with a quote");
        return false;
    }
    return true;
}

// The arguments (data: bytes, allow_partial: bool) of the two hooks below,
// decoded; false with an exception set when they are wrong.
bool decode_string_arguments(PyObject* args, Scanner& scanner, ScratchBuffer& scratch,
                             std::optional<Result<DecodedString>>& decoded) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    int allow_partial = 0;
    if (!PyArg_ParseTuple(args, "y#p", &data, &size, &allow_partial) || !starts_with_quote(data, size)) {
        return false;
    }
    scanner = Scanner{reinterpret_cast<const uint8_t*>(data), static_cast<uint64_t>(size), 0};
    decoded.emplace(decode_string(scanner, scratch, allow_partial != 0));
    return true;
}

// decode_string(data: bytes, allow_partial: bool) -> tuple, see above
PyObject* decode_string_hook(PyObject* /*module*/, PyObject* args) {
    Scanner scanner{};
    ScratchBuffer scratch;
    std::optional<Result<DecodedString>> decoded;
    if (!decode_string_arguments(args, scanner, scratch, decoded)) {
        return nullptr;
    }
    return decoded_to_python(*decoded, scanner);
}

// decode_key(data: bytes) -> tuple, see above; end_index is one past the colon,
// or for EofInObject and ExpectedColon where the scanner was left.
PyObject* decode_key_hook(PyObject* /*module*/, PyObject* arg) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(arg, &data, &size) != 0 || !starts_with_quote(data, size)) {
        return nullptr;
    }
    Scanner scanner{reinterpret_cast<const uint8_t*>(data), static_cast<uint64_t>(size), 0};
    ScratchBuffer scratch;
    Result<DecodedString> decoded = decode_key(scanner, scratch);
    return decoded_to_python(decoded, scanner);
}

// same_short_bytes(a: bytes, b: bytes) -> bool, for two byte strings of the
// same length, 2 to 63. Each is copied into a block of exactly its size, so
// that a sanitizer build catches any read outside it.
PyObject* same_short_bytes_hook(PyObject* /*module*/, PyObject* args) {
    const char* a = nullptr;
    const char* b = nullptr;
    Py_ssize_t a_size = 0;
    Py_ssize_t b_size = 0;
    if (!PyArg_ParseTuple(args, "y#y#", &a, &a_size, &b, &b_size)) {
        return nullptr;
    }
    if (a_size != b_size || a_size < 2 || a_size > 63) {
        PyErr_SetString(PyExc_ValueError, "both must be 2 to 63 bytes long");
        return nullptr;
    }
    const auto n = static_cast<size_t>(a_size);
    auto* a_copy = static_cast<uint8_t*>(std::malloc(n));
    auto* b_copy = static_cast<uint8_t*>(std::malloc(n));
    PyObject* same = nullptr;
    if (a_copy == nullptr || b_copy == nullptr) {
        PyErr_NoMemory();
    } else {
        std::memcpy(a_copy, a, n);
        std::memcpy(b_copy, b, n);
        same = PyBool_FromLong(detail::same_short_bytes(a_copy, b_copy, n));
    }
    std::free(a_copy);
    std::free(b_copy);
    return same;
}

// decode_string_to_str(data: bytes, allow_partial: bool) -> str, the decoded
// string made by make_py_str, or ValueError(kind_code, index).
PyObject* decode_string_to_str_hook(PyObject* /*module*/, PyObject* args) {
    Scanner scanner{};
    ScratchBuffer scratch;
    std::optional<Result<DecodedString>> decoded;
    if (!decode_string_arguments(args, scanner, scratch, decoded)) {
        return nullptr;
    }
    if (!decoded->ok()) {
        return decoded_to_python(*decoded, scanner);
    }
    Result<PyRef> str = make_py_str(decoded->value());
    if (!str.ok()) {
        PyErr_SetObject(PyExc_MemoryError, PyRef(PyUnicode_FromStringAndSize(str.error().text().data(), static_cast<Py_ssize_t>(str.error().text().size()))).get());
        return nullptr;
    }
    return str.take_value().release();
}

// parse_failing(data: bytes, fail_at: int, keep_failing: bool, cache_mode: int,
//               catch_duplicate_keys: bool, float_mode: int, partial_mode: int)
//   -> (outcome, payload, failed)
// A from_json call, with options given by their codes, in which the native
// allocation numbered `fail_at` (from 0; -1 for none) fails, and with
// `keep_failing` every one after it as well. outcome is "value" (payload the
// value), "fault" (the internal fault's text) or "error" (the ValueError's
// message, or None when it could not be composed); failed says whether an
// allocation failed.
// The state parse_failing parses with: a private one, so that its string
// caches and LosslessFloats are made and freed by this module's allocator.
InterpreterState* hook_state() {
    static PyObject* capsule = nullptr;
    if (capsule == nullptr) {
        capsule = new_interpreter_state_capsule();
    }
    return capsule != nullptr ? state_of_capsule(capsule) : nullptr;
}

// The arguments both failing hooks take: their input (bytes, or a list of
// bytes), which allocation fails and whether the later ones do too, and the
// options by their codes.
struct FailingCall {
    PyObject* input = nullptr;
    long long fail_at = -1;
    bool keep_failing = false;
    BuildOptions options;
};

bool failing_call_arguments(PyObject* args, int lowest_partial_mode, FailingCall& call) {
    int keep = 0;
    int cache_mode = 0;
    int catch_duplicate_keys = 0;
    int float_mode = 0;
    int partial_mode = 0;
    if (!PyArg_ParseTuple(args, "OLpipii", &call.input, &call.fail_at, &keep, &cache_mode, &catch_duplicate_keys,
                          &float_mode, &partial_mode)) {
        return false;
    }
    if (cache_mode < 0 || cache_mode > 2 || float_mode < 0 || float_mode > 2 || partial_mode < lowest_partial_mode ||
        partial_mode > 2) {
        PyErr_SetString(PyExc_ValueError, "no such mode");
        return false;
    }
    call.keep_failing = keep != 0;
    call.options.cache_mode = static_cast<CacheMode>(cache_mode);
    call.options.catch_duplicate_keys = catch_duplicate_keys != 0;
    call.options.float_mode = static_cast<FloatMode>(float_mode);
    call.options.partial_mode = static_cast<PartialMode>(partial_mode);
    return true;
}

// From here on the call's allocations count towards the failure.
void arm(const FailingCall& call) {
    allocations_before_failure = call.fail_at;
    keep_failing = call.keep_failing;
    allocation_failed = false;
}

// The payload of a failed call: the internal fault's text, or the message of
// the parse error (None when it could not be composed).
PyRef failure_payload(const ParseError& error, LinePosition position, const char*& outcome) {
    if (error.is_fatal()) {
        outcome = "fault";
        const std::string_view text = error.text();
        return PyRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    outcome = "error";
    TextBuffer text;
    message(error, position, text);
    return text.ok() ? PyRef(text_to_str(text)) : PyRef::borrow(Py_None);
}

// Stops failing allocations and makes the hook's (outcome, payload, failed).
PyObject* failing_result(const char* outcome, const PyRef& payload) {
    allocations_before_failure = -1;
    keep_failing = false;
    if (!payload) {
        return nullptr;
    }
    return Py_BuildValue("(sOO)", outcome, payload.get(), allocation_failed ? Py_True : Py_False);
}

PyObject* parse_failing_hook(PyObject* /*module*/, PyObject* args) {
    FailingCall call;
    if (!failing_call_arguments(args, 0, call)) {
        return nullptr;
    }
    if (!PyBytes_Check(call.input)) {
        PyErr_SetString(PyExc_TypeError, "data must be bytes");
        return nullptr;
    }
    InterpreterState* state = hook_state();
    if (state == nullptr) {
        return nullptr;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(call.input));
    const auto len = static_cast<uint64_t>(PyBytes_GET_SIZE(call.input));

    // As from_json does it.
    ValueBuilder builder(data, len, *state, state->pool);
    builder.partial_mode = call.options.partial_mode;
    BuildDocument build =
        select_builder(call.options.cache_mode, call.options.catch_duplicate_keys, call.options.float_mode);
    arm(call);
    PyRef value(build(builder));
    builder.finish();
    const char* outcome = "value";
    PyRef payload = value ? std::move(value)
                          : failure_payload(builder.error, line_position(data, len, builder.error.index()), outcome);
    return failing_result(outcome, payload);
}

// stream_failing(chunks: list[bytes], fail_at: int, keep_failing: bool,
//                cache_mode: int, catch_duplicate_keys: bool, float_mode: int,
//                partial_mode: int) -> (outcome, payload, failed)
// As parse_failing for a StreamDecoder fed the chunks and then closed: the
// outcome of the first feed that fails, or of close(). outcome is "value"
// (payload close()'s value), "fault" or "error" as for parse_failing.
PyObject* stream_failing_hook(PyObject* /*module*/, PyObject* args) {
    FailingCall call;
    if (!failing_call_arguments(args, 1, call)) {
        return nullptr;
    }
    PyObject* chunks = call.input;
    bool all_bytes = PyList_Check(chunks);
    for (Py_ssize_t k = 0; all_bytes && k < PyList_GET_SIZE(chunks); ++k) {
        all_bytes = PyBytes_Check(PyList_GET_ITEM(chunks, k));
    }
    if (!all_bytes) {
        PyErr_SetString(PyExc_TypeError, "chunks must be a list of bytes");
        return nullptr;
    }
    InterpreterState* state = hook_state();
    if (state == nullptr) {
        return nullptr;
    }
    arm(call);
    PyObject* raw_value = nullptr;
    StreamDecoder::Outcome outcome = StreamDecoder::Outcome::Pending;
    PyRef payload;
    const char* name = "value";
    {
        StreamDecoder decoder(call.options, *state, state->pool);
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(chunks) && outcome != StreamDecoder::Outcome::Failed; ++k) {
            PyObject* chunk = PyList_GET_ITEM(chunks, k);
            outcome = decoder.feed(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(chunk)),
                                   static_cast<uint64_t>(PyBytes_GET_SIZE(chunk)), raw_value);
            Py_CLEAR(raw_value);
        }
        if (outcome != StreamDecoder::Outcome::Failed) {
            outcome = decoder.close(raw_value);
        }
        payload = outcome == StreamDecoder::Outcome::Value
                      ? PyRef(raw_value)
                      : failure_payload(decoder.error(), decoder.error_position(), name);
    }
    return failing_result(name, payload);
}

// live_native_blocks() -> int: the blocks of native memory this module's
// copy of the core holds.
PyObject* live_native_blocks_hook(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyLong_FromLongLong(live_blocks);
}

constexpr const char* SCAN_BODY_NAMES[] = {"16", "avx2"};

// string_scan_bodies() -> list[str]: the bodies of the long-string scan that
// this processor runs; the module starts with the last.
PyObject* string_scan_bodies_hook(PyObject* /*module*/, PyObject* /*unused*/) {
    const bool avx2 = detail::best_scan_body() == detail::ScanBody::Avx2;
    return avx2 ? Py_BuildValue("[ss]", SCAN_BODY_NAMES[0], SCAN_BODY_NAMES[1])
                : Py_BuildValue("[s]", SCAN_BODY_NAMES[0]);
}

// force_string_scan(name: str) -> None: the long-string scan of this test
// module (not of taldo itself) uses that body from now on.
PyObject* force_string_scan_hook(PyObject* /*module*/, PyObject* name) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) return nullptr;
    for (int body = 0; body < 2; ++body) {
        if (std::string_view(text) == SCAN_BODY_NAMES[body]) {
            if (!detail::set_scan_body(static_cast<detail::ScanBody>(body))) {
                PyErr_SetString(PyExc_ValueError, "this processor lacks that body");
                return nullptr;
            }
            Py_RETURN_NONE;
        }
    }
    PyErr_SetString(PyExc_ValueError, "no such body");
    return nullptr;
}

PyMethodDef HOOKS[] = {
    {"decode_string", decode_string_hook, METH_VARARGS, nullptr},
    {"decode_string_to_str", decode_string_to_str_hook, METH_VARARGS, nullptr},
    {"string_scan_bodies", string_scan_bodies_hook, METH_NOARGS, nullptr},
    {"force_string_scan", force_string_scan_hook, METH_O, nullptr},
    {"decode_key", decode_key_hook, METH_O, nullptr},
    {"line_position", line_position_hook, METH_VARARGS, nullptr},
    {"debug_quote", debug_quote_hook, METH_O, nullptr},
    {"error_message", error_message_hook, METH_VARARGS, nullptr},
    {"same_short_bytes", same_short_bytes_hook, METH_VARARGS, nullptr},
    {"parse_failing", parse_failing_hook, METH_VARARGS, nullptr},
    {"stream_failing", stream_failing_hook, METH_VARARGS, nullptr},
    {"live_native_blocks", live_native_blocks_hook, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot SLOTS[] = {{0, nullptr}};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_taldo_testing", nullptr, 0, HOOKS, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace taldo

PyMODINIT_FUNC PyInit__taldo_testing() { return PyModuleDef_Init(&taldo::MODULE_DEF); }
