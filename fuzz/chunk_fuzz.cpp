// chunk_fuzz.cpp: a chunked body read chunk by chunk over arbitrary bytes.
// Each accepted chunk must view exactly the bytes its size line announces,
// followed by CR LF, inside the input; a refused chunk leaves the cursor
// where it was; the walk ends.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/buffers/qorstrtol.h"
#include "core/http/qorhttpparser.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "chunk_fuzz: %s\n", what);
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    std::string body(reinterpret_cast<const char*>(data), size);
    const char* end = body.data() + size;
    QORBufferCursor c(body.data(), static_cast<int>(size));
    for (;;) {
        const char* at = c.current();
        QORStringRefT<char> chunk;
        QORStatus st = QORHTTPParser::parseChunk(&c, &chunk);
        if (st != qor_s_ok) {
            check(st == qor_s_not_available, "unexpected status");
            check(c.current() == at && c.mark() == at, "refused chunk moved the cursor");
            break;
        }
        check(c.current() > at && c.current() <= end, "cursor did not advance inside the input");
        check(c.mark() == c.current(), "accepted chunk not committed");
        check(chunk.data() > at && chunk.data() + chunk.length() <= end, "chunk outside the input");
        check(chunk.data()[-2] == '\r' && chunk.data()[-1] == '\n', "size line not ended by CR LF");
        int digits = 0;
        errno = 0;
        unsigned long announced = qor_strtoul(QORStringRefT<char>(at, static_cast<int>(chunk.data() - at)), &digits, 16);
        check(digits > 0 && errno != ERANGE && announced == static_cast<unsigned long>(chunk.length()),
              "chunk length differs from its size line");
        if (chunk.length() == 0) {
            check(c.current() == chunk.data(), "last chunk consumed past its size line");
            break;
        }
        check(c.current() == chunk.data() + chunk.length() + 2 && c.current()[-2] == '\r' &&
                  c.current()[-1] == '\n',
              "chunk data not followed by CR LF");
    }
    return 0;
}
