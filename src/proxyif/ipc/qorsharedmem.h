// qorsharedmem.h: a memory segment that questions and answers are laid out
// in. QORSharedMem is the abstract segment (a base address and a size) with
// bound-checked reads and writes; QORSysVSharedMem (qorsysvsharedmem.h) is
// the SysV segment shared with the authorization server, and
// QORLocalSharedMem below is ordinary process memory, for building and
// reading messages without IPC (tests, fuzzing).
#pragma once
#include "core/system/qorstatus.h"

class QORSharedMem {
public:
    QORSharedMem() = default;
    QORSharedMem(const QORSharedMem&) = delete;
    QORSharedMem& operator=(const QORSharedMem&) = delete;

    // The virtual operations, in this order, form the segment interface.
    virtual ~QORSharedMem();
    // Makes a new segment of size bytes for (name, id) and maps it.
    virtual QORStatus create(const char* name, char id, unsigned int size) = 0;
    // Maps an existing segment by its system ID, or by (name, id).
    virtual QORStatus attach(int segmentId) = 0;
    virtual QORStatus attach(const char* name, char id) = 0;
    // Unmaps the segment in this process.
    virtual QORStatus detach() = 0;
    // Removes the segment.
    virtual QORStatus destroy() = 0;
    // The system ID of the segment, -1 when there is none.
    virtual int getId() const = 0;

    // base + offset in *address. Fails with 0x35f02203 (nothing set) when
    // offset or length is negative, nothing is mapped, or offset + length
    // exceeds getSize().
    QORStatus read(int offset, int length, void** address) const;
    // Copies length bytes at base + offset to out; same bound and status.
    QORStatus read(int offset, int length, void* out) const;
    // Copies length bytes from in to base + offset; same bound and status.
    QORStatus write(int offset, unsigned int length, const void* in);

    // Where the segment is mapped in this process; null when it is not.
    void* getBaseAddress() const { return m_base; }
    // The size the segment was created with: recorded only by create, so 0
    // for a segment this object merely attached to, where read and write
    // therefore fail. Readers of an attached segment check their own region
    // bounds, against getMappedSize.
    unsigned int getSize() const { return m_size; }
    // How many bytes are mapped at the base as far as this process knows (for
    // an attached SysV segment: the system's size of it); 0 when unknown or
    // not mapped. The bound for offsets the other process wrote.
    unsigned int getMappedSize() const { return m_mappedSize; }

protected:
    // Whether [offset, offset + length) lies inside the recorded size.
    bool inBounds(long long offset, long long length) const;

    void* m_base = nullptr;
    unsigned int m_size = 0;
    unsigned int m_mappedSize = 0;
};

// A segment in this process's heap, or over memory the caller owns. It has
// no system ID and cannot be attached by ID or name (0x35f02001).
class QORLocalSharedMem : public QORSharedMem {
public:
    QORLocalSharedMem() = default;
    // Over size bytes at memory, which the caller owns and keeps alive.
    QORLocalSharedMem(void* memory, unsigned int size);
    // Frees a buffer that create made.
    ~QORLocalSharedMem() override;

    // Allocates size zeroed bytes (at least one); name and id are ignored.
    // Fails with 0x35f02209 when memory is held already, 0x35f0200c when
    // there is none.
    QORStatus create(const char* name, char id, unsigned int size) override;
    QORStatus attach(int segmentId) override;
    QORStatus attach(const char* name, char id) override;
    // Forgets the mapping; the buffer stays until destroy or destruction.
    QORStatus detach() override;
    // Frees the buffer create made and forgets the mapping.
    QORStatus destroy() override;
    int getId() const override { return -1; }

private:
    void* m_owned = nullptr;
};
