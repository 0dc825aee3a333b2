// COM start-up bookkeeping of the calling thread, for tests that must see
// whether code initialised COM at all. Platform-internal.
#pragma once

namespace win32 {

// Number of CoInitialize/CoInitializeEx calls made on this thread so far.
unsigned long ComInitializeCallsOnThread();

}  // namespace win32
