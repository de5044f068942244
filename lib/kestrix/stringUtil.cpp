#include "kestrix/stringUtil.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <mutex>

namespace Kestrix {
namespace StringUtil {

std::string Trim(std::string_view text) {
  const char* ws = " \t\r\n\v\f";
  size_t b = text.find_first_not_of(ws);
  if (b == std::string_view::npos) return std::string();
  size_t e = text.find_last_not_of(ws);
  return std::string(text.substr(b, e - b + 1));
}

std::string GenerateUuid() {
  static std::mutex mutex;  // the generator is not thread safe
  static boost::uuids::random_generator gen;
  std::lock_guard<std::mutex> lock(mutex);
  return boost::uuids::to_string(gen());
}

}  // namespace StringUtil
}  // namespace Kestrix
