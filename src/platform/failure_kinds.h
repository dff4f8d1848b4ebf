// The failure kinds of the program and the one way to raise them.
//
// A failure is raised where it is found and never caught below the top-level
// handler in main. The class name is part of what the user sees in the
// failure box, so every kind reports its own exact spelling.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

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

class EStreamError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EStreamError"; }
};

class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
  const char* ClassName() const override { return "EFOpenError"; }
};

class EInOutError : public Exception {
 public:
  EInOutError(std::string message, std::int32_t io_code)
      : Exception(std::move(message)), IoCode(io_code) {}
  const char* ClassName() const override { return "EInOutError"; }

  std::int32_t IoCode;
};

class ERegistryException : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "ERegistryException"; }
};

class EHeapException : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EHeapException"; }
};

class EOutOfMemory : public EHeapException {
 public:
  using EHeapException::EHeapException;
  const char* ClassName() const override { return "EOutOfMemory"; }
};

/// Where the failure now in flight was raised: the code address just after
/// the call that raised it. The top-level handler shows it as an offset into
/// the program's image.
const void* RaiseAddress();
void RecordRaiseAddress(const void* address);

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
