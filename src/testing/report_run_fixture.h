// A whole report run against the in-memory file system and registry: the
// program stands in C:\Tools\, and a test plants the template and the
// download list, runs, and reads back the report, the failure and the calls.
// Test-only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "failure/failure_kinds.h"
#include "report/report_file.h"
#include "report/report_run.h"
#include "testing/fake_folder_links.h"
#include "testing/fake_os_calls.h"
#include "testing/fake_registry_store.h"

namespace tallyweb {

class ReportRunTest : public ::testing::Test {
 protected:
  static constexpr char kTemplate[] = "C:\\Tools\\template.txt";
  static constexpr char kReport[] = "C:\\Tools\\Tallyweb.htm";
  static constexpr char kListKey[] = "Software\\Tesmora\\Orvalink\\FileList";

  void SetUp() override { PendingIoCode = 0; }

  // A fresh file system and registry, for one row of a table.
  void Reset() {
    os_ = FakeOsCalls();
    store_ = FakeRegistryStore();
    folder_links_ = FakeFolderLinks();
    PendingIoCode = 0;
  }

  void PlantTemplate(const std::string& bytes) { os_.files[kTemplate] = bytes; }

  void AddListKey() { store_.AddKey(kHkeyLocalMachine, kListKey); }

  static std::string ItemKey(const std::string& name) {
    return std::string(kListKey) + "\\" + name;
  }

  // A download with all four values.
  void AddItem(const std::string& name, const std::string& url, const std::string& output,
               std::uint32_t size, const std::string& description) {
    store_.SetText(kHkeyLocalMachine, ItemKey(name), "Item_MainURL", url);
    store_.SetText(kHkeyLocalMachine, ItemKey(name), "Item_OutputFilename", output);
    store_.SetDword(kHkeyLocalMachine, ItemKey(name), "Item_Size", size);
    store_.SetText(kHkeyLocalMachine, ItemKey(name), "Item_Description", description);
  }

  // Runs the report; the failure it ended with, as "<kind>: <message>", or
  // the empty text when it completed.
  std::string Run() {
    try {
      RunReport(os_, store_, folder_links_, facts_);
    } catch (const Exception& failure) {
      return std::string(failure.ClassName()) + ": " + failure.Message();
    }
    return {};
  }

  std::string Report() const {
    auto it = os_.files.find(kReport);
    return it == os_.files.end() ? std::string("<no report>") : it->second;
  }

  FakeOsCalls os_;
  FakeRegistryStore store_;
  FakeFolderLinks folder_links_;
  SystemFacts facts_;
};

}  // namespace tallyweb
