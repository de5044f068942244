// String helpers.
#pragma once

#include <string>
#include <string_view>

namespace Kestrix {
namespace StringUtil {

/// Trim returns text without leading and trailing white space (space, tab,
/// CR, LF, vertical tab, form feed).
std::string Trim(std::string_view text);

/// GenerateUuid returns a new random UUID in the canonical lower-case form
/// "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".
std::string GenerateUuid();

/// Utf8SequenceLength returns the length (1 to 4) of the well-formed UTF-8
/// sequence that starts at text[at], or 0 when none does: a stray
/// continuation byte, a truncated sequence, an overlong form, a surrogate or a
/// code point past U+10FFFF.
size_t Utf8SequenceLength(std::string_view text, size_t at);

/// EscapeInvalidUtf8 returns text with every byte that is not part of a
/// well-formed UTF-8 sequence written as "%XX" (upper-case hex); valid text
/// comes back unchanged. One-to-one for texts without '%', such as network
/// interface names (the kernel refuses '%' in them).
std::string EscapeInvalidUtf8(std::string_view text);

/// ShortestDouble returns the shortest decimal text that reads back as v
/// ("5192.284", "1e-07", "inf", "nan"), unlike a fixed count of digits
/// ("5192.2839999999997" with 17).
std::string ShortestDouble(double v);

}  // namespace StringUtil
}  // namespace Kestrix
