// qorstanza.h: reader and editor of stanza files, the configuration files
// made of "[name]" headings each followed by "name = value" lines. The core
// reads its virtual hosts through it in file mode; the configuration manager
// reads every schema-driven stanza through it in memory mode.
//
// Syntax, as the scanner reads it: lines of at most 511 bytes (a longer line
// is read, and parsed, as several); each line is converted from the local
// code page to 16-bit characters; blank lines and lines starting with '#'
// (after leading white space) are skipped; "[name]" starts a stanza (the
// name is taken exactly as written, text after ']' is ignored); any other
// line is "name = value" where the name loses its trailing white space and
// the value its leading white space, everything from the first '#' on, and
// then its trailing white space. An empty value is no value (null). Entries
// before the first heading belong to no stanza. Names compare with strcmp.
//
// A handle is not thread-safe. Between processes the file is guarded by an
// fcntl record lock on the whole file, held for the life of a file-mode
// handle and during the load of a memory-mode handle. As with every fcntl
// lock, the process loses it when it closes any other descriptor of the file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include "core/system/qorstatus.h"
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
// Open-mode flags.
enum : uint32_t {
    QOR_STZ_READ_ONLY = 1,  // "r", shared lock
    QOR_STZ_UPDATE = 2,     // "r+", exclusive lock, edits allowed
    QOR_STZ_NO_WAIT = 4,    // fail with qor_s_stz_would_block, do not wait
    QOR_STZ_IN_MEMORY = 8,  // load at open, then unlock and close
};

// Statuses left in the handle or returned by open, and the messages that
// are logged before some of them (those carry inserts).
enum : QORStatusCode {
    qor_s_stz_wc_conversion_msg = QOR_MSG_ID(58),  // text; logged
    qor_s_stz_mb_conversion_msg = QOR_MSG_ID(60),  // line; logged
    qor_s_stz_open_failed = QOR_MSG_ID(192),
    qor_s_stz_not_open = QOR_MSG_ID(194),
    qor_s_stz_null_argument = QOR_MSG_ID(195),
    qor_s_stz_read_failed = QOR_MSG_ID(196),
    qor_s_stz_update_failed = QOR_MSG_ID(197),
    qor_s_stz_bad_entry_msg = QOR_MSG_ID(198),     // line, stanza; logged
    qor_s_stz_no_separator = QOR_MSG_ID(199),
    qor_s_stz_bad_heading_msg = QOR_MSG_ID(200),   // text; logged
    qor_s_stz_no_bracket = QOR_MSG_ID(201),
    qor_s_stz_lock_error_msg = QOR_MSG_ID(202),    // error text, errno; logged
    qor_s_stz_lock_failed = QOR_MSG_ID(203),
    qor_s_stz_read_only = QOR_MSG_ID(204),
    qor_s_stz_bad_argument = QOR_MSG_ID(205),
    qor_s_stz_would_block = QOR_MSG_ID(206),
    qor_s_stz_no_permission = QOR_MSG_ID(207),
    qor_s_stz_no_memory = QOR_MSG_ID(208),
    qor_s_stz_not_present = QOR_MSG_ID(210),
};

struct qorStanzaCache;

// The handle. Callers read stanzaName, entryName, value and status; the
// strings stay valid until the next call on the handle.
typedef struct qorStanzaFile {
    FILE* fp;                 // null after close, and in memory mode
    char* fileName;           // the path given to open
    uint32_t mode;            // the open-mode flags
    QORStatus status;         // status of the last operation
    int32_t stanzaOffset;     // where the current stanza's entries begin
    int32_t entryOffset;      // start of the current entry's line
    char* value;              // current entry's value (local code page), or null
    char* stanzaName;         // current stanza, or null
    char* entryName;          // current entry, or null
    qorStanzaCache* cache;    // memory mode: the loaded stanzas
} qorStanzaFile;

// Every function below does nothing and returns 0 when the handle is null.
// Functions returning int return a flag; the status of the last operation is
// in the handle's status (0 on success). After an error the cursor stands
// past the end until it is moved to the first stanza again.

extern "C" {

// Opens path with the flags in mode (READ_ONLY or UPDATE required; UPDATE
// and IN_MEMORY exclude each other) and positions on the first stanza and
// its first entry. Returns the handle with *status 0, or null with the
// failure in *status. In memory mode a syntax error is logged and ends the
// load; the stanzas before it are kept and the open succeeds.
qorStanzaFile* qorStzFileOpen(const char* path, unsigned mode,
                              QORStatus* status);
// Unlocks and closes the file and frees the handle with all it owns.
void qorStzFileClose(qorStanzaFile* stz);
// Scans the whole file (file mode); true when it has no syntax error.
int qorStzValidate(qorStanzaFile* stz);

// Cursor. In memory mode the stanzas come in reverse file order (a search
// for a duplicated heading finds the last one); entries keep file order.
// Makes the first stanza current, with its first entry (stanzaName null
// when the file has no stanza).
void qorStzMoveFirstStanza(qorStanzaFile* stz);
// Next stanza and its first entry; past the last one all names become null
// and the result is still true. False only on error.
int qorStzMoveNextStanza(qorStanzaFile* stz);
// First entry of the current stanza (entryName null when it has none).
int qorStzMoveFirstEntry(qorStanzaFile* stz);
// Next entry of the current stanza; at its end entryName and value become
// null, the result is true and a further call gives the same.
int qorStzMoveNextEntry(qorStanzaFile* stz);
// Positions on the first entry of the first stanza called name; false when
// there is none or on error.
int qorStzMoveStanza(qorStanzaFile* stz, const char* name);
// The current entry if it is called name, else the first entry of that name
// in the current stanza; false when there is none.
int qorStzMoveEntryInStanza(qorStanzaFile* stz, const char* name);
// qorStzMoveStanza then qorStzMoveEntryInStanza; true when both find.
int qorStzMoveEntry(qorStanzaFile* stz, const char* stanza, const char* name);
// The next entry called name after the current one, in the current stanza:
// how the values of a multi-valued entry are read one by one.
int qorStzIterateEntryInStanza(qorStanzaFile* stz, const char* name);
// Number of entries in the current stanza (0 without a current entry or
// with a status set); afterwards the cursor is on the first entry with the
// current entry's name.
unsigned qorStzStanzaSize(qorStanzaFile* stz);

// Edits: file mode opened with QOR_STZ_UPDATE only; the outcome is in the
// handle's status. Each edit replaces the file as a whole (a new file in the
// same directory, written, synced and renamed over the old one, which the
// handle then follows, keeping its lock): a failed edit leaves the file as it
// was, with qor_s_stz_update_failed. Lines written are "name = value\n" and
// headings "[name]\n"; one longer than 511 bytes, or a name or value holding
// a newline, is refused with qor_s_stz_bad_argument. Nothing is put before
// an added line, so the file should end with a newline. The new file gets
// the old one's owner and permission bits; access control lists and
// extended attributes are not carried over.
// Appends a heading unless the stanza exists; it becomes the current stanza.
void qorStzAddStanza(qorStanzaFile* stz, const char* name);
// Changes the value of the entry called name in the current stanza, or adds
// the entry at the end of the stanza (before the next heading); the entry
// becomes current.
void qorStzAddEntry(qorStanzaFile* stz, const char* name, const char* value);
// Inserts an entry just before the current entry's line; it becomes current.
void qorStzInsertEntry(qorStanzaFile* stz, const char* name,
                       const char* value);
// Rewrites the current entry's line with the new value (its comment and
// spacing are lost).
void qorStzChangeValue(qorStanzaFile* stz, const char* value);
// Removes the line of the entry; not found records qor_s_stz_not_present.
int qorStzDeleteEntry(qorStanzaFile* stz, const char* stanza,
                      const char* name);
// Removes the current entry's line. The handle's names keep the deleted
// entry; the next move reads on from the following line.
int qorStzDeleteCurrentEntry(qorStanzaFile* stz);
}

QOR_EXPORT_END

// The scanner's grammar of one line, for a reader that checks a stanza file
// line by line (to report each problem with its number) before it reads the
// file through a handle. Not part of the adapters' interface.
//
// The longest line the scanner reads as one, in bytes without its newline;
// a longer one it reads, and parses, as several.
const int QOR_STZ_MAX_LINE = 511;

enum class QORStzLine {
    skipped,        // blank, or a comment
    heading,        // "[name]", text after ']' ignored
    entry,          // "name = value"
    noBracket,      // '[' without ']' (the scanner fails: qor_s_stz_no_bracket)
    noSeparator,    // no '=', or nothing before it (qor_s_stz_no_separator)
    tooLong,        // longer than QOR_STZ_MAX_LINE
    unconvertible,  // not text in the local code page (qor_s_mb_to_wc_failed)
};

// What the scanner makes of the length bytes of line (without its newline;
// a trailing '\r' is white space, as the scanner reads it).
QORStzLine qorStzClassifyLine(const char* line, size_t length);
