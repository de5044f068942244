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

}  // namespace StringUtil
}  // namespace Kestrix
