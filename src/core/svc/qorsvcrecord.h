// qorsvcrecord.h: one serviceability record (a message or a debug line) and
// its two written forms: the text form (prefix line, then the text) for
// standard streams and text files, and the XML element for XML routes. The
// router renders each form at most once per record, in UTF-8.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/time.h>

class QORSvcText;

struct QORSvcRecord {
    bool debug;
    bool noPrefix;          // attribute bit 0x8000
    uint32_t msgid;         // messages
    int severity;           // messages: index into dx_svc_g_code_table
    unsigned level;         // debug records: 1-9
    const char* component;
    const char* subcomponent;
    const char* file;       // the path as given; the base name is shown
    int line;
    unsigned long thread;
    long pid;
    const char* progname;   // null: "PID#<pid>"
    struct timeval when;
    const char* text;       // UTF-8
    size_t textLength;
    char** params;          // messages: rendered arguments, UTF-8
    int paramCount;
};

// "2024-05-01-13:45:07.123+02:00": local time, milliseconds, zone offset.
enum { qor_svc_time_stamp_size = 48 };
void qor_svc_time_stamp(const struct timeval& when,
                        char stamp[qor_svc_time_stamp_size]);

// Appends the record's text form: the prefix (unless the record has none,
// or is a debug record and brief is set; brief makes a message's prefix end
// in a blank instead of a newline), the text and a newline.
bool qor_svc_record_text(const QORSvcRecord& record, bool brief,
                         QORSvcText& out);

// Appends the record's XML element (<Trace> or <Message>) and a newline.
bool qor_svc_record_xml(const QORSvcRecord& record, QORSvcText& out);

// The catalogue a message id's text comes from ("dxpic.cat", "unknown" for
// an id without one) and the message's number in it.
void qor_svc_catalog_of(uint32_t msgid, char name[32], unsigned long* key);
