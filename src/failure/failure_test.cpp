#include "failure/failure.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "os/failure_os.h"

namespace tallyweb {
namespace {

std::string Build(const FailureTextParts& parts, std::size_t capacity = kFailureTextBytes) {
  std::string buffer(capacity + 8, '#');  // room past `capacity` shows overruns
  const std::size_t length = BuildFailureText(parts, buffer.data(), capacity);
  EXPECT_EQ('\0', buffer[length]) << "the text must be NUL-ended";
  EXPECT_EQ('#', buffer[capacity]) << "nothing may be written past the capacity";
  return buffer.substr(0, length);
}

std::string Repeated(const char* text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) repeated += text;
  return repeated;
}

// Messages past the text's 1023 characters, and what is left of them.
const std::string kLongMessage(1100, 'm');
const std::string kLongCjk = Repeated("\xE4\xB8\x8B", 1100);             // U+4E0B
const std::string kLongEmoji = "x" + Repeated("\xF0\x9F\x93\xA6", 600);  // U+1F4E6
const std::string kCutCjk = Repeated("\xE4\xB8\x8B", 1023 - 49);
const std::string kCutEmoji = "x" + Repeated("\xF0\x9F\x93\xA6", (1023 - 49 - 1) / 2);

const struct {
  const char* name;
  FailureTextParts parts;
  std::string want;
} kFormatCases[] = {
    {"a full stop is added",
     {"EFOpenError", "C:\\Tools\\Tallyweb.exe", "\\", 0x2B0,
      "Cannot open file C:\\Tools\\template.txt"},
     "Exception EFOpenError in module Tallyweb.exe at 000002B0.\n"
     "Cannot open file C:\\Tools\\template.txt."},
    {"a message ending in a full stop gets no second one",
     {"EInOutError", "C:\\X.exe", "\\", 0x1000, "Done."},
     "Exception EInOutError in module X.exe at 00001000.\nDone."},
    {"an empty message leaves the line feed last",
     {"Exception", "C:\\X.exe", "\\", 0, ""},
     "Exception Exception in module X.exe at 00000000.\n"},
    {"the full stop follows a closing apostrophe",
     {"ERegistryException", "C:\\X.exe", "\\", 0xABCDEF, "Failed to get data for 'Item_Size'"},
     "Exception ERegistryException in module X.exe at 00ABCDEF.\n"
     "Failed to get data for 'Item_Size'."},
    {"and a trailing blank",
     {"EOutOfMemory", "C:\\X.exe", "\\", 0xFFFFFFFF, "Out of memory "},
     "Exception EOutOfMemory in module X.exe at FFFFFFFF.\nOut of memory ."},
    {"a line feed in the message stays",
     {"Exception", "C:\\X.exe", "\\", 1, "a\nb"},
     "Exception Exception in module X.exe at 00000001.\na\nb."},
    {"a path without a backslash is the name",
     {"Exception", "X.exe", "\\", 1, "m"},
     "Exception Exception in module X.exe at 00000001.\nm."},
    {"a colon does not end the directory",
     {"Exception", "C:X.exe", "\\", 1, "m"},
     "Exception Exception in module C:X.exe at 00000001.\nm."},
    {"a UTF-8 folder: every backslash is one",
     {"Exception", "C:\\\xD0\x9E\xE4\xB8\x8B\\\xE2\x9C\x93.exe", "\\", 1,
      "C:\\\xD0\x9E\xE4\xB8\x8B\\\xE2\x9C\x93.exe"},
     "Exception Exception in module \xE2\x9C\x93.exe at 00000001.\n"
     "C:\\\xD0\x9E\xE4\xB8\x8B\\\xE2\x9C\x93.exe."},
    {"a byte that is no character's",
     {"Exception", "C:\\Dir\\\x95\\X.exe", "\\", 1, "m"},
     "Exception Exception in module X.exe at 00000001.\nm."},
    {"POSIX paths end their directories in a slash",
     {"EOutOfMemory", "/opt/tallyweb/Tallyweb", "/", 0x2B0, "Out of memory"},
     "Exception EOutOfMemory in module Tallyweb at 000002B0.\nOut of memory."},
    {"no module: no name",
     {"Exception", "", "\\", 0x2B0, "m"},
     "Exception Exception in module  at 000002B0.\nm."},
    {"an offset past 32 bits keeps every digit",
     {"Exception", "X.exe", "\\", std::uintptr_t{0xFFFFFFFF} + 0x11, "m"},
     sizeof(std::uintptr_t) > 4 ? "Exception Exception in module X.exe at 100000010.\nm."
                                : "Exception Exception in module X.exe at 00000010.\nm."},
    {"the text is cut at 1023 bytes",
     {"Exception", "X.exe", "\\", 0, kLongMessage},
     "Exception Exception in module X.exe at 00000000.\n" + std::string(1023 - 49, 'm')},
    {"1023 characters, not bytes",
     {"Exception", "X.exe", "\\", 0, kLongCjk},
     "Exception Exception in module X.exe at 00000000.\n" + kCutCjk},
    {"a character of two UTF-16 units is never cut in half",
     {"Exception", "X.exe", "\\", 0, kLongEmoji},
     "Exception Exception in module X.exe at 00000000.\n" + kCutEmoji},
};

TEST(BuildFailureText, FormatsTheTwoLines) {
  for (const auto& c : kFormatCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, Build(c.parts));
  }
}

TEST(BuildFailureText, ModuleNameShowsAtMost260Bytes) {
  const std::string path = "C:\\" + std::string(300, 'n');
  const std::string text = Build({"E", path, "\\", 0, ""});
  EXPECT_EQ("Exception E in module " + std::string(260, 'n') + " at 00000000.\n", text);
}

TEST(BuildFailureText, CutsAtAnyCapacity) {
  const FailureTextParts parts{"E", "X", "\\", 0x2B0, "msg"};
  struct {
    std::size_t capacity;
    const char* want;
  } cases[] = {
      {1, ""},
      {2, "E"},
      {30, "Exception E in module X at 00"},
      {41, "Exception E in module X at 000002B0.\nmsg"},
      {42, "Exception E in module X at 000002B0.\nmsg."},
      {100, "Exception E in module X at 000002B0.\nmsg."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capacity);
    EXPECT_EQ(c.want, Build(parts, c.capacity));
  }
  char untouched = '#';
  EXPECT_EQ(0u, BuildFailureText(parts, &untouched, 0));
  EXPECT_EQ('#', untouched);
}

TEST(FailureKinds, ClassNamesAndBases) {
  const std::unique_ptr<Exception> kinds[] = {
      std::make_unique<Exception>("m"),          std::make_unique<EStreamError>("m"),
      std::make_unique<EFOpenError>("m"),        std::make_unique<EInOutError>("m", 32),
      std::make_unique<ERegistryException>("m"), std::make_unique<EHeapException>("m"),
      std::make_unique<EOutOfMemory>("m"),
  };
  const char* const want[] = {"Exception",          "EStreamError",   "EFOpenError", "EInOutError",
                              "ERegistryException", "EHeapException", "EOutOfMemory"};
  for (std::size_t i = 0; i < std::size(kinds); ++i) {
    EXPECT_STREQ(want[i], kinds[i]->ClassName());
  }
  EXPECT_NE(nullptr, dynamic_cast<EStreamError*>(kinds[2].get()));
  EXPECT_NE(nullptr, dynamic_cast<EHeapException*>(kinds[6].get()));
  EXPECT_EQ(32, static_cast<EInOutError&>(*kinds[3]).IoCode);
}

// Raises and nothing else: a function with no path but the raise is kept
// whole (never split into a hot and a cold part), so its raise lies within
// its own first bytes.
TALLYWEB_NOINLINE void RaiseOpenError() { Raise<EFOpenError>("Cannot open file x"); }

TEST(RaiseAddress, LiesJustAfterTheCallInTheRaisingFunction) {
  RecordRaiseAddress(nullptr);
  try {
    RaiseOpenError();
    FAIL() << "Raise returned";
  } catch (const EFOpenError& failure) {
    EXPECT_EQ("Cannot open file x", failure.Message());
  }
  const auto start = reinterpret_cast<std::uintptr_t>(&RaiseOpenError);
  const auto raised = reinterpret_cast<std::uintptr_t>(RaiseAddress());
  EXPECT_GT(raised, start);
  EXPECT_LE(raised, start + 256);
}

TEST(RaiseOutOfMemoryIfArmed, RaisesTheOneObjectOnlyWhileArmed) {
  const void* const request = reinterpret_cast<const void*>(std::uintptr_t{0x12345});
  RecordRaiseAddress(nullptr);
  RaiseOutOfMemoryIfArmed(request);  // not armed yet: returns
  EXPECT_EQ(nullptr, RaiseAddress());

  ArmFailureReporting();
  const Exception* first = nullptr;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    try {
      RaiseOutOfMemoryIfArmed(request);
      FAIL() << "an armed request must raise";
    } catch (const Exception& failure) {
      EXPECT_STREQ("EOutOfMemory", failure.ClassName());
      EXPECT_EQ("Out of memory", failure.Message());
      if (first == nullptr) first = &failure;
      EXPECT_EQ(first, &failure) << "every raise throws the same object";
    }
    EXPECT_EQ(request, RaiseAddress());
  }
}

TEST(LookUpModule, FindsTheProgramsOwnImage) {
  auto module = std::make_unique<ModuleLookup>();
  const void* code = reinterpret_cast<const void*>(&RaiseOpenError);
  ASSERT_TRUE(LookUpModule(code, module.get()));
  EXPECT_LE(reinterpret_cast<std::uintptr_t>(module->allocation_base),
            reinterpret_cast<std::uintptr_t>(code));
  EXPECT_EQ(std::strlen(module->path), module->path_length);
  const std::string path(module->path, module->path_length);
  const std::string name = path.substr(path.find_last_of(ModulePathDelimiters()) + 1);
  EXPECT_TRUE(name == "tallyweb_tests" || name == "tallyweb_tests.exe") << path;

  auto other = std::make_unique<ModuleLookup>();
  ASSERT_TRUE(LookUpModule(reinterpret_cast<const void*>(&BuildFailureText), other.get()));
  EXPECT_EQ(module->allocation_base, other->allocation_base)
      << "one image, one base, whatever the function";
}

TEST(LookUpModule, FindsNoModuleForData) {
  int on_stack = 0;
  const auto on_heap = std::make_unique<int>(0);
  auto module = std::make_unique<ModuleLookup>();
  EXPECT_FALSE(LookUpModule(&on_stack, module.get()));
  EXPECT_FALSE(LookUpModule(on_heap.get(), module.get()));
  EXPECT_FALSE(LookUpModule(nullptr, module.get()));
}

}  // namespace
}  // namespace tallyweb
