// answer_mutation_fuzz.cpp: an answer that the other process keeps changing
// while the plug-in reads it. A thread flips bytes of the result area for
// as long as the reader works, in whatever interleaving the machine gives;
// what is checked holds for every interleaving:
//   - every string decoded straight from the changing bytes stays inside
//     its element (a length measured twice would run past it);
//   - the worker buffer hands out elements of a private copy only, and the
//     copy does not change while it is read;
//   - the web answer applied from that copy gives back every byte it took
//     from the transaction's allocator and leaves a result code an answer
//     may carry.
//
// Input: byte 0 seeds the flipping thread; the rest is the result area,
// which ends exactly at the end of the worker segment's heap block, so
// that a read past it is caught by the sanitizer.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/memory/qorcountingallocator.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "msg/plugin/qorwebtransanswerunmarshaller.h"
#include "proxyif/ipc/qorclntworkerbuffer.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "qortesttransaction.h"

namespace {

const unsigned kHeader = sizeof(QORWorkerBufferHeader);

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "answer_mutation_fuzz: %s\n", what);
        abort();
    }
}

// Flips bytes of [area, area + n) until told to stop: zeroes some, sets
// others, so that terminators come and go.
void flip(unsigned char* area, size_t n, uint32_t seed, const std::atomic<bool>* stop)
{
    uint32_t x = seed * 2654435761u + 1;
    while (!stop->load(std::memory_order_relaxed)) {
        x = x * 1103515245u + 12345u;
        size_t at = (x >> 8) % n;
        unsigned char v = (x & 1) ? 0 : static_cast<unsigned char>(x >> 24 | 1);
        __atomic_store_n(area + at, v, __ATOMIC_RELAXED);
    }
}

// Decodes a string at every 4-byte offset of the changing area and reads
// each view whole.
unsigned decodeLive(const unsigned char* area, int n)
{
    unsigned sum = 0;
    for (int at = 0; at + 4 <= n; at += 4) {
        QORStringRef s;
        int used = QORProxyIFMsgString::decode(area + at, n - at, &s);
        if (used == 0)
            continue;
        check(used <= n - at, "a string item consumed more than it was given");
        const char* p = s.data();
        check(s.length() == 0 || (p >= reinterpret_cast<const char*>(area + at) &&
                                  p + s.length() <= reinterpret_cast<const char*>(area + at + used)),
              "a string view runs outside its element");
        for (int i = 0; i < s.length(); i++)
            sum += static_cast<unsigned char>(p[i]);
    }
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1u << 16))
        return 0;
    size_t n = size - 1;
    // The worker buffer: its header, then the result area to the very end.
    size_t total = kHeader + ((n + 3) & ~size_t(3));
    unsigned char* block = static_cast<unsigned char*>(malloc(total));
    memset(block, 0, total);
    memcpy(block + kHeader, data + 1, n);
    QORLocalSharedMem segment(block, static_cast<unsigned int>(total));
    worker_info record = {};
    record.memSize = static_cast<int32_t>(total);
    record.semId = -1;

    std::atomic<bool> stop{false};
    std::thread flipper;
    if (n > 0)
        flipper = std::thread(flip, block + kHeader, total - kHeader, data[0], &stop);

    volatile unsigned sink = decodeLive(block + kHeader, static_cast<int>(total - kHeader));
    (void)sink;
    {
        QORClntWorkerBuffer buffer;
        check(buffer.initialize(&record, segment) == qor_s_ok, "worker buffer refused");
        buffer.setHeaderField(offsetof(QORWorkerBufferHeader, resultType), 1);
        buffer.setHeaderField(offsetof(QORWorkerBufferHeader, resultStart),
                              static_cast<int32_t>(kHeader));
        buffer.setHeaderField(offsetof(QORWorkerBufferHeader, resultLength),
                              static_cast<int32_t>(total - kHeader));
        int type = -1;
        QORSharedMemIterator* it = nullptr;
        check(buffer.readResult(type, &it) == qor_s_ok, "result refused");

        // Walk the elements once, keeping their bytes; they must lie
        // outside the segment and stay as they were.
        std::vector<std::pair<const unsigned char*, std::vector<unsigned char>>> seen;
        while (it->hasMoreElements()) {
            unsigned len = 0;
            void* at = nullptr;
            if (it->getNextElement(&len, &at) != qor_s_ok)
                break;
            const unsigned char* p = static_cast<const unsigned char*>(at);
            check(p + len <= block || p >= block + total,
                  "an element points into the shared segment");
            seen.push_back({p, std::vector<unsigned char>(p, p + len)});
        }
        delete it;
        for (const auto& e : seen)
            check(e.second.empty() || memcmp(e.first, e.second.data(), e.second.size()) == 0,
                  "the private copy changed while it was read");

        // The web answer from another copy, as the dispatcher applies it.
        QORCountingAllocator counting;
        QORTestTransaction t(&counting);
        t.addServer("vh", "fuzz.example", 443);
        it = nullptr;
        check(buffer.readResult(type, &it) == qor_s_ok, "result refused");
        QORWebTransAnswerUnmarshaller answer;
        (void)answer.unmarshal(*it, &t);  // any status: the bytes are arbitrary
        delete it;
        check(counting.live() == 0, "memory taken from the transaction was not given back");
        check(answer.getRspCode() >= 0 && answer.getRspCode() < qor_max_proxy_rsp_code,
              "result code outside the codes an answer may carry");
    }
    stop = true;
    if (flipper.joinable())
        flipper.join();
    free(block);
    return 0;
}
