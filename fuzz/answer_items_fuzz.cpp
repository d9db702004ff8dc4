// answer_items_fuzz.cpp: arbitrary bytes as the result region of a worker
// buffer, as the authorization server would have written it. The element
// reader must yield only elements that lie inside the region and end the
// walk; every data item read from an element (on its own, and as a sequence
// of items the way messages read them) must consume a multiple of 4 bytes
// within what it was given, view only those bytes, render, and read back the
// same from its own encoding.
//
// Input: byte 0 chooses the region: even, the whole segment; odd, the start
// and size in bytes 1 to 8 (native u32 each), however wrong. The segment is
// the bytes after that header, at least one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "msg/core/qorproxyifmsgdata.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemiterator.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "answer_items_fuzz: %s\n", what);
        abort();
    }
}

// Bytes in a heap block of exactly their size, so that ASan sees any read
// past them.
struct ExactBytes {
    ExactBytes(const void* from, size_t n)
        : size(n)
        , data(static_cast<unsigned char*>(malloc(n ? n : 1)))
    {
        if (from != nullptr && n != 0)
            memcpy(data, from, n);
    }
    ~ExactBytes() { free(data); }
    ExactBytes(const ExactBytes&) = delete;
    ExactBytes& operator=(const ExactBytes&) = delete;

    size_t size;
    unsigned char* data;
};

bool inside(const void* p, size_t n, const unsigned char* base, size_t size)
{
    const unsigned char* q = static_cast<const unsigned char*>(p);
    return q >= base && n <= size && q - base <= static_cast<ptrdiff_t>(size - n);
}

void checkView(const QORStringRef& s, const unsigned char* base, size_t size)
{
    check(s.length() >= 0, "negative string length");
    // The empty view may point at the library's own empty string.
    if (s.length() > 0)
        check(inside(s.data(), static_cast<size_t>(s.length()), base, size),
              "string view outside its bytes");
}

std::string textOf(const QORStringRef& s)
{
    return std::string(s.data(), static_cast<size_t>(s.length()));
}

void checkConsumed(int n, int size)
{
    check(n >= 0 && n <= size, "consumed more than given");
    check(n % 4 == 0, "consumed not a multiple of 4");
}

void render(QORProxyIFMsgData& item)
{
    QORString out;
    check(item.createString(&out) == qor_s_ok, "rendering failed");
    check(out.length() >= 0, "rendering length");
}

// The item's own encoding, read back by a fresh item of the same kind, must
// give what same() accepts (while the encoding still exists).
template <class Item, class Same>
void reencode(const Item& item, Same same)
{
    int size = item.marshal(nullptr, 0);
    check(size >= 4 && size % 4 == 0, "encoded size");
    ExactBytes wire(nullptr, static_cast<size_t>(size));
    check(item.marshal(wire.data, size) == size, "marshal size");
    Item back;
    check(back.unmarshal(wire.data, size) == size, "own encoding not read back");
    same(back);
}

// One item of kind k at the start of the bytes; returns what it consumed.
int readItem(int kind, const unsigned char* bytes, int size)
{
    const unsigned char* base = bytes;
    size_t n = static_cast<size_t>(size);
    switch (kind) {
    case 0: {
        QORProxyIFMsgInt i;
        int used = i.unmarshal(bytes, size);
        checkConsumed(used, size);
        check(used == 0 || used == 4, "int size");
        render(i);
        return used;
    }
    case 1: {
        QORProxyIFMsgBuffer b;
        int used = b.unmarshal(bytes, size);
        checkConsumed(used, size);
        if (used == 0)
            return 0;
        int len = b.get().getLen();
        check(len >= 0 && len <= used - 4, "buffer length");
        if (len > 0)
            check(inside(b.get().getData(), static_cast<size_t>(len), base, n),
                  "buffer view outside its bytes");
        render(b);
        reencode(b, [&](const QORProxyIFMsgBuffer& back) {
            check(back.get().getLen() == len &&
                      (len == 0 || memcmp(back.get().getData(), b.get().getData(),
                                          static_cast<size_t>(len)) == 0),
                  "buffer round trip");
        });
        return used;
    }
    case 2: {
        QORProxyIFMsgString s;
        int used = s.unmarshal(bytes, size);
        checkConsumed(used, size);
        if (used == 0)
            return 0;
        checkView(s.get(), base, n);
        check(s.get().length() <= used - 4, "string length");
        render(s);
        reencode(s, [&](const QORProxyIFMsgString& back) {
            check(textOf(back.get()) == textOf(s.get()), "string round trip");
        });
        return used;
    }
    case 3: {
        QORProxyIFMsgStringList list;
        int used = list.unmarshal(bytes, size);
        checkConsumed(used, size);
        if (used == 0)
            return 0;
        for (int i = 0; i < list.entries(); i++)
            checkView(list.at(i), base, n);
        render(list);
        reencode(list, [&](const QORProxyIFMsgStringList& back) {
            check(back.entries() == list.entries(), "list round trip count");
            for (int i = 0; i < list.entries(); i++)
                check(textOf(back.at(i)) == textOf(list.at(i)), "list round trip");
        });
        int seen = 0;
        while (list.get() != nullptr)
            seen++;
        check(seen == list.entries(), "list cursor");
        return used;
    }
    case 4: {
        QORProxyIFMsgNameValue nv;
        int used = nv.unmarshal(bytes, size);
        checkConsumed(used, size);
        if (used == 0)
            return 0;
        checkView(nv.getName(), base, n);
        checkView(nv.getValue(), base, n);
        render(nv);
        reencode(nv, [&](const QORProxyIFMsgNameValue& back) {
            check(textOf(back.getName()) == textOf(nv.getName()) &&
                      textOf(back.getValue()) == textOf(nv.getValue()),
                  "name/value round trip");
        });
        return used;
    }
    default: {
        QORProxyIFMsgNameInt ni;
        int used = ni.unmarshal(bytes, size);
        checkConsumed(used, size);
        if (used == 0)
            return 0;
        checkView(ni.getName(), base, n);
        render(ni);
        reencode(ni, [&](const QORProxyIFMsgNameInt& back) {
            check(textOf(back.getName()) == textOf(ni.getName()) &&
                      back.getValue() == ni.getValue(),
                  "name/int round trip");
        });
        return used;
    }
    }
}

const int kItemKinds = 6;

void readElement(const void* data, unsigned int length, unsigned int index)
{
    // The items read a copy of exactly the element's bytes.
    ExactBytes element(data, length);
    int size = static_cast<int>(length);
    for (int kind = 0; kind < kItemKinds; kind++)
        readItem(kind, element.data, size);
    // A sequence of items, the kinds chosen by the element's place and the
    // bytes, consumed as a message would until one does not fit.
    int at = 0;
    for (unsigned int step = index; at < size; step++) {
        int kind = static_cast<int>((step + element.data[at]) % kItemKinds);
        int used = readItem(kind, element.data + at, size - at);
        if (used == 0)
            break;
        at += used;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9 || size > (1u << 20))
        return 0;
    bool explicitRegion = (data[0] & 1) != 0;
    uint32_t start = 0;
    uint32_t length = static_cast<uint32_t>(size - 9);
    if (explicitRegion) {
        memcpy(&start, data + 1, 4);
        memcpy(&length, data + 5, 4);
    }
    // A segment of size 0 stands for one that was attached rather than
    // created, whose size the reader cannot know: its caller bounds the
    // region (the client worker buffer does). Nothing to check here then.
    if (size == 9)
        return 0;
    ExactBytes segment(data + 9, size - 9);
    QORLocalSharedMem shm(segment.data, static_cast<unsigned int>(segment.size));

    QORSharedMemIterator it;
    QORStatus st = it.initialize(shm, start, length);
    if (st != qor_s_ok) {
        check(!it.hasMoreElements(), "refused region has elements");
        return 0;
    }
    const unsigned char* region = segment.data + start;
    unsigned int index = 0;
    while (it.hasMoreElements()) {
        unsigned int len = 0;
        void* at = nullptr;
        if (it.getNextElement(&len, &at) != qor_s_ok)
            break;
        check(inside(at, len, region, length), "element outside the region");
        // Elements move strictly forward: no more elements than headers fit.
        check(++index <= length / 8, "more elements than the region holds");
        readElement(at, len, index);
    }
    int end = 0;
    int regionStart = 0;
    check(it.copyRaw(nullptr, &end, &regionStart) == qor_s_ok, "copyRaw");
    check(regionStart == static_cast<int>(start) &&
              end == static_cast<int>(start + length),
          "copyRaw bounds");
    return 0;
}
