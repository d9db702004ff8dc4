// qorlist.h: QORList, a doubly linked list of entry pointers whose nodes come
// from the list's allocator. A list that deletes its entries expects them to
// have been made with qor_new (so each knows its allocator).
// Ownership: every entry a deleting list is given must come from qor_new (or `new (allocator)`), because it
// is released with qor_delete; a pointer from plain new stops the process
// there with a message naming the mistake.
#pragma once
#include "core/memory/qorallocator.h"
#include "core/system/qorstatus.h"

template <class T>
class QORList {
public:
    struct Node {
        Node* next;
        Node* previous;
        T* entry;
    };

    class Iterator {
    public:
        Iterator(const QORList* list, Node* node, int index)
            : m_list(list)
            , m_node(node)
            , m_index(index)
        {
        }
        bool isValid() const { return m_node != nullptr; }
        T* get() const { return m_node ? m_node->entry : nullptr; }
        int index() const { return m_index; }
        Node* node() const { return m_node; }
        void next()
        {
            if (m_node) {
                m_node = m_node->next;
                m_index++;
            }
        }
        // For range-based for loops over the entries.
        T* operator*() const { return m_node->entry; }
        Iterator& operator++()
        {
            next();
            return *this;
        }
        bool operator!=(const Iterator& other) const { return m_node != other.m_node; }

    private:
        const QORList* m_list;
        Node* m_node;
        int m_index;
    };

    explicit QORList(QORAllocator* a = nullptr, bool deleteEntries = false)
        : m_deleteEntries(deleteEntries)
        , m_allocator(a)
    {
    }
    QORList(const QORList&) = delete;
    QORList& operator=(const QORList&) = delete;
    virtual ~QORList() { delEntries(); }

    // Appends at the tail; qor_s_no_memory when no node could be had.
    QORStatus add(T* entry)
    {
        Node* n = static_cast<Node*>(QORAllocator::allocate(m_allocator, sizeof(Node)));
        if (n == nullptr)
            return qor_s_no_memory;
        n->next = nullptr;
        n->previous = m_tail;
        n->entry = entry;
        if (m_tail)
            m_tail->next = n;
        else
            m_head = n;
        m_tail = n;
        m_count++;
        return qor_s_ok;
    }

    // Unlinks the iterator's node and returns its entry (not destroyed); the
    // iterator moves to the following node.
    T* remove(Iterator& it)
    {
        Node* n = it.node();
        if (n == nullptr)
            return nullptr;
        // The following node takes the removed one's index.
        it = Iterator(this, n->next, it.index());
        unlink(n);
        T* entry = n->entry;
        QORAllocator::deallocate(m_allocator, n);
        return entry;
    }

    // Frees every node, destroying the entries when the list owns them.
    void delEntries()
    {
        Node* n = m_head;
        while (n) {
            Node* next = n->next;
            if (m_deleteEntries)
                qor_delete(n->entry);
            QORAllocator::deallocate(m_allocator, n);
            n = next;
        }
        m_head = m_tail = nullptr;
        m_count = 0;
    }

    int entries() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }
    T* head() const { return m_head ? m_head->entry : nullptr; }
    T* tail() const { return m_tail ? m_tail->entry : nullptr; }
    Iterator begin() const { return Iterator(this, m_head, 0); }
    Iterator end() const { return Iterator(this, nullptr, m_count); }
    bool deletesEntries() const { return m_deleteEntries; }
    void setDeleteEntries(bool d) { m_deleteEntries = d; }
    QORAllocator* allocator() const { return m_allocator; }

private:
    void unlink(Node* n)
    {
        if (n->previous)
            n->previous->next = n->next;
        else
            m_head = n->next;
        if (n->next)
            n->next->previous = n->previous;
        else
            m_tail = n->previous;
        m_count--;
    }

    Node* m_tail = nullptr;
    Node* m_head = nullptr;
    bool m_deleteEntries;
    int m_count = 0;
    QORAllocator* m_allocator;
};
