// qorstatus.h: the status every library operation returns. 0 is success;
// failures are message ids, so a status can always be reported as text.
#pragma once
#include <cstdint>

// The integer behind a status; enumerations of statuses use it as their
// underlying type.
typedef uint32_t QORStatusCode;

#ifdef DXQOR_CHECK_STATUS
// The checking build (-DDXQOR_CHECK_STATUS=ON): a status is a class the
// compiler will not let a caller drop. It converts to and from the integer
// implicitly, so every use that compiles in an ordinary build compiles here,
// except a call whose status is neither used nor cast to void.
class [[nodiscard]] QORStatus {
public:
    QORStatus() = default;
    constexpr QORStatus(QORStatusCode code) : m_code(code) {}
    constexpr operator QORStatusCode() const { return m_code; }

private:
    QORStatusCode m_code;
};
static_assert(sizeof(QORStatus) == sizeof(QORStatusCode), "a status is 32 bits");
#else
typedef QORStatusCode QORStatus;
#endif

// Library messages are numbered from this base ("XLTIC" texts); the
// configuration tools' messages ("XLTCO" texts) from the second.
#define QOR_MSG_BASE   0x35f02000u
#define QOR_CO_MSG_BASE 0x35e1e000u
#define QOR_MSG_ID(n)  ((QORStatusCode)(QOR_MSG_BASE + (n)))

enum : QORStatusCode {
    qor_s_ok                 = 0,
    // Absent rather than failed: callers test for these two.
    qor_s_not_supported      = QOR_MSG_ID(1),    // XLTIC0001E
    qor_s_not_available      = QOR_MSG_ID(2),    // XLTIC0002E
    qor_s_no_memory          = QOR_MSG_ID(12),   // XLTIC0012E
    qor_s_invalid_argument   = QOR_MSG_ID(53),   // 0x35f02035
    // What an adapter answers when asked for a client certificate or for
    // web-server authentication, besides 0 and qor_s_not_available (asked,
    // the answer comes later): a transitional response has been set
    // (XLTIC0007I), nothing to do; or the request is to go on as it is.
    qor_s_transitional_rsp   = QOR_MSG_ID(0x7),
    qor_s_requires_continue  = QOR_MSG_ID(0x2b4),
    qor_s_conversion_failed  = QOR_MSG_ID(54),   // 0x35f02036
    qor_s_system_call_failed = QOR_MSG_ID(55),   // XLTIC0055E
    qor_s_wc_to_mb_failed    = QOR_MSG_ID(57),   // 0x35f02039
    qor_s_mb_to_wc_failed    = QOR_MSG_ID(59),   // 0x35f0203b
    qor_s_thread_init_failed = QOR_MSG_ID(320),  // XLTIC0320E
    qor_s_bad_utf8           = QOR_MSG_ID(1143), // XLTIC1143E
    // System errors the library meets, by errno (core/system/qorsyserr.h).
    qor_s_permission_denied  = QOR_MSG_ID(1536), // 0x35f02600
    qor_s_not_found          = QOR_MSG_ID(1537), // 0x35f02601
    qor_s_exists             = QOR_MSG_ID(1538), // 0x35f02602
    qor_s_busy               = QOR_MSG_ID(1539), // 0x35f02603
    qor_s_interrupted        = QOR_MSG_ID(1540), // 0x35f02604
    qor_s_no_space           = QOR_MSG_ID(1541), // 0x35f02605
    qor_s_removed            = QOR_MSG_ID(1542), // 0x35f02606
    qor_s_out_of_range       = QOR_MSG_ID(1543), // 0x35f02607
    qor_s_timed_out          = QOR_MSG_ID(1544), // 0x35f02608
    qor_s_bad_handle         = QOR_MSG_ID(1545), // 0x35f02609
    qor_s_too_many_files     = QOR_MSG_ID(1546), // 0x35f0260a
    qor_s_deadlock           = QOR_MSG_ID(1547), // 0x35f0260b
    qor_s_name_too_long      = QOR_MSG_ID(1548), // 0x35f0260c
    qor_s_system_error       = QOR_MSG_ID(1549), // 0x35f0260d, any other errno
    // Shared-library loading (core/system/qordl.h).
    qor_s_module_load_failed = QOR_MSG_ID(1550), // 0x35f0260e
    qor_s_symbol_not_found   = QOR_MSG_ID(1551), // 0x35f0260f
};
