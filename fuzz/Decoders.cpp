// The Base64 and uuencode processor: decoding any bytes stays within both
// streams and ends; encoding any bytes and decoding the result gives them back.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codec/NMUUE.h"
#include "rtl/Streams.h"

namespace {

std::string Run(UUMethods Method, const std::string& Input, bool Encode)
{
    TNMUUProcessor processor(nullptr);
    processor.Method = Method;
    TStringStream source(Input);
    TStringStream target;
    processor.SourceStream = &source;
    processor.TargetStream = &target;
    if (Encode)
        processor.Encode();
    else
        processor.Decode();
    return target.DataString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    for (UUMethods method : {uuMime, uuCode}) {
        Run(method, input, false);
        const std::string encoded = Run(method, input, true);
        if (Run(method, encoded, false) != input)
            std::abort();  // the round trip lost or changed bytes
    }
    return 0;
}
