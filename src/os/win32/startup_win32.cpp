#include "os/startup.h"

namespace tallyweb {

void StartProcess(int, char**) {}

}  // namespace tallyweb
