// cert_fuzz.cpp: certificate decoding over arbitrary bytes, with memory
// functions that count blocks. A decode that succeeds yields three
// terminated texts; one that fails yields none; either way nothing may
// stay allocated once the texts are freed. The BER reader is also run over
// the bytes directly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/encoders/cert_decoder/qorber.h"
#include "core/encoders/cert_decoder/qorcertdecoder.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "cert_fuzz: %s\n", what);
        abort();
    }
}

struct Counter {
    int live = 0;
};

void* countedAlloc(void* ctx, size_t size)
{
    static_cast<Counter*>(ctx)->live++;
    return malloc(size);
}

void countedFree(void* ctx, void* p)
{
    static_cast<Counter*>(ctx)->live--;
    free(p);
}

void* countedRealloc(void*, void* p, size_t, size_t newSize)
{
    return realloc(p, newSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    Counter counter;
    qor_cert_memory_functions mem = {&counter, countedAlloc, countedFree, countedRealloc};
    qor_decoded_certificate out;
    int ok = qor_decode_certificate(data, static_cast<int>(size), &mem, &out);
    if (ok) {
        check(out.serialNumber && out.issuer && out.subject, "missing text");
        check(strlen(out.serialNumber) % 3 == 2, "serial text shape");
        check(counter.live == 3, "extra blocks after a decode");
        qor_free_decoded_certificate(&out, &mem);
    } else {
        check(!out.serialNumber && !out.issuer && !out.subject, "text left after a failure");
    }
    check(counter.live == 0, "blocks left allocated");

    ber_buffer in = {data, static_cast<int>(size)};
    ber_item item;
    if (ber_decode(&in, &item) == ber_ok) {
        check(ber_encoded_length(&item) <= in.length, "item longer than its input");
        ber_item parts[8];
        int count = 0;
        if (ber_unpack(&item, parts, 8, &count, 0) == ber_ok) {
            for (int i = 0; i < count; i++)
                check(parts[i].content >= item.content &&
                          parts[i].content + parts[i].length <= item.content + item.length,
                      "part outside its parent");
        }
    }
    return 0;
}
