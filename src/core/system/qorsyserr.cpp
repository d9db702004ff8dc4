// qorsyserr.cpp: errno texts through strerror_r, errno <-> status by table.
#include "core/system/qorsyserr.h"

#include <cerrno>
#include <cstring>

namespace {

struct ErrnoStatus {
    int err;
    QORStatus status;
};

// The first row of a status is the errno it maps back to. EWOULDBLOCK has
// EAGAIN's value on Linux, so one row serves both.
const ErrnoStatus kErrnoStatus[] = {
    {ENOMEM, qor_s_no_memory},
    {EINVAL, qor_s_invalid_argument},
    {EACCES, qor_s_permission_denied},
    {EPERM, qor_s_permission_denied},
    {ENOENT, qor_s_not_found},
    {EEXIST, qor_s_exists},
    {EAGAIN, qor_s_busy},
    {EBUSY, qor_s_busy},
    {EINTR, qor_s_interrupted},
    {ENOSPC, qor_s_no_space},
    {EIDRM, qor_s_removed},
    {ERANGE, qor_s_out_of_range},
    {ETIMEDOUT, qor_s_timed_out},
    {EBADF, qor_s_bad_handle},
    {EMFILE, qor_s_too_many_files},
    {ENFILE, qor_s_too_many_files},
    {EDEADLK, qor_s_deadlock},
    {ENAMETOOLONG, qor_s_name_too_long},
};
static_assert(EWOULDBLOCK == EAGAIN, "EWOULDBLOCK needs a row of its own");

// glibc offers the GNU strerror_r (returns the text) under _GNU_SOURCE and
// the XSI one (returns 0 and fills buf) otherwise; these pick the text from
// whichever is in use.
[[maybe_unused]] const char* strerrorResult(char* text, char*)
{
    return text;
}

[[maybe_unused]] const char* strerrorResult(int rc, char* buf)
{
    return rc == 0 ? buf : nullptr;
}

} // namespace

extern "C" const char* qor_sys_strerror(int err, char* buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return "Unknown system error";
    buf[0] = '\0';
    const char* text = strerrorResult(strerror_r(err, buf, size), buf);
    if (text == nullptr || text[0] == '\0')
        return "Unknown system error";
    return text;
}

extern "C" QORStatus qor_sys_status(int err)
{
    if (err == 0)
        return qor_s_ok;
    for (const ErrnoStatus& e : kErrnoStatus) {
        if (e.err == err)
            return e.status;
    }
    return qor_s_system_error;
}

extern "C" int qor_sys_errno(QORStatus status)
{
    if (status == qor_s_ok)
        return 0;
    for (const ErrnoStatus& e : kErrnoStatus) {
        if (e.status == status)
            return e.err;
    }
    return -1;
}
