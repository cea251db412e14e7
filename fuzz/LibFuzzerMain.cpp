// libFuzzer entry of one target, chosen when the target is built (QB_FUZZ_TARGET names its function).
#include "fuzz/FuzzEnv.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qbfuzz::InitFuzzEnv();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return qbfuzz::QB_FUZZ_TARGET(data, size);
}
