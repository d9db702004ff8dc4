// qordecisionboard.cpp: mapping the decision board and reading it.
#include "msg/core/qordecisionboard.h"
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cstring>
#include <string>

QORDecisionBoard::~QORDecisionBoard()
{
    unmap();
}

void QORDecisionBoard::unmap()
{
    if (m_mapped)
        (void)munmap(m_board, sizeof *m_board);  // nothing to do if it fails
    m_board = nullptr;
    m_mapped = false;
}

QORStatus QORDecisionBoard::open(const char* serverID, bool writable)
{
    unmap();
    std::string path = std::string(serverID) + ".decisions";
    int fd = writable ? ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)
                      : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return qor_s_system_call_failed;
    // A plug-in maps only a board the server has made whole.
    off_t size = lseek(fd, 0, SEEK_END);
    bool ok = writable ? ftruncate(fd, sizeof *m_board) == 0
                       : size >= static_cast<off_t>(sizeof *m_board);
    void* p = ok ? mmap(nullptr, sizeof *m_board, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                        MAP_SHARED, fd, 0)
                 : MAP_FAILED;
    close(fd);
    if (p == MAP_FAILED)
        return qor_s_system_call_failed;
    m_board = static_cast<QORDecisionBoardLayout*>(p);
    m_mapped = true;
    return qor_s_ok;
}

void QORDecisionBoard::withdraw(const char* serverID)
{
    if (m_board != nullptr)
        __atomic_store_n(&m_board->magic, 0u, __ATOMIC_RELEASE);
    unmap();
    (void)unlink((std::string(serverID) + ".decisions").c_str());  // gone already is as good
}

void QORDecisionBoard::openLocal(QORDecisionBoardLayout* memory)
{
    unmap();
    m_board = memory;
}

void QORDecisionBoard::publish(const char* run, uint64_t generation)
{
    if (m_board == nullptr)
        return;
    if (memcmp(m_board->server, run, sizeof m_board->server) != 0) {
        // Another run: no process may match the old identifier meanwhile.
        __atomic_store_n(&m_board->magic, 0u, __ATOMIC_RELEASE);
        memcpy(m_board->server, run, sizeof m_board->server);
    }
    __atomic_store_n(&m_board->generation, static_cast<uint32_t>(generation), __ATOMIC_RELEASE);
    __atomic_store_n(&m_board->magic, kMagic, __ATOMIC_RELEASE);
}

bool QORDecisionBoard::names(const char* run, uint64_t generation) const
{
    if (m_board == nullptr || __atomic_load_n(&m_board->magic, __ATOMIC_ACQUIRE) != kMagic
        || __atomic_load_n(&m_board->generation, __ATOMIC_ACQUIRE)
               != static_cast<uint32_t>(generation))
        return false;
    return strlen(run) == sizeof m_board->server
           && memcmp(m_board->server, run, sizeof m_board->server) == 0;
}
