// qoripcstatus.h: the statuses of the shared-memory channel to the
// authorization server: segments, semaphores and the worker pool.
#pragma once
#include "core/system/qorstatus.h"

enum : QORStatus {
    qor_s_ipc_bad_worker_buffer = QOR_MSG_ID(0x202), // XLTIC0514E
    qor_s_ipc_bad_parameter     = QOR_MSG_ID(0x203), // XLTIC0515E
    qor_s_ipc_key_failed        = QOR_MSG_ID(0x208), // XLTIC0520E
    qor_s_ipc_exists            = QOR_MSG_ID(0x209), // XLTIC0521E
    qor_s_ipc_removed           = QOR_MSG_ID(0x20a), // XLTIC0522E
    qor_s_ipc_no_segment        = QOR_MSG_ID(0x20b), // XLTIC0523E
    qor_s_ipc_no_memory         = QOR_MSG_ID(0x20c), // XLTIC0524E
    qor_s_ipc_limit             = QOR_MSG_ID(0x20d), // XLTIC0525E
    qor_s_ipc_would_block       = QOR_MSG_ID(0x20e), // XLTIC0526E
    qor_s_ipc_interrupted       = QOR_MSG_ID(0x20f), // XLTIC0527E
    qor_s_ipc_invalid_id        = QOR_MSG_ID(0x210), // XLTIC0528E
    qor_s_ipc_internal          = QOR_MSG_ID(0x211), // XLTIC0529E
    qor_s_ipc_abandoned         = QOR_MSG_ID(0x213), // XLTIC0531E
    qor_s_ipc_access            = QOR_MSG_ID(0x217), // XLTIC0535E
    qor_s_ipc_detach_pool_mgr   = QOR_MSG_ID(0x219), // XLTIC0537E
    qor_s_ipc_detach_worker     = QOR_MSG_ID(0x21a), // XLTIC0538E
    qor_s_ipc_worker_reset      = QOR_MSG_ID(0x21f), // XLTIC0543W
    qor_s_ipc_too_many_segments = QOR_MSG_ID(0x221),
    qor_s_ipc_answer_timeout    = QOR_MSG_ID(0x222), // XLTIC0546E
    qor_s_ipc_no_free_worker    = QOR_MSG_ID(0x223), // XLTIC0547E
    qor_s_ipc_question_too_large = QOR_MSG_ID(0x224), // XLTIC0548E
    qor_s_ipc_refresh_timeout   = QOR_MSG_ID(0x225), // XLTIC0549E
};

// The two statuses by which a removed or recreated server object shows; the
// pool and the dispatcher recover from exactly these by looking it up again.
inline bool qor_ipc_object_gone(QORStatus st)
{
    return st == qor_s_ipc_removed || st == qor_s_ipc_invalid_id;
}
