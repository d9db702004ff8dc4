// qorsvcrecord.cpp: text and XML forms of serviceability records.
#include "core/svc/qorsvcrecord.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include "core/msg/qormsgid.h"
#include "core/sundry/qorsnprintf.h"
#include "core/svc/qorsvc.h"
#include "core/svc/qorsvctext.h"

namespace {

const char* baseName(const char* path)
{
    if (path == nullptr || *path == '\0')
        return "unknown";
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const char* orUnknown(const char* s)
{
    return s ? s : "unknown";
}

// The text without one trailing newline: the record supplies its own.
size_t bodyLength(const QORSvcRecord& r)
{
    size_t n = r.textLength;
    if (n > 0 && r.text[n - 1] == '\n')
        n--;
    return n;
}

// A message's identifier is the first word of its text ("XLTIC0012E"):
// upper-case letters and digits, ending in a letter. Returns its length or 0.
size_t identifierLength(const QORSvcRecord& r)
{
    size_t n = 0;
    while (n < r.textLength && ((r.text[n] >= 'A' && r.text[n] <= 'Z') ||
                                (r.text[n] >= '0' && r.text[n] <= '9')))
        n++;
    if (n < 2 || r.text[n - 1] < 'A')
        return 0;
    if (n < r.textLength && r.text[n] != ' ' && r.text[n] != '\t' &&
        r.text[n] != '\n')
        return 0;
    return n;
}

const char* xmlLevel(unsigned level)
{
    return level <= 3 ? "MIN" : level <= 6 ? "MID" : "MAX";
}

bool appendProgname(QORSvcText& out, const QORSvcRecord& r)
{
    if (r.progname)
        return out.append(r.progname);
    return out.appendf("PID#%ld", r.pid);
}

bool appendCommonXml(QORSvcText& out, const QORSvcRecord& r)
{
    char stamp[qor_svc_time_stamp_size];
    qor_svc_time_stamp(r.when, stamp);
    long long millis = (long long)r.when.tv_sec * 1000 + r.when.tv_usec / 1000;
    out.appendf(" <Time Millis=\"%lld\">%s</Time>\n <Component>", millis,
                stamp);
    out.appendEscaped(orUnknown(r.component));
    out.append('/');
    out.appendEscaped(orUnknown(r.subcomponent));
    return out.append("</Component>\n");
}

bool appendSourceXml(QORSvcText& out, const QORSvcRecord& r)
{
    out.append(" <Source FileName=\"");
    out.appendEscaped(baseName(r.file));
    out.appendf("\" Method=\"unknown\" Line=\"%d\"></Source>\n"
                " <Process>%ld</Process>\n <Thread>0x%8.8lx</Thread>\n",
                r.line, r.pid, r.thread);
    return !out.failed();
}

bool appendLogText(QORSvcText& out, const QORSvcRecord& r)
{
    out.append(" <LogText><![CDATA[");
    out.appendCData(r.text, bodyLength(r));
    return out.append(" ]]></LogText>\n");
}

} // namespace

void qor_svc_time_stamp(const struct timeval& when,
                        char stamp[qor_svc_time_stamp_size])
{
    struct tm tm;
    time_t secs = when.tv_sec;
    localtime_r(&secs, &tm);
    long offset = tm.tm_gmtoff;
    const char* sign = offset < 0 ? "-" : "+";
    if (offset < 0)
        offset = -offset;
    qor_snprintf(stamp, qor_svc_time_stamp_size,
                 "%04d-%02d-%02d-%02d:%02d:%02d.%03d%s%02d:%02d",
                 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                 tm.tm_min, tm.tm_sec, (int)(when.tv_usec / 1000), sign,
                 (int)(offset / 3600), (int)(offset % 3600 / 60));
}

bool qor_svc_record_text(const QORSvcRecord& r, bool brief, QORSvcText& out)
{
    bool prefix = !r.noPrefix && !(r.debug && brief);
    if (prefix) {
        char stamp[qor_svc_time_stamp_size];
        char sep = brief ? ' ' : '\n';
        qor_svc_time_stamp(r.when, stamp);
        QORSvcText prog;
        appendProgname(prog, r);
        if (r.debug) {
            out.appendf("%s %s DEBUG%d %s %s %s %d 0x%8.8lx%c", stamp,
                        prog.data(), (int)r.level, orUnknown(r.component),
                        orUnknown(r.subcomponent), baseName(r.file), r.line,
                        r.thread, sep);
        } else {
            out.appendf("%s 0x%8.8lX %s %s %s %s %s %d 0x%8.8lx%c", stamp,
                        (unsigned long)r.msgid, prog.data(),
                        dx_svc_g_code_table[r.severity],
                        orUnknown(r.component), orUnknown(r.subcomponent),
                        baseName(r.file), r.line, r.thread, sep);
        }
    }
    out.append(r.text, bodyLength(r));
    return out.append('\n');
}

bool qor_svc_record_xml(const QORSvcRecord& r, QORSvcText& out)
{
    if (r.debug) {
        out.appendf("<Trace Level=\"%s\">\n", xmlLevel(r.level));
        appendCommonXml(out, r);
        appendSourceXml(out, r);
        out.appendf(" <LogAttribs><KeyName><![CDATA[Numeric Trace Level]]>"
                    "</KeyName> <Value><![CDATA[%u]]></Value></LogAttribs>\n",
                    r.level);
        appendLogText(out, r);
        return out.append("</Trace>\n");
    }
    size_t idLen = identifierLength(r);
    char last = idLen ? r.text[idLen - 1] : 'I';
    const char* severity =
        last == 'E' ? "error" : last == 'W' ? "warning" : "info";
    out.append("<Message Id=\"");
    if (idLen)
        out.append(r.text, idLen);
    else
        out.appendf("0x%8.8lx", (unsigned long)r.msgid);
    out.appendf("\" Severity=\"%s\">\n", severity);
    appendCommonXml(out, r);
    out.appendf(" <LogAttribs><KeyName><![CDATA[Message Number]]></KeyName>"
                " <Value><![CDATA[0x%8.8lx]]></Value></LogAttribs>\n",
                (unsigned long)r.msgid);
    appendSourceXml(out, r);
    char catalog[32];
    unsigned long key;
    qor_svc_catalog_of(r.msgid, catalog, &key);
    out.appendf(" <TranslationInfo Type=\"XPG4\" Catalog=\"%s\" SetId=\"1\""
                " MsgKey=\"%lu\">\n", catalog, key);
    for (int i = 0; i < r.paramCount; i++) {
        out.append("  <Param><![CDATA[");
        out.appendCData(r.params[i], strlen(r.params[i]));
        out.append("]]></Param>\n");
    }
    out.append(" </TranslationInfo>\n");
    appendLogText(out, r);
    return out.append("</Message>\n");
}

void qor_svc_catalog_of(uint32_t msgid, char name[32], unsigned long* key)
{
    if (dx_msg_catalogue_name(msgid, name, 32) != 0)
        snprintf(name, 32, "unknown");
    *key = (unsigned long)dx_msg_catalogue_number(msgid);
}
