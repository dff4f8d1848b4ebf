// The failure text from arbitrary class names, module paths, offsets,
// messages and buffer sizes. The builder writes into a heap block of exactly
// the capacity it is given, so the address sanitizer sees any byte written
// past it, and the text must equal the format's expansion cut to fit.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "failure/failure.h"
#include "text/paths.h"
#include "text/utf.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// The whole text; the builder keeps the longest start of it that ends
// between two characters and fits both the bytes and the characters.
std::string ExpectedText(const tallyweb::FailureTextParts& parts) {
  const std::size_t name_at = tallyweb::LastDelimiter(parts.module_path, parts.path_delimiters);
  const std::string name(tallyweb::Utf8Prefix(parts.module_path.substr(name_at),
                                              tallyweb::kMaxModuleNameLength, std::string::npos));
  char offset[32];
  std::snprintf(offset, sizeof offset, "%08" PRIXPTR, parts.offset);
  std::string text = "Exception " + std::string(parts.class_name) + " in module " + name + " at " +
                     offset + ".\n" + std::string(parts.message);
  if (!parts.message.empty() && parts.message.back() != '.') text += '.';
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // The real handler's buffer most of the time, any size now and then.
  const std::size_t capacity = in.ConsumeBool() ? tallyweb::kFailureTextBytes
                                                : in.ConsumeIntegralInRange<std::size_t>(1, 4096);
  const std::string class_name = in.ConsumeRandomLengthString(64);
  const std::string module_path = in.ConsumeRandomLengthString(1200);
  const std::string delimiters = in.ConsumeBool() ? "\\" : in.ConsumeRandomLengthString(4);
  tallyweb::FailureTextParts parts;
  parts.class_name = class_name;
  parts.module_path = module_path;
  parts.path_delimiters = delimiters;
  parts.offset = in.ConsumeIntegral<std::uintptr_t>();
  const std::string message = in.ConsumeRemainingBytesAsString();
  parts.message = message;

  std::unique_ptr<char[]> buffer(new char[capacity]);
  const std::size_t length = tallyweb::BuildFailureText(parts, buffer.get(), capacity);
  const std::string expected(
      tallyweb::Utf8Prefix(ExpectedText(parts), tallyweb::kMaxFailureTextUnits, capacity - 1));
  Require(length == expected.size());
  Require(buffer[length] == '\0');
  Require(std::memcmp(buffer.get(), expected.data(), length) == 0);
  return 0;
}
