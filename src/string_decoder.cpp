#include "string_decoder.hpp"
namespace taldo {
Result<DecodedString> decode_string(Scanner& scanner, ScratchBuffer&, bool) { return ParseError(ErrorKind::ExpectedValue, scanner.index); }
Result<DecodedString> decode_key(Scanner& scanner, ScratchBuffer&) { return ParseError(ErrorKind::ExpectedValue, scanner.index); }
}
