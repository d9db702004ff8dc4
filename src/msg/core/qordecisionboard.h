// qordecisionboard.h: QORDecisionBoard, a small file beside the server ID's
// (its path with ".decisions" appended) through which the authorization
// server shows every web-server process at once the run and generation of
// the decision mark (msg/core/qordecisionmark.h). The server maps it
// writable and raises the generation there the moment an answer may no
// longer hold; a plug-in maps it read-only and applies a kept answer only
// while the board still names the run and generation it was kept under, so
// a logout or a reload is seen by the next request in every process, not
// only in the one that handled it.
#pragma once
#include <cstddef>
#include <cstdint>
#include "core/system/qorstatus.h"

// The file's layout, written once by the server.
struct QORDecisionBoardLayout {
    uint32_t magic;
    // The low 32 bits of the generation; written last, atomically.
    uint32_t generation;
    // The run identifier as hexadecimal digits, not terminated.
    char server[32];
};
static_assert(sizeof(QORDecisionBoardLayout) == 40, "the board's layout");
static_assert(offsetof(QORDecisionBoardLayout, generation) == 4, "the board's layout");
static_assert(offsetof(QORDecisionBoardLayout, server) == 8, "the board's layout");

class QORDecisionBoard {
public:
    static constexpr uint32_t kMagic = 0x43445844;  // "DXDC"

    QORDecisionBoard() = default;
    ~QORDecisionBoard();
    QORDecisionBoard(const QORDecisionBoard&) = delete;
    QORDecisionBoard& operator=(const QORDecisionBoard&) = delete;

    // Maps the board of serverID: writable (made, mode 0644, when missing)
    // for the server, read-only for a plug-in. qor_s_system_call_failed
    // when it cannot be had.
    QORStatus open(const char* serverID, bool writable);
    // The server, stopping: no plug-in applies a kept answer any more, and
    // the file goes.
    void withdraw(const char* serverID);
    // Over memory the caller owns (tests).
    void openLocal(QORDecisionBoardLayout* memory);
    bool isOpen() const { return m_board != nullptr; }

    // The server: shows run (32 hexadecimal digits) and generation.
    void publish(const char* run, uint64_t generation);
    // A plug-in: whether the board names run and generation.
    bool names(const char* run, uint64_t generation) const;

private:
    void unmap();

    QORDecisionBoardLayout* m_board = nullptr;
    bool m_mapped = false;
};
