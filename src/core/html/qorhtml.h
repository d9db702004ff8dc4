// qorhtml.h: QORHTML, escaping and unescaping of the HTML special characters
// in text that the web-server adapter places into pages it generates, and
// the entity texts it uses.
#pragma once
#include "core/buffers/qorstring.h"
#include "core/system/qorstatus.h"

// The entities, as views with the plain comparator and hasher.
extern const QORStringRef qor_html_amp;  // "&amp;"
extern const QORStringRef qor_html_gt;   // "&gt;"
extern const QORStringRef qor_html_lt;   // "&lt;"
extern const QORStringRef qor_html_quot; // "&quot;"

class QORHTML {
public:
    // True when text holds "<", ">" or a double quote ("&" alone is harmless).
    static bool tainted(const QORStringRefT<char>& text);

    // Appends in to out with double quote, "&", "<" and ">" written as their
    // entities. With numeric, control bytes (below 0x20), ":", "'" and "\"
    // are written as decimal references ("&#58;"); bytes of 0x80 and above
    // are always copied, so UTF-8 text stays intact. 0 or qor_s_no_memory,
    // in which case out is unchanged.
    static QORStatus escape(const QORStringRefT<char>& in, QORStringT<char>* out,
                            bool numeric);

    // Appends in to out with the four entities above (case-sensitive) turned
    // back into their characters, one level only; numeric references and
    // any other "&" are copied. 0 or qor_s_no_memory (out unchanged).
    static QORStatus unescape(const QORStringRefT<char>& in,
                              QORStringT<char>* out);
};
