// qorset.h: QORSet, a list that keeps one entry per distinct value. A set
// that owns its entries destroys an offered duplicate.
// Ownership: every entry a set that owns its entries is given must come from qor_new (or `new (allocator)`), because it
// is released with qor_delete; a pointer from plain new stops the process
// there with a message naming the mistake.
#pragma once
#include "core/list/qorsearchablelist.h"

template <class T>
class QORSet : public QORSearchableList<T, T> {
public:
    explicit QORSet(QORAllocator* a = nullptr, bool ownsEntries = true)
        : QORSearchableList<T, T>(a, ownsEntries)
    {
    }

    // Adds entry unless an equal one is present (0 either way); when the
    // set owns entries the refused one is destroyed. qor_s_no_memory when
    // no node could be had (the entry is then neither added nor destroyed).
    QORStatus add(T* entry)
    {
        if (this->find(*entry).isValid()) {
            if (this->deletesEntries())
                qor_delete(entry);
            return qor_s_ok;
        }
        return QORList<T>::add(entry);
    }
};
