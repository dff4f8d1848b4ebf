// Tallyweb: writes Tallyweb.htm beside itself from template.txt and the
// download list, asks the shell to open it, and exits. The first failure is
// shown in one box and ends the program with exit code 1.
#include "app/tallyweb_version.h"
#include "failure/failure.h"
#include "os/folder_links.h"
#include "os/os_calls.h"
#include "os/startup.h"
#include "registry/registry_store.h"
#include "report/report_run.h"

int main(int argc, char** argv) {
  using namespace tallyweb;
  StartProcess(argc, argv, TALLYWEB_VERSION_STRING);
  auto os = MakeSystemOsCalls();
  const SystemFacts facts = os->TakeSystemFacts();
  ArmFailureReporting();
  // The program's only catch: every failure below ends the run here.
  try {
    auto registry = MakeSystemRegistryStore();
    auto folder_links = MakeSystemFolderLinks();
    RunReport(*os, *registry, *folder_links, facts);
  } catch (const Exception& failure) {
    HandleFailure(failure, RaiseAddress());
  }
  EndProcess(0);
}
