// qorblockallocator.h: the block allocator under QORCachingAllocator. It
// keeps every block it ever obtained on one of two lists, free or allocated,
// so that qor_allocator_gc hands every outstanding allocation back at once
// without returning memory to the heap. Debugging modes (end guards, page
// guards, a guard-checking thread, statistics) are chosen per allocator.
//
// The owning allocator is always reachable from the word just before the
// caller's pointer, so qor_free, qor_realloc_var and qor_alloc_dup need only
// the pointer. A block allocated with a null handle is a plain heap block
// with a zero allocator word.
#pragma once
#include "core/system/qorstatus.h"

// Variable-size blocks (header with the data size) instead of fixed ones.
constexpr unsigned QOR_ALLOC_VARIABLE = 0x1;
// When no free block is left, obtain ten more; otherwise fail.
constexpr unsigned QOR_ALLOC_GROW = 0x2;
// qor_allocator_delete fails while blocks are outstanding.
constexpr unsigned QOR_ALLOC_CHECK_EMPTY = 0x4;
// No mutex: the caller serialises every call on this allocator.
constexpr unsigned QOR_ALLOC_NOLOCK = 0x8;
// The allocator's name appears in its statistics lines.
constexpr unsigned QOR_ALLOC_NAMED = 0x10;

// Debugging flags (any of them makes frees check the allocated list).

// A guard pattern follows each block's data.
constexpr unsigned QOR_ALLOC_END_GUARD = 0x1000000;
// The caller supplies the guard pattern; implies QOR_ALLOC_END_GUARD.
constexpr unsigned QOR_ALLOC_CUSTOM_PATTERN = 0x2000000;
// Data ends at a page boundary before an inaccessible page; free blocks
// are inaccessible. Clears the two end-guard flags.
constexpr unsigned QOR_ALLOC_PAGE_GUARD = 0x4000000;
// Keep statistics and report them periodically.
constexpr unsigned QOR_ALLOC_STATS = 0x10000000;
// A thread checks every guard periodically; implies QOR_ALLOC_END_GUARD
// and clears QOR_ALLOC_NOLOCK.
constexpr unsigned QOR_ALLOC_GUARD_THREAD = 0x80000000u;

// Statuses of creation and deletion.
enum : QORStatusCode {
    qor_s_alloc_outstanding = QOR_MSG_ID(13),   // XLTIC0013E
    qor_s_alloc_lock_failed = QOR_MSG_ID(322),  // XLTIC0322E
};

typedef struct qor_allocator_s* qor_allocator_t;

extern "C" {

// Creates an allocator of initialBlocks blocks. blockSize is the data size of
// every block (fixed) or of each new block (variable). memoryType is the
// message id whose text names the memory type in reports. name (optional,
// used with QOR_ALLOC_NAMED) is copied with anything but letters, digits
// and '_' made safe. pattern/patternLength give a custom guard pattern
// (QOR_ALLOC_CUSTOM_PATTERN), else the default 16 bytes are used.
// *status: 0, qor_s_no_memory or qor_s_thread_init_failed; *handle is null
// on failure.
void qor_allocator_new(unsigned flags, unsigned memoryType, const char* name,
                       unsigned blockSize, unsigned initialBlocks,
                       qor_allocator_t* handle, QORStatus* status,
                       const void* pattern, unsigned patternLength);

// Checks the guards, stops the guard thread and frees every block and the
// allocator. qor_s_alloc_outstanding (nothing freed, the allocator stays
// usable) with QOR_ALLOC_CHECK_EMPTY while blocks are outstanding;
// qor_s_alloc_lock_failed when the mutex cannot be taken. A null handle is
// ignored.
void qor_allocator_delete(qor_allocator_t handle, QORStatus* status);

// One fixed-size block, or null when none can be had. The allocator must not
// be variable.
void* qor_alloc(qor_allocator_t handle);

// A variable block of at least size bytes, or null. A null handle gives a
// plain heap block that qor_free also accepts.
void* qor_alloc_var(qor_allocator_t handle, unsigned size);

// A new block of p's allocator with p's size and contents, or null.
void* qor_alloc_dup(const void* p);

// Size 0 frees p and returns null; a block at least size bytes long is kept;
// otherwise the block grows and stays allocated. null on failure, and then p
// has been freed. A null p returns null.
void* qor_realloc_var(void* p, unsigned size);

// Gives p back to its allocator's free list; null is ignored.
void qor_free(void* p);

// Moves every allocated block to the free list: every earlier allocation of
// this allocator is invalid afterwards.
void qor_allocator_gc(qor_allocator_t handle);

// Period of the statistics reporter (default 300 seconds); wakes it.
void qor_allocator_set_stats_period(unsigned seconds);

// Period of an allocator's guard checker (default 30 seconds); wakes it.
// Ignored for an allocator without QOR_ALLOC_GUARD_THREAD.
void qor_alloc_set_guard_checker_period(qor_allocator_t handle,
                                        unsigned seconds,
                                        unsigned nanoseconds);

// The allocator's flags as it applies them: QOR_ALLOC_GUARD_THREAD clears
// QOR_ALLOC_NOLOCK; QOR_ALLOC_CUSTOM_PATTERN and QOR_ALLOC_GUARD_THREAD add
// QOR_ALLOC_END_GUARD; QOR_ALLOC_PAGE_GUARD clears both end-guard flags.
unsigned qor_allocator_flags(qor_allocator_t handle);

// Writes the allocator's twelve statistics to standard output, one per line.
void qor_allocator_dump_stats(qor_allocator_t handle);

// Stops the statistics reporter, forgets every registered allocator (the
// allocators themselves stay usable) and puts the period back to 300
// seconds. A later allocator with statistics starts the reporter again. For
// tests and the library's shutdown.
// REQUIRES: no allocator with statistics is created or deleted meanwhile.
void qor_allocator_stats_shutdown(void);
}
