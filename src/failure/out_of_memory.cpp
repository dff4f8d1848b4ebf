// The program's own memory requests. A request that cannot be met raises the
// one EOutOfMemory object while failure reporting is armed, with the address
// just after the call that asked, so the box names the routine that ran out.
// Before arming and after the end of the run a failed request behaves as the
// language says: the new-handler, then std::bad_alloc.
//
// Linked into the program only: the unit tests keep the library's own.
#include <cstdint>
#include <cstdlib>
#include <new>

#include "failure/failure.h"

namespace {

// Over-aligned blocks come from malloc too, with the pointer malloc gave
// kept just below the aligned block for the matching delete; so every form
// behaves alike and needs no per-platform allocator.
void* AlignedMalloc(std::size_t size, std::size_t alignment) {
  const std::size_t extra = alignment + sizeof(void*);
  if (size > SIZE_MAX - extra) return nullptr;
  void* raw = std::malloc(size + extra);
  if (raw == nullptr) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*);
  const std::uintptr_t aligned = (start + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
  reinterpret_cast<void**>(aligned)[-1] = raw;
  return reinterpret_cast<void*>(aligned);
}

void AlignedFree(void* memory) {
  if (memory != nullptr) std::free(static_cast<void**>(memory)[-1]);
}

struct Plain {
  std::size_t size;
  void* operator()() const { return std::malloc(size == 0 ? 1 : size); }
};

struct Aligned {
  std::size_t size;
  std::align_val_t alignment;
  void* operator()() const {
    return AlignedMalloc(size == 0 ? 1 : size, static_cast<std::size_t>(alignment));
  }
};

template <class Request>
void* AllocateOrRaise(const Request& request, const void* caller) {
  while (true) {
    if (void* memory = request()) return memory;
    tallyweb::RaiseOutOfMemoryIfArmed(caller);
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

// A nothrow request answers null: its caller is ready for that (and a throw
// out of it would end the program through std::terminate).
template <class Request>
void* AllocateOrNull(const Request& request) {
  while (true) {
    if (void* memory = request()) return memory;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) return nullptr;
    try {
      handler();
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
}

}  // namespace

// Each throwing form takes its own return address: the raise address is the
// one just after the program's call, never one inside this file.
TALLYWEB_NOINLINE void* operator new(std::size_t size) {
  return AllocateOrRaise(Plain{size}, TALLYWEB_RETURN_ADDRESS());
}
TALLYWEB_NOINLINE void* operator new[](std::size_t size) {
  return AllocateOrRaise(Plain{size}, TALLYWEB_RETURN_ADDRESS());
}
TALLYWEB_NOINLINE void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateOrRaise(Aligned{size, alignment}, TALLYWEB_RETURN_ADDRESS());
}
TALLYWEB_NOINLINE void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateOrRaise(Aligned{size, alignment}, TALLYWEB_RETURN_ADDRESS());
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(Plain{size});
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(Plain{size});
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateOrNull(Aligned{size, alignment});
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateOrNull(Aligned{size, alignment});
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

void operator delete(void* memory, std::align_val_t) noexcept { AlignedFree(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { AlignedFree(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { AlignedFree(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
  AlignedFree(memory);
}
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
  AlignedFree(memory);
}
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
  AlignedFree(memory);
}
