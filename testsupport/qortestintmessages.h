// qortestintmessages.h: the messages and the server handler of the channel
// tests. A question or answer carries one int element; the handler answers
// a question of type 6 with type 7 and each element's value plus one, and
// takes some values as orders (see QORTestEchoHandler).
#pragma once
#include <unistd.h>
#include <atomic>
#include <cstring>
#include "proxyif/framework/qorproxyifmessage.h"
#include "msg/core/qorproxyifmsgdata.h"
#include "proxyif/framework/qorproxyifdispatcher.h"
#include "proxyif/framework/qorproxyifmsgfactory.h"
#include "proxyif/ipc/qorsharedmemallocator.h"
#include "proxyif/ipc/qorsharedmemiterator.h"
#include "proxyif/server/qorsrvworkerpool.h"

// Live messages, so that a test sees every answer released.
inline std::atomic<int> g_qorTestLiveMessages{0};

class QORTestIntMessage : public QORProxyIFMessage {
public:
    explicit QORTestIntMessage(int type, int32_t value = 0)
        : m_type(type)
        , m_value(value)
    {
        g_qorTestLiveMessages++;
    }
    ~QORTestIntMessage() override { g_qorTestLiveMessages--; }

    void deleteMe() override { delete this; }
    QORStatus unmarshal(QORSharedMemIterator& it, void* context) override
    {
        m_context = context;
        if (!it.hasMoreElements())
            return qor_s_msg_unmarshal_failed;
        unsigned int len = 0;
        void* data = nullptr;
        QORStatus st = it.getNextElement(&len, &data);
        if (st != qor_s_ok)
            return st;
        QORProxyIFMsgInt item;
        if (len != 4 || item.unmarshal(static_cast<unsigned char*>(data), (int)len) == 0)
            return qor_s_msg_unmarshal_failed;
        m_value = item.get();
        return qor_s_ok;
    }
    QORStatus marshal(QORSharedMemAllocator& alloc) override
    {
        QORProxyIFMsgInt item(m_value);
        void* data = nullptr;
        // extra pads the element, to fill a worker buffer on purpose.
        QORStatus st = alloc.allocate(4 + m_extra, &data);
        if (st == qor_s_ok)
            item.marshal(static_cast<unsigned char*>(data), 4);
        return st;
    }
    int getType() const override { return m_type; }

    int32_t value() const { return m_value; }
    void* context() const { return m_context; }
    void setExtra(unsigned int extra) { m_extra = extra; }

private:
    int m_type;
    int32_t m_value;
    unsigned int m_extra = 0;
    void* m_context = nullptr;
};

class QORTestIntFactory : public QORProxyIFMsgFactory {
public:
    explicit QORTestIntFactory(int type = qor_msg_urc_version_answer, int* destroyed = nullptr)
        : m_type(type)
        , m_destroyed(destroyed)
    {
    }
    ~QORTestIntFactory() override
    {
        if (m_destroyed != nullptr)
            ++*m_destroyed;
    }
    int getType() override { return m_type; }
    QORStatus createMsg(QORProxyIFMessage** out) override
    {
        *out = new QORTestIntMessage(m_type);
        return qor_s_ok;
    }

private:
    int m_type;
    int* m_destroyed;
};

// Answers each question element v with v + 1, as type 7, except: -1 holds
// the worker until release is set, then answers; -2 fails with
// kFailure (an error answer); -3 answers with type 4, which no int
// factory builds; -4 answers type 7 without an element.
class QORTestEchoHandler : public QORSrvQuestionHandler {
public:
    static constexpr QORStatusCode kFailure = 0x35f02099;

    QORStatus handle(int questionType, QORSharedMemIterator& question,
                     QORSharedMemAllocator& answer, int* answerType) override
    {
        lastQuestionType = questionType;
        *answerType = qor_msg_urc_version_answer;
        while (question.hasMoreElements()) {
            unsigned len = 0;
            void* in = nullptr;
            QORStatus st = question.getNextElement(&len, &in);
            if (st != qor_s_ok || len < 4)
                return st != qor_s_ok ? st : qor_s_msg_unmarshal_failed;
            int32_t v;
            memcpy(&v, in, 4);
            if (v == -1) {
                held = true;
                while (!release)
                    usleep(1000);
                held = false;
            }
            if (v == -2)
                return kFailure;
            if (v == -3)
                *answerType = qor_msg_config_answer;
            if (v == -4)
                return qor_s_ok;
            void* out;
            st = answer.allocate(4, &out);
            if (st != qor_s_ok)
                return st;
            int32_t r = v + 1;
            memcpy(out, &r, 4);
        }
        return qor_s_ok;
    }

    std::atomic<int> lastQuestionType{-1};
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
};

// What one dispatch of an int question ended in: the status, the retry
// flag, the answer's type (-1: none) and its value.
struct QORTestIntOutcome {
    QORStatus st = 0;
    bool retry = false;
    int type = -1;
    int32_t value = 0;
};

inline QORTestIntOutcome qor_test_ask(QORProxyIFDispatcher& d, int32_t value,
                                      void* context = nullptr)
{
    QORTestIntMessage q(qor_msg_urc_version_question, value);
    QORProxyIFMessage* a = nullptr;
    QORTestIntOutcome o;
    o.st = d.dispatch(q, &a, context, &o.retry);
    if (a != nullptr) {
        o.type = a->getType();
        if (o.type == qor_msg_urc_version_answer)
            o.value = static_cast<QORTestIntMessage*>(a)->value();
        a->deleteMe();
    }
    return o;
}
