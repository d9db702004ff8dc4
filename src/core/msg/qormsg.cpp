// qormsg.cpp: message lookup: catalogues opened once and cached by file
// name, registered tables in a hash map, the library's own tables by binary
// search; texts copied out in UTF-8 or converted to the local code page.
#include "core/msg/qormsg.h"

#include <nl_types.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>
#include "core/msg/qormsgid.h"
#include "core/platform/qorlox.h"
#include "core/system/qorinstallpath.h"
#include "core/system/qorsyserr.h"
#include "core/threads/qorthread.h"

namespace {

// The id whose text stands for status 0 in dx_error_inq_text.
const uint32_t kStatusZeroId = 0x10652209;

const nl_catd kNoCatalogue = reinterpret_cast<nl_catd>(-1);

struct Catalogue {
    char name[DX_MSG_CATALOGUE_NAME_LEN];
    nl_catd handle;   // kNoCatalogue when the open failed: not tried again
};

struct OwnTable {
    const dx_msg_table_t* rows;
    const int* count;
};

const OwnTable kOwnTables[] = {
    {qor_pic_msg_table, &qor_pic_msg_count},
    {qor_pco_msg_table, &qor_pco_msg_count},
    {qor_svc_msg_table, &qor_svc_msg_count},
};

// Lookups hold the lock shared while they read a catalogue or a table and
// copy the text out (catgets' result lives until catclose); opening a
// catalogue, registering a table and closing take it exclusively.
struct MsgState {
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
    bool settingsRead = false;
    bool useCatalogues = true;
    bool debug = false;
    std::vector<Catalogue> catalogues;
    std::unordered_map<uint32_t, const char*> defined;
};

// Built in static storage on first use (nothing to allocate, so nothing to
// throw) and never destroyed, so that lookups from threads still running at
// exit stay safe.
MsgState& state()
{
    alignas(MsgState) static unsigned char storage[sizeof(MsgState)];
    static MsgState* s = new (storage) MsgState;
    return *s;
}

const char* ownText(uint32_t id)
{
    for (const OwnTable& t : kOwnTables) {
        int lo = 0;
        int hi = *t.count;
        while (lo < hi) {
            int mid = lo + (hi - lo) / 2;
            if (t.rows[mid].id < id)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo < *t.count && t.rows[lo].id == id)
            return t.rows[lo].text;
    }
    return nullptr;
}

bool isOwnTable(const dx_msg_table_t* table)
{
    for (const OwnTable& t : kOwnTables) {
        if (t.rows == table)
            return true;
    }
    return false;
}

// REQUIRES: s.lock held exclusively.
void readSettings(MsgState& s)
{
    s.useCatalogues = getenv("SVC_NOXPGCAT") == nullptr;
    s.debug = getenv("DXSVC_DEBUG_MSG") != nullptr;
    s.settingsRead = true;
}

// REQUIRES: s.lock held (either way).
const Catalogue* findCatalogue(const MsgState& s, const char* name)
{
    for (const Catalogue& c : s.catalogues) {
        if (strcmp(c.name, name) == 0)
            return &c;
    }
    return nullptr;
}

// Opens name through NLSPATH in the LC_MESSAGES locale and remembers the
// outcome. Null when it cannot be remembered (the lookup then goes on
// without the catalogue and the next one tries again).
// REQUIRES: s.lock held exclusively.
const Catalogue* openCatalogue(MsgState& s, const char* name)
{
    if (s.debug) {
        const char* nlspath = getenv("NLSPATH");
        const char* loxdir = getenv("LOXDIR");
        fprintf(stderr, "NLSPATH=%s\n", nlspath ? nlspath : "");
        fprintf(stderr, "LOXDIR=%s\n", loxdir ? loxdir : "");
    }
    errno = 0;
    Catalogue c;
    snprintf(c.name, sizeof(c.name), "%s", name);
    c.handle = catopen(name, NL_CAT_LOCALE);
    if (s.debug) {
        QORStatus st = 0;
        if (c.handle == kNoCatalogue)
            st = qor_sys_status(errno != 0 ? errno : ENOENT);
        fprintf(stderr, "catopen(%s) status = %8.8x\n", name, (unsigned)st);
    }
    try {
        s.catalogues.push_back(c);
    } catch (const std::bad_alloc&) {
        if (c.handle != kNoCatalogue)
            catclose(c.handle);
        return nullptr;
    }
    return &s.catalogues.back();
}

// Byte length of the UTF-8 sequence that lead starts (1 for a stray byte).
size_t utf8SequenceLength(unsigned char lead)
{
    return lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
}

// utf8 in code set cs as a new string; characters cs cannot represent, and
// bytes that do not decode, become '?'.
char* convertToCodeSet(lox_cs_t cs, const char* utf8)
{
    size_t length = strlen(utf8);
    size_t room = length * lox_cs_mb_max(cs) + 1;
    char* out = static_cast<char*>(malloc(room));
    if (out == nullptr)
        return nullptr;
    if (lox_from_utf8(cs, utf8, static_cast<int>(length), out,
                      static_cast<int>(room)) >= 0)
        return out;

    lox_cs_t from = lox_cs_utf8();
    size_t o = 0;
    for (size_t i = 0; i < length;) {
        lox_unichar_t wc;
        char mb[LOX_MB_LEN_MAX];
        int n = lox_mbtowc(from, &wc, utf8 + i, length - i);
        int m = n > 0 ? lox_wctomb(cs, mb, wc) : -1;
        if (m > 0) {
            memcpy(out + o, mb, m);
            o += m;
        } else {
            out[o++] = '?';
        }
        if (n <= 0) {
            n = static_cast<int>(utf8SequenceLength(utf8[i]));
            if (static_cast<size_t>(n) > length - i)
                n = static_cast<int>(length - i);
        }
        i += n;
    }
    out[o] = '\0';
    return out;
}

char* copyText(const char* utf8, bool local)
{
    lox_cs_t cs = local ? lox_cs_local() : nullptr;
    if (cs == nullptr || lox_cs_is_utf8(cs))
        return strdup(utf8);
    return convertToCodeSet(cs, utf8);
}

// REQUIRES: s.lock held (either way).
char* textLocked(const MsgState& s, uint32_t id, const Catalogue* c,
                 bool local, QORStatus* status)
{
    const char* text = nullptr;
    if (c != nullptr && c->handle != kNoCatalogue)
        text = catgets(c->handle, dx_msg_c_catalogue_set,
                       dx_msg_catalogue_number(id), nullptr);
    if (text == nullptr) {
        auto it = s.defined.find(id);
        text = it != s.defined.end() ? it->second : ownText(id);
    }
    if (text == nullptr) {
        *status = qor_s_not_available;
        return nullptr;
    }
    char* copy = copyText(text, local);
    *status = copy != nullptr ? qor_s_ok : qor_s_no_memory;
    return copy;
}

// The text of id as a new string, or null with qor_s_not_available (no
// text) or qor_s_no_memory.
char* lookup(uint32_t id, bool local, QORStatus* status)
{
    MsgState& s = state();
    char name[DX_MSG_CATALOGUE_NAME_LEN];
    bool hasCatalogue = dx_msg_catalogue_name(id, name, sizeof(name)) == 0;
    {
        QORReadLock guard(s.lock);
        if (s.settingsRead) {
            if (!hasCatalogue || !s.useCatalogues)
                return textLocked(s, id, nullptr, local, status);
            const Catalogue* c = findCatalogue(s, name);
            if (c != nullptr)
                return textLocked(s, id, c, local, status);
        }
    }
    QORWriteLock guard(s.lock);
    if (!s.settingsRead)
        readSettings(s);
    const Catalogue* c = nullptr;
    if (hasCatalogue && s.useCatalogues) {
        c = findCatalogue(s, name);
        if (c == nullptr)
            c = openCatalogue(s, name);
    }
    return textLocked(s, id, c, local, status);
}

char* getMsg(uint32_t id, bool local, QORStatus* status)
{
    QORStatus st;
    char* text = lookup(id, local, &st);
    if (st == qor_s_not_available) {
        char unknown[64];
        snprintf(unknown, sizeof(unknown), "Unknown message number 0x%8.8lx",
                 (unsigned long)id);
        text = strdup(unknown);
        if (text == nullptr)
            st = qor_s_no_memory;
    }
    if (status != nullptr)
        *status = st;
    return text;
}

// Drops a UTF-8 character that truncation cut short at the end of text.
void trimPartialUtf8(char* text)
{
    size_t length = strlen(text);
    size_t start = length;
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xc0) == 0x80)
        start--;
    if (start > 0 && start - 1 + utf8SequenceLength(text[start - 1]) > length)
        text[start - 1] = '\0';
}

void inqText(uint32_t status, char* buffer, int* st, bool local)
{
    int result = -1;
    if (buffer != nullptr) {
        uint32_t id = status != 0 ? status : kStatusZeroId;
        const char* technology = nullptr;
        char component[4];
        bool known = dx_msg_id_facility(id, &technology, component) == 0;
        if (known && strcmp(technology, "dce") == 0)
            technology = "dx";
        QORStatus found;
        char* text = lookup(id, local, &found);
        int n;
        if (text != nullptr && known)
            n = snprintf(buffer, DX_C_ERROR_STRING_LEN, "%s (%s / %s)", text,
                         technology, component);
        else if (text != nullptr)
            n = snprintf(buffer, DX_C_ERROR_STRING_LEN,
                         "%s (unknown facility)", text);
        else if (known)
            n = snprintf(buffer, DX_C_ERROR_STRING_LEN,
                         "status 0x%8.8lx (%s / %s)", (unsigned long)id,
                         technology, component);
        else
            n = snprintf(buffer, DX_C_ERROR_STRING_LEN,
                         "status 0x%8.8lx (unknown facility)",
                         (unsigned long)id);
        if (n >= DX_C_ERROR_STRING_LEN &&
            (!local || lox_cs_is_utf8(lox_cs_local())))
            trimPartialUtf8(buffer);
        result = text != nullptr ? 0 : -1;
        free(text);
    }
    if (st != nullptr)
        *st = result;
}

void closeCatalogues(MsgState& s)
{
    for (const Catalogue& c : s.catalogues) {
        if (c.handle != kNoCatalogue)
            catclose(c.handle);
    }
    s.catalogues.clear();
    s.settingsRead = false;
}

} // namespace

extern "C" void dx_msg_define_msg_table(const dx_msg_table_t* table,
                                        int count, QORStatus* status)
{
    QORStatus st = qor_s_ok;
    if (count < 0 || (table == nullptr && count > 0)) {
        st = qor_s_invalid_argument;
    } else if (!isOwnTable(table)) {
        MsgState& s = state();
        QORWriteLock guard(s.lock);
        try {
            for (int i = 0; i < count; i++)
                s.defined[table[i].id] = table[i].text;
        } catch (const std::bad_alloc&) {
            st = qor_s_no_memory;
        }
    }
    if (status != nullptr)
        *status = st;
}

extern "C" char* dx_msg_get_msg(uint32_t id, QORStatus* status)
{
    return getMsg(id, true, status);
}

extern "C" char* dx_msg_get_msg_utf8(uint32_t id, QORStatus* status)
{
    return getMsg(id, false, status);
}

extern "C" void dx_error_inq_text(uint32_t status, dx_error_string_t buffer,
                                  int* st)
{
    inqText(status, buffer, st, true);
}

extern "C" void dx_error_inq_text_utf8(uint32_t status,
                                       dx_error_string_t buffer, int* st)
{
    inqText(status, buffer, st, false);
}

extern "C" void dx_msg_shutdown(void)
{
    MsgState& s = state();
    QORWriteLock guard(s.lock);
    closeCatalogues(s);
    std::unordered_map<uint32_t, const char*>().swap(s.defined);
}

extern "C" void dx_msg_reset_catalogues(void)
{
    MsgState& s = state();
    QORWriteLock guard(s.lock);
    closeCatalogues(s);
}

extern "C" QORStatus dx_msg_nlspath_value(const char* previous, char** value)
{
    if (value == nullptr)
        return qor_s_invalid_argument;
    const char* dir;
    QORStatus st = qor_install_path(qor_path_nls_msg, &dir);
    if (st != qor_s_ok)
        return st;
    int dirLength = static_cast<int>(strlen(dir));
    while (dirLength > 1 && dir[dirLength - 1] == '/')
        dirLength--;
    bool more = previous != nullptr && previous[0] != '\0';
    char* text = nullptr;
    if (asprintf(&text, "%.*s/%%L/%%N:%.*s/%%L/%%N.cat%s%s", dirLength, dir,
                 dirLength, dir, more ? ":" : "", more ? previous : "") < 0)
        return qor_s_no_memory;
    *value = text;
    return qor_s_ok;
}

extern "C" QORStatus dx_msg_setup_nlspath(void)
{
    const char* dir;
    QORStatus st = qor_install_path(qor_path_nls_msg, &dir);
    if (st != qor_s_ok)
        return st;
    // The directory with a single '/' after it, as the value writes it.
    size_t dirLength = strlen(dir);
    while (dirLength > 1 && dir[dirLength - 2] == '/')
        dirLength--;
    char* needle = strndup(dir, dirLength);
    if (needle == nullptr)
        return qor_s_no_memory;
    const char* current = getenv("NLSPATH");
    bool named = current != nullptr && strstr(current, needle) != nullptr;
    free(needle);
    if (named)
        return qor_s_ok;
    char* value = nullptr;
    st = dx_msg_nlspath_value(current, &value);
    if (st != qor_s_ok)
        return st;
    int rc = setenv("NLSPATH", value, 1);
    free(value);
    return rc == 0 ? qor_s_ok : qor_sys_status(errno);
}
