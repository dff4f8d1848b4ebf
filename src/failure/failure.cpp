#include "failure/failure.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "os/failure_os.h"
#include "text/paths.h"
#include "text/utf.h"

namespace tallyweb {
namespace {

// The one EOutOfMemory object, made while memory is still there so that
// raising it later needs none.
std::exception_ptr g_out_of_memory;
bool g_armed = false;

// The handler's own storage: it is used after the failure, when memory may
// have run out. Static rather than on the stack, whose room is not ours to
// count on (the module path alone takes up to 96 KB in UTF-8).
ModuleLookup g_module;
char g_failure_text[kFailureTextBytes];

// Appends UTF-8 to a caller's buffer of at least one byte, dropping whatever
// goes past the last byte kept for the NUL or past the most characters a
// failure text shows. The text ends between two characters, never inside one.
class TextWriter {
 public:
  TextWriter(char* buffer, std::size_t capacity) : buffer_(buffer), room_(capacity - 1) {}

  void Put(std::string_view text) {
    if (cut_) return;
    const std::string_view kept = Utf8Prefix(text, kMaxFailureTextUnits - units_, room_ - length_);
    std::memcpy(buffer_ + length_, kept.data(), kept.size());
    length_ += kept.size();
    units_ += WideLength(kept);
    cut_ = kept.size() < text.size();
  }

  // Uppercase, zero-filled to `min_digits`; more digits when the value
  // needs them, so that no part of it is lost.
  void PutHex(std::uintptr_t value, int min_digits) {
    char digits[2 * sizeof value];
    int count = 0;
    do {
      digits[count++] = "0123456789ABCDEF"[value & 0xF];
      value >>= 4;
    } while (value != 0);
    char text[2 * sizeof value];
    int length = 0;
    for (int pad = count; pad < min_digits; ++pad) text[length++] = '0';
    while (count > 0) text[length++] = digits[--count];
    Put(std::string_view(text, static_cast<std::size_t>(length)));
  }

  std::size_t Finish() {
    buffer_[length_] = '\0';
    return length_;
  }

 private:
  char* buffer_;
  std::size_t room_;
  std::size_t length_ = 0;
  std::size_t units_ = 0;
  bool cut_ = false;
};

std::string_view ModuleFileName(std::string_view path, std::string_view delimiters) {
  return Utf8Prefix(path.substr(LastDelimiter(path, delimiters)), kMaxModuleNameLength,
                    path.size());
}

bool NeedsFullStop(std::string_view message) { return !message.empty() && message.back() != '.'; }

}  // namespace

std::size_t BuildFailureText(const FailureTextParts& parts, char* buffer, std::size_t capacity) {
  if (capacity == 0) return 0;
  TextWriter out(buffer, capacity);
  out.Put("Exception ");
  out.Put(parts.class_name);
  out.Put(" in module ");
  out.Put(ModuleFileName(parts.module_path, parts.path_delimiters));
  out.Put(" at ");
  out.PutHex(parts.offset, 8);
  out.Put(".\n");
  out.Put(parts.message);
  if (NeedsFullStop(parts.message)) out.Put(".");
  return out.Finish();
}

void ArmFailureReporting() {
  if (!g_out_of_memory) {
    g_out_of_memory = std::make_exception_ptr(EOutOfMemory("Out of memory"));
  }
  g_armed = true;
}

void RaiseOutOfMemoryIfArmed(const void* raise_address) {
  if (!g_armed) return;
  RecordRaiseAddress(raise_address);
  // Throws the object itself, not a copy: the runtime needs only a small
  // record for it, which it takes from its emergency pool when the heap
  // is exhausted.
  std::rethrow_exception(g_out_of_memory);
}

void HandleFailure(const Exception& failure, const void* raise_address) {
  FailureTextParts parts;
  parts.class_name = failure.ClassName();
  parts.message = failure.Message();
  parts.path_delimiters = ModulePathDelimiters();
  const auto address = reinterpret_cast<std::uintptr_t>(raise_address);
  if (LookUpModule(raise_address, &g_module)) {
    parts.module_path = std::string_view(g_module.path, g_module.path_length);
    parts.offset = address - reinterpret_cast<std::uintptr_t>(g_module.allocation_base);
  } else {
    // Every raise lies in the program's own image, so this does not happen;
    // were it to, the box shows no module and the whole address.
    parts.offset = address;
  }
  BuildFailureText(parts, g_failure_text, sizeof g_failure_text);
  ShowFailureBox(g_failure_text);
  EndProcess(1);
}

void EndProcess(int exit_code) {
  g_armed = false;
  g_out_of_memory = nullptr;
  std::fflush(nullptr);
  ExitWithCode(exit_code);
}

}  // namespace tallyweb
