// The listener over an arbitrary byte stream with arbitrary read statuses
// and available counts.
#include "fuzz_link.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    run_listener(data, size, false);
    return 0;
}
