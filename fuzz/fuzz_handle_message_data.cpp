// handle_message_data re-entered from the read hook with arbitrary data and
// lengths, while the listener runs over an arbitrary stream.
#include "fuzz_link.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    run_listener(data, size, true);
    return 0;
}
