// Where the failure now in flight was raised: the code address just after
// the call that raised it. The top-level handler shows it as an offset into
// the program's image.
#pragma once

namespace tallyweb {

const void* RaiseAddress();
void RecordRaiseAddress(const void* address);

}  // namespace tallyweb
