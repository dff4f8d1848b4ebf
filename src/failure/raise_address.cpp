#include "failure/raise_address.h"

namespace tallyweb {
namespace {

// The program runs on one thread, and a failure ends the run, so one slot
// holds the raise address of the failure in flight. A plain global on
// purpose: thread_local storage may be made on first use with malloc, which
// is no help when memory has run out.
const void* g_raise_address = nullptr;

}  // namespace

const void* RaiseAddress() { return g_raise_address; }

void RecordRaiseAddress(const void* address) { g_raise_address = address; }

}  // namespace tallyweb
