// qoranswer.h: QORAnswer, the one owner of an answer the dispatcher built;
// the answer is released with deleteMe() when its owner goes. Also the way
// the library asks the authorization server a question whose answer acts
// while it is read (configuration, cache data): dispatch, then log what is
// not the expected answer.
#pragma once
#include "core/system/qorstatus.h"
#include "msg/core/qorproxyifmessage.h"

class QORLog;
class QORProxyIFDispatcher;

class QORAnswer {
public:
    QORAnswer() = default;
    // Takes answer (may be null) over.
    explicit QORAnswer(QORProxyIFMessage* answer) : m_answer(answer) {}
    ~QORAnswer() { reset(); }
    QORAnswer(const QORAnswer&) = delete;
    QORAnswer& operator=(const QORAnswer&) = delete;

    QORProxyIFMessage* get() const { return m_answer; }
    // The answer's type; -1 when there is none.
    int type() const { return m_answer != nullptr ? m_answer->getType() : -1; }
    // Releases the answer held, then gives the place the dispatcher writes
    // the next one to.
    QORProxyIFMessage** out()
    {
        reset();
        return &m_answer;
    }
    // Hands the answer to a new owner.
    QORProxyIFMessage* release()
    {
        QORProxyIFMessage* answer = m_answer;
        m_answer = nullptr;
        return answer;
    }
    void reset()
    {
        if (m_answer != nullptr)
            m_answer->deleteMe();
        m_answer = nullptr;
    }

    // Sends question and keeps the answer in *this. The dispatch's failure
    // is returned; a request to send it again gives 0x35f02002, and no
    // answer 0x35f0200c. An error answer is logged (its status), and so is
    // an answer of a type other than expectedType; both return 0, the
    // answer kept for the caller to look at.
    QORStatus ask(QORProxyIFDispatcher& dispatcher, QORProxyIFMessage& question,
                  void* context, int expectedType, QORLog* log, const char* component);

private:
    QORProxyIFMessage* m_answer = nullptr;
};
