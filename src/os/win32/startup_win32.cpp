#include "os/startup.h"

namespace tallyweb {

void StartProcess(int, char**, const char*) {}

}  // namespace tallyweb
