// qorblockallocator.cpp: block lists, growth, garbage collection and the
// debugging modes of the block allocator.
//
// Layout of a block: a header {next, prev, allocator} (fixed blocks) or
// {next, prev, size, allocator} (variable blocks) directly before the
// caller's data, so the allocator word is the word before the caller's
// pointer. With end guards the guard pattern follows the data. In page-guard
// mode the header stays at the start of the heap block, the data is moved up
// so that it ends on a page boundary followed by one inaccessible page, and
// the word before the data points at the header's allocator word.
//
// Every allocator record starts with a pointer to itself. Reading through the
// word before a caller's pointer therefore gives the allocator in both
// layouts: in the plain one the word is the record, whose first word is the
// record; in page-guard mode it is the header's allocator word.
#include "core/memory/qorblockallocator.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include "core/msg/qormsg.h"
#include "core/svc/qorsvc.h"
#include "core/svc/qorsvcroute.h"
#include "core/system/qorassert.h"
#include "core/threads/qorthread.h"

struct qor_alloc_link_t {
    qor_alloc_link_t* next;
    qor_alloc_link_t* prev;
};

struct qor_alloc_fixed_header_t {
    qor_alloc_link_t link;
    qor_allocator_s* allocator;
};

struct qor_alloc_header_t {
    qor_alloc_link_t link;
    uintptr_t size;
    qor_allocator_s* allocator;
};

static_assert(sizeof(qor_alloc_fixed_header_t) == 3 * sizeof(void*),
              "fixed header is three words");
static_assert(sizeof(qor_alloc_header_t) == 4 * sizeof(void*),
              "variable header is four words");

enum qor_alloc_stat_e {
    qor_stat_min_block,
    qor_stat_max_block,
    qor_stat_blocks_available,
    qor_stat_blocks_allocated,
    qor_stat_blocks_freed,
    qor_stat_blocks_gced,
    qor_stat_blocks_outstanding,
    qor_stat_bytes_available,
    qor_stat_bytes_allocated,
    qor_stat_bytes_freed,
    qor_stat_bytes_gced,
    qor_stat_bytes_outstanding,
    qor_stat_count
};

static const char* const kStatLabels[qor_stat_count] = {
    "min block size:     %ld", "max block size:     %ld",
    "blocks available:   %ld", "blocks allocated:   %ld",
    "blocks freed:       %ld", "blocks gced:        %ld",
    "blocks outstanding: %ld", "bytes available:    %ld",
    "bytes allocated:    %ld", "bytes freed:        %ld",
    "bytes gced:         %ld", "bytes outstanding:  %ld",
};

// Flags under which a call leaves the short paths.
static const unsigned kDebugFlags = QOR_ALLOC_END_GUARD |
    QOR_ALLOC_CUSTOM_PATTERN | QOR_ALLOC_PAGE_GUARD | QOR_ALLOC_STATS |
    QOR_ALLOC_GUARD_THREAD;

static const unsigned char kDefaultPattern[16] = {
    0x60, 0x0d, 0xca, 0xfe, 0x60, 0x0d, 0xca, 0xfe,
    0x60, 0x0d, 0xca, 0xfe, 0x60, 0x0d, 0xca, 0xfe,
};

static const unsigned kGrowBy = 10;
static const unsigned kDefaultGuardPeriod = 30;
static const unsigned kDefaultStatsPeriod = 300;

struct qor_allocator_s {
    qor_allocator_s* self;   // first: see the allocator word above
    // True when a call needs nothing but the lists: no lock, no debugging
    // (fastVar: and the blocks are variable).
    bool fast;
    bool fastVar;
    unsigned flags;
    size_t headerSize;
    qor_alloc_link_t free_list;
    qor_alloc_link_t alloc_list;
    unsigned memoryType;
    char* name;
    unsigned blockSize;
    unsigned total;
    unsigned free;
    pthread_mutex_t mutex;
    bool hasMutex;
    unsigned char* pattern;
    unsigned patternLength;
    size_t pageSize;
    // Guard checker.
    pthread_t guardThread;
    bool guardStarted;
    bool guardCondMade;
    bool guardPeriodChanged;
    pthread_cond_t guardCond;
    struct timespec guardPeriod;
    // Statistics and the registry's links.
    long stats[qor_stat_count];
    bool registered;
    qor_allocator_s* statsNext;
    qor_allocator_s* statsPrev;
};

static inline bool qor_alloc_QIsEmpty(const qor_alloc_link_t* q)
{
    return q->next == q;
}

static inline void list_init(qor_alloc_link_t* q)
{
    q->next = q->prev = q;
}

static inline void list_unlink(qor_alloc_link_t* e)
{
    e->prev->next = e->next;
    e->next->prev = e->prev;
}

static inline void list_push_tail(qor_alloc_link_t* q, qor_alloc_link_t* e)
{
    e->next = q;
    e->prev = q->prev;
    q->prev->next = e;
    q->prev = e;
}

static inline void list_push_head(qor_alloc_link_t* q, qor_alloc_link_t* e)
{
    e->prev = q;
    e->next = q->next;
    q->next->prev = e;
    q->next = e;
}

// Moves every element of from to the front of to.
static inline void list_splice_head(qor_alloc_link_t* to,
                                    qor_alloc_link_t* from)
{
    if (qor_alloc_QIsEmpty(from))
        return;
    qor_alloc_link_t* first = from->next;
    qor_alloc_link_t* last = from->prev;
    last->next = to->next;
    to->next->prev = last;
    to->next = first;
    first->prev = to;
    list_init(from);
}

static inline bool list_contains(const qor_alloc_link_t* q,
                                 const qor_alloc_link_t* e)
{
    for (const qor_alloc_link_t* i = q->next; i != q; i = i->next)
        if (i == e)
            return true;
    return false;
}

static const size_t kWord = sizeof(void*);
static const size_t kVarHeader = sizeof(qor_alloc_header_t);

static inline bool is_variable(const qor_allocator_s* a)
{
    return (a->flags & QOR_ALLOC_VARIABLE) != 0;
}

static inline void lock(qor_allocator_s* a)
{
    if (a->hasMutex)
        qorthread_mutex_lock(&a->mutex);
}

static inline void unlock(qor_allocator_s* a)
{
    if (a->hasMutex)
        qorthread_mutex_unlock(&a->mutex);
}

// Data size of a block: its own for variable blocks, else the allocator's.
static inline size_t block_size(const qor_allocator_s* a,
                                const qor_alloc_link_t* b)
{
    return is_variable(a) ? reinterpret_cast<const qor_alloc_header_t*>(b)->size
                          : a->blockSize;
}

static inline qor_allocator_s** allocator_word(const qor_allocator_s* a,
                                               qor_alloc_link_t* b)
{
    return reinterpret_cast<qor_allocator_s**>(
        reinterpret_cast<char*>(b) + a->headerSize - kWord);
}

// Page-guard layout for a heap block of data size `size` at b: the data
// ends at the start of the guard page, which lies inside the heap block and
// after the header's page.
static inline size_t page_capacity(const qor_allocator_s* a, size_t size)
{
    return a->headerSize + size + kWord + 3 * a->pageSize;
}

static inline char* page_guard_start(const qor_allocator_s* a,
                                     qor_alloc_link_t* b, size_t size)
{
    uintptr_t end = reinterpret_cast<uintptr_t>(b) + page_capacity(a, size) -
                    a->pageSize;
    return reinterpret_cast<char*>(end & ~(uintptr_t)(a->pageSize - 1));
}

static inline char* page_protect_start(const qor_allocator_s* a, char* data)
{
    uintptr_t start = reinterpret_cast<uintptr_t>(data) - kWord;
    return reinterpret_cast<char*>(start & ~(uintptr_t)(a->pageSize - 1));
}

// The caller's pointer of a block.
static inline char* block_data(const qor_allocator_s* a, qor_alloc_link_t* b)
{
    if (a->flags & QOR_ALLOC_PAGE_GUARD)
        return page_guard_start(a, b, block_size(a, b)) - block_size(a, b);
    return reinterpret_cast<char*>(b) + a->headerSize;
}

// The header of a caller's pointer whose allocator word is word.
static inline qor_alloc_link_t* block_header(const qor_allocator_s* a,
                                             void* word, void* p)
{
    char* w = (a->flags & QOR_ALLOC_PAGE_GUARD)
                  ? static_cast<char*>(word)
                  : static_cast<char*>(p) - kWord;
    return reinterpret_cast<qor_alloc_link_t*>(w + kWord - a->headerSize);
}

static void protect(char* start, char* end, int protection)
{
    if (end > start)
        QOR_ASSERT(mprotect(start, end - start, protection) == 0);
}

// Page-guard mode: makes a block's data accessible (its guard page stays
// inaccessible) or every page of it inaccessible.
static void page_open(const qor_allocator_s* a, qor_alloc_link_t* b)
{
    size_t size = block_size(a, b);
    char* guard = page_guard_start(a, b, size);
    protect(page_protect_start(a, guard - size), guard,
            PROT_READ | PROT_WRITE);
}

static void page_close(const qor_allocator_s* a, qor_alloc_link_t* b)
{
    size_t size = block_size(a, b);
    char* guard = page_guard_start(a, b, size);
    protect(page_protect_start(a, guard - size), guard + a->pageSize,
            PROT_NONE);
}

static void page_release(const qor_allocator_s* a, qor_alloc_link_t* b)
{
    size_t size = block_size(a, b);
    char* guard = page_guard_start(a, b, size);
    protect(page_protect_start(a, guard - size), guard + a->pageSize,
            PROT_READ | PROT_WRITE);
}

// Lays a page-guard block out for its current size and closes it.
static void page_layout(qor_allocator_s* a, qor_alloc_link_t* b)
{
    char* data = page_guard_start(a, b, block_size(a, b)) - block_size(a, b);
    // The data ends exactly at the guard page, so it may start unaligned.
    void* word = allocator_word(a, b);
    memcpy(data - kWord, &word, kWord);
    page_close(a, b);
}

static inline void write_guard(const qor_allocator_s* a, qor_alloc_link_t* b)
{
    if (a->flags & QOR_ALLOC_END_GUARD)
        memcpy(block_data(a, b) + block_size(a, b), a->pattern,
               a->patternLength);
}

// The text naming an allocator's memory type, freed by the caller with
// free(), or null when the catalogue has none.
static char* memory_type_text(const qor_allocator_s* a)
{
    QORStatus st = qor_s_ok;
    char* text = dx_msg_get_msg(a->memoryType, &st);
    if (st != qor_s_ok) {
        free(text);
        return nullptr;
    }
    return text;
}

// Raises SIGSEGV in this process; a handler that returns does not keep it
// alive.
[[noreturn]] static void raise_segv()
{
    kill(getpid(), SIGSEGV);
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    abort();
}

[[noreturn]] static void report_and_die(const char* format,
                                        const qor_allocator_s* a,
                                        const void* p)
{
    char* text = memory_type_text(a);
    fprintf(stderr, format, p, text ? text : "<unknown>");
    fflush(stderr);
    free(text);
    raise_segv();
}

static void scan_guards(const qor_allocator_s* a)
{
    const qor_alloc_link_t* q = &a->alloc_list;
    for (qor_alloc_link_t* b = q->next; b != q; b = b->next) {
        char* data = block_data(a, b);
        if (memcmp(data + block_size(a, b), a->pattern, a->patternLength))
            report_and_die("Damaged end guard of %p for allocator %s\n", a,
                           data);
    }
}

// Tested here so that the locked paths of an allocator without end guards
// make no call.
static inline void check_guards(const qor_allocator_s* a)
{
    if (a->flags & QOR_ALLOC_END_GUARD)
        scan_guards(a);
}

static inline void stat_add(qor_allocator_s* a, qor_alloc_stat_e s, long v)
{
    a->stats[s] += v;
}

static void stats_allocated(qor_allocator_s* a, size_t size)
{
    long n = static_cast<long>(size);
    if (a->stats[qor_stat_blocks_allocated] == 0 ||
        n < a->stats[qor_stat_min_block])
        a->stats[qor_stat_min_block] = n;
    if (n > a->stats[qor_stat_max_block])
        a->stats[qor_stat_max_block] = n;
    stat_add(a, qor_stat_blocks_available, -1);
    stat_add(a, qor_stat_blocks_allocated, 1);
    stat_add(a, qor_stat_blocks_outstanding, 1);
    stat_add(a, qor_stat_bytes_available, -n);
    stat_add(a, qor_stat_bytes_allocated, n);
    stat_add(a, qor_stat_bytes_outstanding, n);
}

static void stats_freed(qor_allocator_s* a, size_t size)
{
    long n = static_cast<long>(size);
    stat_add(a, qor_stat_blocks_available, 1);
    stat_add(a, qor_stat_blocks_freed, 1);
    stat_add(a, qor_stat_blocks_outstanding, -1);
    stat_add(a, qor_stat_bytes_available, n);
    stat_add(a, qor_stat_bytes_freed, n);
    stat_add(a, qor_stat_bytes_outstanding, -n);
}

// Adds n new blocks to the free list; qor_s_no_memory when any could not be
// had (the others are kept).
static QORStatus grow(qor_allocator_s* a, unsigned n)
{
    QORStatus status = qor_s_ok;
    size_t size = a->blockSize;
    size_t bytes = (a->flags & QOR_ALLOC_PAGE_GUARD)
                       ? page_capacity(a, size)
                       : a->headerSize + size + a->patternLength;
    for (unsigned i = 0; i < n; i++) {
        qor_alloc_link_t* b = static_cast<qor_alloc_link_t*>(malloc(bytes));
        if (b == nullptr) {
            status = qor_s_no_memory;
            continue;
        }
        if (is_variable(a))
            reinterpret_cast<qor_alloc_header_t*>(b)->size = size;
        *allocator_word(a, b) = a;
        if (a->flags & QOR_ALLOC_PAGE_GUARD)
            page_layout(a, b);
        else
            write_guard(a, b);
        list_push_tail(&a->free_list, b);
        a->total++;
        a->free++;
        if (a->flags & QOR_ALLOC_STATS) {
            stat_add(a, qor_stat_blocks_available, 1);
            stat_add(a, qor_stat_bytes_available, static_cast<long>(size));
        }
    }
    return status;
}

// Gives a variable block the data size `size`; the block is on no list. In
// page-guard mode it is laid out again for exactly that size and left open.
// Returns the block (perhaps moved) or null, the block then unchanged.
static qor_alloc_link_t* resize(qor_allocator_s* a, qor_alloc_link_t* b,
                                size_t size)
{
    qor_alloc_header_t* h = reinterpret_cast<qor_alloc_header_t*>(b);
    size_t old = h->size;
    if (a->flags & QOR_ALLOC_PAGE_GUARD) {
        if (size > SIZE_MAX - page_capacity(a, 0))
            return nullptr;
        page_release(a, b);
        void* m = realloc(b, page_capacity(a, size));
        if (m == nullptr) {
            page_layout(a, b);
            page_open(a, b);
            return nullptr;
        }
        h = static_cast<qor_alloc_header_t*>(m);
        h->size = size;
        b = &h->link;
        page_layout(a, b);
        page_open(a, b);
    } else {
        if (size > SIZE_MAX - a->headerSize - a->patternLength)
            return nullptr;
        void* m = realloc(b, a->headerSize + size + a->patternLength);
        if (m == nullptr)
            return nullptr;
        h = static_cast<qor_alloc_header_t*>(m);
        h->size = size;
        b = &h->link;
        write_guard(a, b);
    }
    if (a->flags & QOR_ALLOC_STATS)
        stat_add(a, qor_stat_bytes_available,
                 static_cast<long>(size) - static_cast<long>(old));
    return b;
}

// Takes a free block of at least size bytes (exactly size in page-guard
// mode) onto the allocated list. forRealloc lets page-guard mode take the
// last free block. REQUIRES: the allocator's lock held.
static void* take_block(qor_allocator_s* a, size_t size, bool forRealloc)
{
    check_guards(a);
    unsigned need = ((a->flags & QOR_ALLOC_PAGE_GUARD) && is_variable(a) &&
                     !forRealloc)
                        ? 2
                        : 1;
    if (a->free < need) {
        if (a->flags & QOR_ALLOC_GROW)
            (void)grow(a, kGrowBy); // a failed grow leaves free short: checked next
        if (a->free < need)
            return nullptr;
    }
    qor_alloc_link_t* b = a->free_list.next;
    list_unlink(b);
    a->free--;
    if (is_variable(a)) {
        size_t have = reinterpret_cast<qor_alloc_header_t*>(b)->size;
        bool rebuild = (a->flags & QOR_ALLOC_PAGE_GUARD) ? have != size
                                                          : have < size;
        if (rebuild) {
            qor_alloc_link_t* r = resize(a, b, size);
            if (r == nullptr) {
                list_push_head(&a->free_list, b);
                a->free++;
                return nullptr;
            }
            b = r;
        } else if (a->flags & QOR_ALLOC_PAGE_GUARD) {
            page_open(a, b);
        }
    } else if (a->flags & QOR_ALLOC_PAGE_GUARD) {
        page_open(a, b);
    }
    list_push_tail(&a->alloc_list, b);
    if (a->flags & QOR_ALLOC_STATS)
        stats_allocated(a, block_size(a, b));
    return block_data(a, b);
}

// The allocator of a caller's pointer and its allocator word.
static inline qor_allocator_s* owner(const void* p, void** word)
{
    // Page-guarded data may start unaligned; this is one load all the same.
    memcpy(word, static_cast<const char*>(p) - kWord, kWord);
    return *word ? *static_cast<qor_allocator_s**>(*word) : nullptr;
}

// Finds p's header on the allocated list (with any debugging flag) and moves
// it to the head of the free list. A header that names another allocator
// than the one its word led to means the word was no allocator's.
// REQUIRES: the lock held.
static void release_block(qor_allocator_s* allocator, void* word, void* p)
{
    qor_alloc_link_t* alloc = block_header(allocator, word, p);
    if (is_variable(allocator))
        QOR_ASSERT(allocator == ((qor_alloc_header_t*)alloc)->allocator);
    else
        QOR_ASSERT(allocator == ((qor_alloc_fixed_header_t*)alloc)->allocator);
    if (allocator->flags & kDebugFlags) {
        check_guards(allocator);
        if (!list_contains(&allocator->alloc_list, alloc)) {
            if (list_contains(&allocator->free_list, alloc))
                report_and_die("Double free of %p for allocator %s\n",
                               allocator, p);
            report_and_die("Freeing memory of wrong type %p for allocator %s\n",
                           allocator, p);
        }
    }
    list_unlink(alloc);
    list_push_head(&allocator->free_list, alloc);
    allocator->free++;
    if (allocator->flags & QOR_ALLOC_PAGE_GUARD)
        page_close(allocator, alloc);
    if (allocator->flags & QOR_ALLOC_STATS)
        stats_freed(allocator, block_size(allocator, alloc));
}

// ---------------------------------------------------------------------------
// Statistics registry and reporter: one per process.

static pthread_mutex_t g_statsMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_statsCond = PTHREAD_COND_INITIALIZER;
static qor_allocator_s* g_statsHead = nullptr;
static unsigned g_statsPeriod = kDefaultStatsPeriod;
static bool g_statsPeriodChanged = false;
static bool g_reporterRunning = false;
static bool g_reporterStop = false;
static pthread_t g_reporter;

static void deadline_after(struct timespec* deadline,
                           const struct timespec& period)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    deadline->tv_sec = now.tv_sec + period.tv_sec;
    deadline->tv_nsec = now.tv_nsec + period.tv_nsec;
    if (deadline->tv_nsec >= 1000000000) {
        deadline->tv_sec++;
        deadline->tv_nsec -= 1000000000;
    }
}

static void unlock_mutex(void* mutex)
{
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
}

// A timed wait that is the thread's only cancellation point: cancellation
// stays off while it holds the lock outside the wait.
static int cancellable_wait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                            const struct timespec* deadline)
{
    int rc;
    int old;
    pthread_cleanup_push(unlock_mutex, mutex);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    rc = pthread_cond_timedwait(cond, mutex, deadline);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    pthread_cleanup_pop(0);
    return rc;
}

static bool reached(const struct timespec& deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

static void report_allocator(qor_allocator_s* a)
{
    char* text = memory_type_text(a);
    const char* type = text ? text : "<unknown>";
    bool named = (a->flags & QOR_ALLOC_NAMED) && a->name != nullptr;
    size_t n = (named ? strlen(a->name) : 0) + 64;
    char* format = static_cast<char*>(malloc(n));
    long values[qor_stat_count];
    lock(a);
    memcpy(values, a->stats, sizeof values);
    unlock(a);
    for (int i = 0; format != nullptr && i < qor_stat_count; i++) {
        if (named)
            snprintf(format, n, "%%s.%s: %s", a->name, kStatLabels[i]);
        else
            snprintf(format, n, "%%s: %s", kStatLabels[i]);
        dx_svc__debug_withfile(dx_svc_pic_handle, __FILE__, __LINE__,
                               qor_svc_memory_types, 1, format, type,
                               values[i]);
    }
    free(format);
    free(text);
}

static void* reporter_main(void*)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    qorthread_mutex_lock(&g_statsMutex);
    struct timespec deadline;
    deadline_after(&deadline, {static_cast<time_t>(g_statsPeriod), 0});
    while (!g_reporterStop) {
        cancellable_wait(&g_statsCond, &g_statsMutex, &deadline);
        if (g_reporterStop)
            break;
        if (g_statsPeriodChanged) {
            g_statsPeriodChanged = false;
            deadline_after(&deadline, {static_cast<time_t>(g_statsPeriod), 0});
            continue;
        }
        if (!reached(deadline))
            continue;
        for (qor_allocator_s* a = g_statsHead; a != nullptr; a = a->statsNext)
            report_allocator(a);
        deadline_after(&deadline, {static_cast<time_t>(g_statsPeriod), 0});
    }
    qorthread_mutex_unlock(&g_statsMutex);
    return nullptr;
}

static QORStatus stats_register(qor_allocator_s* a)
{
    QORMutexLock guard(g_statsMutex);
    if (!g_reporterRunning) {
        QORStatus st;
        dx_svc_debug_set_levels("pic:Memory Types.1", &st);
        g_reporterStop = false;
        if (qorthread_create(&g_reporter, nullptr, reporter_main, nullptr))
            return qor_s_thread_init_failed;
        g_reporterRunning = true;
    }
    a->statsPrev = nullptr;
    a->statsNext = g_statsHead;
    if (g_statsHead != nullptr)
        g_statsHead->statsPrev = a;
    g_statsHead = a;
    a->registered = true;
    return qor_s_ok;
}

static void stats_unregister(qor_allocator_s* a)
{
    QORMutexLock guard(g_statsMutex);
    if (!a->registered)
        return;
    if (a->statsPrev != nullptr)
        a->statsPrev->statsNext = a->statsNext;
    else
        g_statsHead = a->statsNext;
    if (a->statsNext != nullptr)
        a->statsNext->statsPrev = a->statsPrev;
    a->registered = false;
}

void qor_allocator_set_stats_period(unsigned seconds)
{
    QORMutexLock guard(g_statsMutex);
    // A zero period would keep the reporter writing without pause.
    g_statsPeriod = seconds ? seconds : 1;
    g_statsPeriodChanged = true;
    pthread_cond_broadcast(&g_statsCond);
}

void qor_allocator_stats_shutdown(void)
{
    qorthread_mutex_lock(&g_statsMutex);
    bool running = g_reporterRunning;
    g_reporterStop = true;
    pthread_cond_broadcast(&g_statsCond);
    qorthread_mutex_unlock(&g_statsMutex);
    if (running)
        pthread_join(g_reporter, nullptr);
    QORMutexLock guard(g_statsMutex);
    g_reporterRunning = false;
    for (qor_allocator_s* a = g_statsHead; a != nullptr;) {
        qor_allocator_s* next = a->statsNext;
        a->registered = false;
        a->statsNext = a->statsPrev = nullptr;
        a = next;
    }
    g_statsHead = nullptr;
    g_statsPeriod = kDefaultStatsPeriod;
    g_statsPeriodChanged = false;
}

// ---------------------------------------------------------------------------
// Guard checker: one thread per allocator that asks for it.

static void* guard_main(void* arg)
{
    qor_allocator_s* a = static_cast<qor_allocator_s*>(arg);
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    qorthread_mutex_lock(&a->mutex);
    struct timespec deadline;
    deadline_after(&deadline, a->guardPeriod);
    for (;;) {
        cancellable_wait(&a->guardCond, &a->mutex, &deadline);
        if (a->guardPeriodChanged) {
            a->guardPeriodChanged = false;
            deadline_after(&deadline, a->guardPeriod);
            continue;
        }
        if (!reached(deadline))
            continue;
        check_guards(a);
        deadline_after(&deadline, a->guardPeriod);
    }
    return nullptr;
}

static void guard_stop(qor_allocator_s* a)
{
    if (!a->guardStarted)
        return;
    pthread_cancel(a->guardThread);
    pthread_join(a->guardThread, nullptr);
    a->guardStarted = false;
}

void qor_alloc_set_guard_checker_period(qor_allocator_t a, unsigned seconds,
                                        unsigned nanoseconds)
{
    if (a == nullptr || !(a->flags & QOR_ALLOC_GUARD_THREAD))
        return;
    QORMutexLock guard(a->mutex);
    a->guardPeriod.tv_sec = static_cast<time_t>(seconds + nanoseconds /
                                                1000000000u);
    a->guardPeriod.tv_nsec = static_cast<long>(nanoseconds % 1000000000u);
    if (a->guardPeriod.tv_sec == 0 && a->guardPeriod.tv_nsec == 0)
        a->guardPeriod.tv_sec = 1;
    a->guardPeriodChanged = true;
    pthread_cond_signal(&a->guardCond);
}

// ---------------------------------------------------------------------------
// Creation and deletion.

static void sanitise_name(const char* name, char* out)
{
    static const char kHex[] = "0123456789ABCDEF";
    for (const unsigned char* s = reinterpret_cast<const unsigned char*>(name);
         *s; s++) {
        unsigned char c = *s;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            (c >= '0' && c <= '9') || c == '_') {
            *out++ = static_cast<char>(c);
        } else if (c == ' ' || (c >= '\t' && c <= '\r') ||
                   (c >= 0x21 && c <= 0x7e)) {
            // Spaces and the remaining printable ASCII are punctuation.
            *out++ = '-';
        } else {
            *out++ = 'x';
            *out++ = kHex[c >> 4];
            *out++ = kHex[c & 15];
        }
    }
    *out = '\0';
}

static void destroy(qor_allocator_s* a)
{
    guard_stop(a);
    stats_unregister(a);
    qor_alloc_link_t* lists[2] = {&a->free_list, &a->alloc_list};
    for (qor_alloc_link_t* q : lists) {
        for (qor_alloc_link_t* b = q->next; b != q;) {
            qor_alloc_link_t* next = b->next;
            if (a->flags & QOR_ALLOC_PAGE_GUARD)
                page_release(a, b);
            free(b);
            b = next;
        }
    }
    if (a->guardCondMade)
        pthread_cond_destroy(&a->guardCond);
    if (a->hasMutex)
        pthread_mutex_destroy(&a->mutex);
    free(a->pattern);
    free(a->name);
    free(a);
}

void qor_allocator_new(unsigned flags, unsigned memoryType, const char* name,
                       unsigned blockSize, unsigned initialBlocks,
                       qor_allocator_t* handle, QORStatus* status,
                       const void* pattern, unsigned patternLength)
{
    *handle = nullptr;
    qor_allocator_s* a =
        static_cast<qor_allocator_s*>(calloc(1, sizeof(qor_allocator_s)));
    if (a == nullptr) {
        *status = qor_s_no_memory;
        return;
    }
    a->self = a;
    list_init(&a->free_list);
    list_init(&a->alloc_list);
    a->memoryType = memoryType;
    a->blockSize = blockSize;
    if (name != nullptr) {
        a->name = static_cast<char*>(malloc(strlen(name) * 3 + 1));
        if (a->name == nullptr) {
            destroy(a);
            *status = qor_s_no_memory;
            return;
        }
        sanitise_name(name, a->name);
    }

    if (flags & QOR_ALLOC_GUARD_THREAD)
        flags &= ~QOR_ALLOC_NOLOCK;
    if (flags & (QOR_ALLOC_CUSTOM_PATTERN | QOR_ALLOC_GUARD_THREAD))
        flags |= QOR_ALLOC_END_GUARD;
    if (flags & QOR_ALLOC_PAGE_GUARD)
        flags &= ~(QOR_ALLOC_END_GUARD | QOR_ALLOC_CUSTOM_PATTERN);
    a->flags = flags;
    a->fast = (flags & QOR_ALLOC_NOLOCK) && !(flags & kDebugFlags);
    a->fastVar = a->fast && (flags & QOR_ALLOC_VARIABLE);
    a->headerSize = is_variable(a) ? kVarHeader
                                   : sizeof(qor_alloc_fixed_header_t);

    if (!(flags & QOR_ALLOC_NOLOCK)) {
        if (pthread_mutex_init(&a->mutex, nullptr) != 0) {
            destroy(a);
            *status = qor_s_thread_init_failed;
            return;
        }
        a->hasMutex = true;
    }

    if (flags & QOR_ALLOC_STATS) {
        QORStatus st = stats_register(a);
        if (st != qor_s_ok) {
            destroy(a);
            *status = st;
            return;
        }
    }

    if (flags & QOR_ALLOC_END_GUARD) {
        const void* src = kDefaultPattern;
        unsigned len = sizeof kDefaultPattern;
        if (pattern != nullptr && patternLength > 0) {
            src = pattern;
            len = patternLength;
        }
        a->pattern = static_cast<unsigned char*>(malloc(len));
        if (a->pattern == nullptr) {
            destroy(a);
            *status = qor_s_no_memory;
            return;
        }
        memcpy(a->pattern, src, len);
        a->patternLength = len;
    }
    if (flags & QOR_ALLOC_PAGE_GUARD)
        a->pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));

    if (flags & QOR_ALLOC_GUARD_THREAD) {
        if (pthread_cond_init(&a->guardCond, nullptr) != 0) {
            destroy(a);
            *status = qor_s_thread_init_failed;
            return;
        }
        a->guardCondMade = true;
        a->guardPeriod.tv_sec = kDefaultGuardPeriod;
        if (qorthread_create(&a->guardThread, nullptr, guard_main, a) != 0) {
            destroy(a);
            *status = qor_s_thread_init_failed;
            return;
        }
        a->guardStarted = true;
    }

    unsigned n = initialBlocks;
    if ((flags & QOR_ALLOC_PAGE_GUARD) && (flags & QOR_ALLOC_VARIABLE) &&
        !(flags & QOR_ALLOC_GROW))
        n++;
    lock(a);
    QORStatus st = grow(a, n);
    unlock(a);
    if (st != qor_s_ok) {
        destroy(a);
        *status = st;
        return;
    }
    *handle = a;
    *status = qor_s_ok;
}

void qor_allocator_delete(qor_allocator_t a, QORStatus* status)
{
    if (a == nullptr) {
        *status = qor_s_ok;
        return;
    }
    if (a->hasMutex && pthread_mutex_lock(&a->mutex) != 0) {
        *status = qor_s_alloc_lock_failed;
        return;
    }
    check_guards(a);
    bool busy = (a->flags & QOR_ALLOC_CHECK_EMPTY) &&
                !qor_alloc_QIsEmpty(&a->alloc_list);
    unlock(a);
    if (busy) {
        *status = qor_s_alloc_outstanding;
        return;
    }
    destroy(a);
    *status = qor_s_ok;
}

// ---------------------------------------------------------------------------
// Allocation.

void* qor_alloc(qor_allocator_t a)
{
    QOR_ASSERT(!(a->flags & QOR_ALLOC_VARIABLE));
    if (a->fast) {
        qor_alloc_link_t* b = a->free_list.next;
        if (b != &a->free_list) {
            list_unlink(b);
            list_push_tail(&a->alloc_list, b);
            a->free--;
            return reinterpret_cast<char*>(b) + a->headerSize;
        }
    }
    lock(a);
    void* p = take_block(a, a->blockSize, false);
    unlock(a);
    return p;
}

// A heap block for a null handle: a variable header with no allocator.
static void* heap_alloc(size_t size)
{
    if (size > SIZE_MAX - kVarHeader)
        return nullptr;
    qor_alloc_header_t* h =
        static_cast<qor_alloc_header_t*>(malloc(kVarHeader + size));
    if (h == nullptr)
        return nullptr;
    h->size = size;
    h->allocator = nullptr;
    return h + 1;
}

void* qor_alloc_var(qor_allocator_t a, unsigned size)
{
    if (a == nullptr)
        return heap_alloc(size);
    if (a->fastVar) {
        qor_alloc_link_t* b = a->free_list.next;
        if (b != &a->free_list &&
            reinterpret_cast<qor_alloc_header_t*>(b)->size >= size) {
            list_unlink(b);
            list_push_tail(&a->alloc_list, b);
            a->free--;
            return reinterpret_cast<qor_alloc_header_t*>(b) + 1;
        }
    }
    QOR_ASSERT(a->flags & QOR_ALLOC_VARIABLE);
    lock(a);
    void* p = take_block(a, size, false);
    unlock(a);
    return p;
}

void qor_free(void* p)
{
    if (p == nullptr)
        return;
    void* word;
    qor_allocator_s* a = owner(p, &word);
    if (a == nullptr) {
        free(static_cast<char*>(p) - kVarHeader);
        return;
    }
    if (a->fast && word == a) {
        qor_alloc_link_t* b = reinterpret_cast<qor_alloc_link_t*>(
            static_cast<char*>(p) - a->headerSize);
        list_unlink(b);
        list_push_head(&a->free_list, b);
        a->free++;
        return;
    }
    lock(a);
    release_block(a, word, p);
    unlock(a);
}

void* qor_alloc_dup(const void* p)
{
    if (p == nullptr)
        return nullptr;
    void* word;
    qor_allocator_s* a = owner(p, &word);
    if (a == nullptr) {
        size_t size = reinterpret_cast<const qor_alloc_header_t*>(p)[-1].size;
        void* q = heap_alloc(size);
        if (q != nullptr)
            memcpy(q, p, size);
        return q;
    }
    lock(a);
    qor_alloc_link_t* b = block_header(a, word, const_cast<void*>(p));
    size_t size = block_size(a, b);
    void* q = take_block(a, size, false);
    if (q != nullptr)
        memcpy(q, p, size);
    unlock(a);
    return q;
}

void* qor_realloc_var(void* p, unsigned size)
{
    if (p == nullptr)
        return nullptr;
    if (size == 0) {
        qor_free(p);
        return nullptr;
    }
    void* word;
    qor_allocator_s* a = owner(p, &word);
    if (a == nullptr) {
        qor_alloc_header_t* h = static_cast<qor_alloc_header_t*>(p) - 1;
        if (h->size >= size)
            return p;
        void* m = size <= SIZE_MAX - kVarHeader ? realloc(h, kVarHeader + size)
                                                : nullptr;
        if (m == nullptr) {
            free(h);
            return nullptr;
        }
        h = static_cast<qor_alloc_header_t*>(m);
        h->size = size;
        return h + 1;
    }
    QOR_ASSERT(a->flags & QOR_ALLOC_VARIABLE);
    lock(a);
    qor_alloc_link_t* b = block_header(a, word, p);
    size_t old = block_size(a, b);
    if (old >= size) {
        unlock(a);
        return p;
    }
    void* result;
    if (a->flags & QOR_ALLOC_PAGE_GUARD) {
        // A new block laid out for the new size; the old one is freed.
        result = take_block(a, size, true);
        if (result != nullptr)
            memcpy(result, p, old);
        release_block(a, word, p);
    } else {
        check_guards(a);
        if (a->flags & kDebugFlags)
            QOR_ASSERT(list_contains(&a->alloc_list, b));
        list_unlink(b);
        qor_alloc_link_t* r = resize(a, b, size);
        if (r == nullptr) {
            list_push_head(&a->free_list, b);
            a->free++;
            if (a->flags & QOR_ALLOC_STATS)
                stats_freed(a, old);
            result = nullptr;
        } else {
            list_push_tail(&a->alloc_list, r);
            if (a->flags & QOR_ALLOC_STATS) {
                long grown = static_cast<long>(size - old);
                stat_add(a, qor_stat_bytes_available, -grown);
                stat_add(a, qor_stat_bytes_allocated, grown);
                stat_add(a, qor_stat_bytes_outstanding, grown);
                if (grown + static_cast<long>(old) >
                    a->stats[qor_stat_max_block])
                    a->stats[qor_stat_max_block] = static_cast<long>(size);
            }
            result = block_data(a, r);
        }
    }
    unlock(a);
    return result;
}

void qor_allocator_gc(qor_allocator_t allocator)
{
    if (allocator == nullptr)
        return;
    lock(allocator);
    check_guards(allocator);
    if (allocator->flags & (QOR_ALLOC_PAGE_GUARD | QOR_ALLOC_STATS)) {
        long blocks = 0;
        long bytes = 0;
        qor_alloc_link_t* q = &allocator->alloc_list;
        for (qor_alloc_link_t* b = q->next; b != q; b = b->next) {
            if (allocator->flags & QOR_ALLOC_PAGE_GUARD)
                page_close(allocator, b);
            blocks++;
            bytes += static_cast<long>(block_size(allocator, b));
        }
        if (allocator->flags & QOR_ALLOC_STATS) {
            stat_add(allocator, qor_stat_blocks_available, blocks);
            stat_add(allocator, qor_stat_blocks_gced, blocks);
            stat_add(allocator, qor_stat_blocks_outstanding, -blocks);
            stat_add(allocator, qor_stat_bytes_available, bytes);
            stat_add(allocator, qor_stat_bytes_gced, bytes);
            stat_add(allocator, qor_stat_bytes_outstanding, -bytes);
        }
    }
    list_splice_head(&allocator->free_list, &allocator->alloc_list);
    allocator->free = allocator->total;
    QOR_ASSERT(qor_alloc_QIsEmpty(&allocator->alloc_list));
    unlock(allocator);
}

unsigned qor_allocator_flags(qor_allocator_t a)
{
    return a->flags;
}

void qor_allocator_dump_stats(qor_allocator_t a)
{
    if (a == nullptr)
        return;
    long values[qor_stat_count];
    lock(a);
    memcpy(values, a->stats, sizeof values);
    unlock(a);
    for (int i = 0; i < qor_stat_count; i++) {
        printf(kStatLabels[i], values[i]);
        putchar('\n');
    }
    fflush(stdout);
}
