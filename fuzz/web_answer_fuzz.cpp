// web_answer_fuzz.cpp: arbitrary bytes as a web transaction answer, applied
// to a recording test transaction through the unmarshaller, as the
// dispatcher does. Whatever the bytes, the unmarshaller must read only
// inside the region, give back every byte it took from the transaction's
// allocator, leave a result code an answer may carry, and never set a body
// or finalize anything when it fails for a reason of the answer's own (a
// damaged answer or a command it does not carry out).
//
// Input: bytes 0 to 3 set up the transaction (below); the rest is the
// result region, in a heap block of exactly its size.
//   byte 0  bit 0: an SSL session; bit 1: a server; bit 2: the adapter
//           uses the library's defaults for optional operations
//   byte 1  the status of retrieveBody (low nibble) and of requestWSA
//           (high nibble), each an index into kStatuses
//   byte 2  the status of requestClientCert (low nibble); an operation
//           to fail (high nibble, index into kFailOps, 0 for none)
//   byte 3  how many calls of that operation succeed before it fails
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/memory/qorcountingallocator.h"
#include "msg/plugin/qorwebtransanswerunmarshaller.h"
#include "proxyif/ipc/qorsharedmem.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "qortesttransaction.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "web_answer_fuzz: %s\n", what);
        abort();
    }
}

// 0 means the test object does its work.
const QORStatus kStatuses[] = {
    qor_s_ok, qor_s_not_available, qor_s_transitional_rsp, qor_s_requires_continue,
    qor_s_not_supported, QOR_MSG_ID(0x35),
};
const int kNumStatuses = sizeof kStatuses / sizeof kStatuses[0];

const char* const kFailOps[] = {
    nullptr,            "req.addHeader",      "req.setHeader",     "req.setURI",
    "rsp.setHeader",    "rsp.setCode",        "rsp.appendBody",    "req.setBody",
    "rsp.setBodyFromFile", "req.getURI",      "rsp.setCaptureRsp", "trans.logText",
    "req.setWebLogUser", "rsp.setContentType", "req.finalizeHeader", "rsp.beginNew",
};
// The statuses of failures that come from the answer itself (as opposed to
// the adapter's operations, which may also fail in the finishing steps).
bool isAnswerFault(QORStatus st)
{
    return st == qor_s_msg_unmarshal_failed || st == qor_s_ipc_no_more_segments ||
           st == qor_s_invalid_command || st == qor_s_unsupported_command;
}

QORStatus pick(uint8_t index)
{
    return kStatuses[index % kNumStatuses];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t setup[4] = {0, 0, 0, 0};
    size_t head = size < 4 ? size : 4;
    memcpy(setup, data, head);
    size_t n = size - head;
    if (n > 1u << 20)
        return 0;
    unsigned char* region = static_cast<unsigned char*>(malloc(n ? n : 1));
    if (n != 0)
        memcpy(region, data + head, n);

    {
        QORCountingAllocator counting;
        QORTestTransaction t(&counting);
        if (setup[0] & 1)
            t.addSSLSession()->addClientCert()->subjectDN = "CN=fuzz";
        if (setup[0] & 2)
            t.addServer("vh", "fuzz.example", 443);
        t.setLibraryDefaults((setup[0] & 4) != 0);
        t.request().pendingBody = "body";
        if (pick(setup[1] & 0xf) != qor_s_ok)
            t.failOn("req.retrieveBody", pick(setup[1] & 0xf));
        if (pick(setup[1] >> 4) != qor_s_ok)
            t.failOn("req.requestWSA", pick(setup[1] >> 4));
        if (pick(setup[2] & 0xf) != qor_s_ok)
            t.failOn("ssl.requestClientCert", pick(setup[2] & 0xf));
        const char* failOp = kFailOps[setup[2] >> 4];
        if (failOp != nullptr)
            t.failOn(failOp, QOR_MSG_ID(0x36), setup[3] & 7);

        QORLocalSharedMem shm(region, static_cast<unsigned int>(n));
        QORSharedMemIterator it;
        check(it.initialize(shm, 0, static_cast<unsigned int>(n)) == qor_s_ok,
              "iterator refused the whole region");
        QORWebTransAnswerUnmarshaller answer;
        QORStatus st = answer.unmarshal(it, &t);

        check(counting.live() == 0, "memory taken from the transaction was not given back");
        check(answer.getRspCode() >= 0 && answer.getRspCode() < qor_max_proxy_rsp_code,
              "result code outside the codes an answer may carry");
        QORTestCallLog& calls = t.calls();
        check(calls.count("finalizeHeader") <= 2 && calls.count("finalizeBody") <= 2,
              "finalized more than once");
        if (isAnswerFault(st)) {
            check(!calls.contains("finalizeHeader") && !calls.contains("finalizeBody"),
                  "a failed answer finalized the request or response");
            check(!calls.contains("rsp.appendBody") && !calls.contains("req.setBody") &&
                      !calls.contains("rsp.setBodyFromFile"),
                  "a failed answer set a body");
        }
        if (st == qor_s_ok && calls.contains("rsp.appendBody"))
            check(calls.contains("rsp.finalizeHeader"), "body without finalized headers");
    }
    free(region);
    return 0;
}
