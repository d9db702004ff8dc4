// qorsearchablelist.h: QORSearchableList, a QORList with a linear search by
// key. Entries and keys are strings or views (data, length, comparator).
// Ownership: every entry a deleting list is given must come from qor_new (or `new (allocator)`), because it
// is released with qor_delete; a pointer from plain new stops the process
// there with a message naming the mistake.
#pragma once
#include "core/list/qorlist.h"

template <class T, class Key>
class QORSearchableList : public QORList<T> {
public:
    typedef typename QORList<T>::Iterator Iterator;

    explicit QORSearchableList(QORAllocator* a = nullptr, bool deleteEntries = false)
        : QORList<T>(a, deleteEntries)
    {
    }

    // An iterator at the first entry equal to key, or at no node. The same
    // characters (pointer and length) match without consulting the key's
    // comparator.
    Iterator find(const Key& key) const
    {
        for (Iterator it = this->begin(); it.isValid(); it.next()) {
            const T* e = it.get();
            if (e == nullptr || e->length() != key.length())
                continue;
            if (e->data() == key.data() || key.compare(e->data(), e->length()) == 0)
                return it;
        }
        return this->end();
    }
};
