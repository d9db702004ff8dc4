// qorconfigstanzaschema.h: QORConfigStanzaSchemaT, a schema that takes a
// whole stanza, whatever its entry names, into a hash table or a list of
// name/value pairs. The plain-function interface of the configuration
// manager (loadStanza) reads stanzas for the web-server adapter through the
// QORString form; the QORLCPString form keeps the text in the local code
// page.
#pragma once
#include "core/list/qorhashtable.h"
#include "core/list/qorsearchablelist.h"
#include "config_mgr/qorconfigschema.h"

// A name and its value, found in a list by name.
template <class S>
struct QORConfigPairT {
    S name;
    S value;
    // What QORSearchableList compares with a key.
    int length() const { return name.length(); }
    const char* data() const { return name.data(); }
};

typedef QORConfigPairT<QORString> qor_string_rule_pair;
typedef QORStringRef qor_string_rule_key;

// What differs between the string kinds: the view type that finds a name,
// and how text of the file (local code page) becomes a string of the kind.
template <class S>
struct QORConfigStanzaText;

template <>
struct QORConfigStanzaText<QORString> {
    typedef QORStringRef Ref;
    static QORStatus fromFile(QORString* out, const char* text);
};

template <>
struct QORConfigStanzaText<QORLCPString> {
    typedef QORLCPStringRef Ref;
    static QORStatus fromFile(QORLCPString* out, const char* text);
};

template <class S>
class QORConfigStanzaSchemaT : public QORConfigSchema {
public:
    typedef typename QORConfigStanzaText<S>::Ref Ref;
    typedef QORConfigPairT<S> Pair;

    explicit QORConfigStanzaSchemaT(const char* name);
    ~QORConfigStanzaSchemaT() override;

    // Every line of the plain and the qualified stanza must carry a name of
    // the valid-entries list (each other line is reported).
    QORStatus validate() override;
    // "[stanza]" or "[stanza:qualifier]" and the loaded names and values.
    QORStatus dumpSchema(FILE* stream) const override;
    // Equal qualifiers, stanza names and inheritance.
    bool matches(const QORConfigSchema* other) const override;
    // Adds the stanza's names and values to table (initialized, owning its
    // entries); a name already there keeps its value. With a qualifier the
    // qualified stanza is read first; the plain one after it when there is
    // no qualified stanza or when the schema inherits.
    virtual QORStatus loadData(QORHashTable<S, S>& table);
    // The same into a list of pairs (owning its entries); XLTIC0002E when
    // neither stanza exists.
    virtual QORStatus loadData(QORSearchableList<Pair, Ref>& list);
    // As the first form; names taken from the plain stanza under a qualifier
    // are also put in inherited (when given; initialized, owning entries).
    virtual QORStatus loadData(QORHashTable<S, S>& table,
                               QORHashTable<S, bool>* inherited) const;

    // The stanza (UTF-8); 0 or the conversion's status.
    QORStatus setStanza(const char* stanza);
    const char* getStanza() const { return m_stanza.c_str(); }
    // Whether the plain stanza fills in names that the qualified one lacks
    // (true after construction).
    void setInherit(bool inherit) { m_inherit = inherit; }
    bool inherits() const { return m_inherit; }
    // The names validate accepts, comma-separated (empty: none).
    bool setValidEntries(const char* names) { return m_validEntries.set(names, -1); }

private:
    // Calls add(name, value) for every line of stanza, in file order, with
    // both texts converted; *exists tells whether the stanza was found.
    template <class F>
    QORStatus readStanza(const char* stanza, bool* exists, F add) const;
    QORStatus validateStanza(const char* stanza);

    QORLCPString m_stanza;
    bool m_inherit = true;
    S m_validEntries;
};

typedef QORConfigStanzaSchemaT<QORString> QORConfigStanzaSchema;
typedef QORConfigStanzaSchemaT<QORLCPString> QORConfigLCPStanzaSchema;
