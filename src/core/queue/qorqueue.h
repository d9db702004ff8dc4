// qorqueue.h: QORQueue, an intrusive doubly linked queue. The link lives in
// the queued object, so queuing allocates nothing and an object leaves its
// queue in constant time knowing only itself; an object with two links can
// be in two queues at once. A queue is a sentinel link that is never an
// element: an empty queue's sentinel points at itself. No locking: the
// owner of the queue serialises access.
#pragma once
#include <cstddef>

class QORQueue {
public:
    // A new link is an empty queue of its own. Memory that was not
    // constructed as a QORQueue must be given init() before use.
    QORQueue() { init(); }
    // Copying would leave the neighbours pointing at the original.
    QORQueue(const QORQueue&) = delete;
    QORQueue& operator=(const QORQueue&) = delete;

    void init()
    {
        m_prev = this;
        m_next = this;
    }

    // On a sentinel: whether the queue has no elements. On an element
    // link: whether it is in no queue.
    bool empty() const { return m_next == this; }

    // Links x right after this link: at the head of a queue when this is
    // its sentinel, after this element otherwise. x must be in no queue.
    void insertHead(QORQueue* x)
    {
        x->m_next = m_next;
        x->m_next->m_prev = x;
        x->m_prev = this;
        m_next = x;
    }
    void insertAfter(QORQueue* x) { insertHead(x); }

    // Links x right before this link: at the tail of a queue when this is
    // its sentinel. x must be in no queue.
    void insertTail(QORQueue* x)
    {
        x->m_prev = m_prev;
        x->m_prev->m_next = x;
        x->m_next = this;
        m_prev = x;
    }

    // First and last element of the queue this is the sentinel of; the
    // sentinel itself when the queue is empty.
    QORQueue* head() const { return m_next; }
    QORQueue* last() const { return m_prev; }
    QORQueue* sentinel() { return this; }
    const QORQueue* sentinel() const { return this; }

    // Neighbours of an element; the sentinel at either end.
    QORQueue* next() const { return m_next; }
    QORQueue* prev() const { return m_prev; }

    // Unlinks this element from its queue and leaves it in none, so that
    // removing it again does nothing.
    void remove()
    {
        m_next->m_prev = m_prev;
        m_prev->m_next = m_next;
        init();
    }

private:
    QORQueue* m_prev;
    QORQueue* m_next;
};

// The object of type whose member link is the QORQueue at q. type must be
// standard-layout (the compiler rejects offsetof on anything else here).
#define QOR_QUEUE_DATA(q, type, link) \
    reinterpret_cast<type*>(reinterpret_cast<char*>(q) - offsetof(type, link))
