// The failure kinds of the program and the one way to raise them.
//
// A failure is raised where it is found and never caught below the top-level
// handler in main. The class name is part of what the user sees in the
// failure box, so every kind reports its own exact spelling.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "failure/raise_address.h"

#if defined(_MSC_VER)
#include <intrin.h>
#define TALLYWEB_NOINLINE __declspec(noinline)
#define TALLYWEB_RETURN_ADDRESS() _ReturnAddress()
#else
#define TALLYWEB_NOINLINE __attribute__((noinline))
#define TALLYWEB_RETURN_ADDRESS() __builtin_return_address(0)
#endif

namespace tallyweb {

class Exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  virtual ~Exception() = default;

  virtual const char* ClassName() const { return "Exception"; }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// A failure kind that adds only its name to `base`; the name is spelled
// once, so what the box shows cannot drift from the class.
#define TALLYWEB_FAILURE_KIND(kind, base)                    \
  class kind : public base {                                 \
   public:                                                   \
    using base::base;                                        \
    const char* ClassName() const override { return #kind; } \
  }

TALLYWEB_FAILURE_KIND(EStreamError, Exception);
TALLYWEB_FAILURE_KIND(EFOpenError, EStreamError);

class EInOutError : public Exception {
 public:
  EInOutError(std::string message, std::int32_t io_code)
      : Exception(std::move(message)), IoCode(io_code) {}
  const char* ClassName() const override { return "EInOutError"; }

  std::int32_t IoCode;
};

TALLYWEB_FAILURE_KIND(ERegistryException, Exception);
TALLYWEB_FAILURE_KIND(EHeapException, Exception);
TALLYWEB_FAILURE_KIND(EOutOfMemory, EHeapException);

#undef TALLYWEB_FAILURE_KIND

/// Raises failure E with `address` as its raise address.
template <class E, class... Args>
[[noreturn]] void RaiseAt(const void* address, Args&&... args) {
  RecordRaiseAddress(address);
  throw E(std::forward<Args>(args)...);
}

/// Raises failure E from the caller: the raise address is the one just after
/// the caller's call of Raise, hence noinline.
template <class E, class... Args>
[[noreturn]] TALLYWEB_NOINLINE void Raise(Args&&... args) {
  RaiseAt<E>(TALLYWEB_RETURN_ADDRESS(), std::forward<Args>(args)...);
}

}  // namespace tallyweb
