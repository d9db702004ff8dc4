#include "core/file/qorstanza.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/platform/qorscopedlocale.h"
#include "core/svc/qorsvc.h"
#include "core/system/qorreport.h"
#include "qorchannelprocess.h"
#include "qortestdir.h"

namespace {

// What was reported, as sub-component and message.
typedef std::vector<std::pair<int, QORStatus>> Reports;
Reports g_reported;

void recordReport(const char*, int, int subcomponent, QORStatus id, va_list)
{
    g_reported.emplace_back(subcomponent, id);
}

// Every stanza and entry the cursor walks, as "[name]entry=value;".
std::string walk(qorStanzaFile* stz)
{
    std::string out;
    for (qorStzMoveFirstStanza(stz); stz->stanzaName != nullptr;
         qorStzMoveNextStanza(stz)) {
        out += "[" + std::string(stz->stanzaName) + "]";
        for (; stz->entryName != nullptr; qorStzMoveNextEntry(stz))
            out += std::string(stz->entryName) + "=" +
                   (stz->value != nullptr ? stz->value : "(null)") + ";";
    }
    return out;
}

class StanzaTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.ok());
        m_oldSink = qor_report_set_sink(recordReport);
        g_reported.clear();
    }
    void TearDown() override
    {
        qorStzFileClose(m_stz);
        qor_report_set_sink(m_oldSink);
    }

    std::string write(const std::string& content, const char* name = "test.conf")
    {
        EXPECT_TRUE(m_tmp.write(name, content));
        return m_tmp.file(name);
    }
    qorStanzaFile* open(const std::string& content, unsigned mode)
    {
        QORStatus status = 1;
        qorStzFileClose(m_stz);
        m_stz = qorStzFileOpen(write(content).c_str(), mode, &status);
        EXPECT_EQ(status, 0u);
        return m_stz;
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir))
            names.push_back(entry.path().filename());
        return names;
    }
    std::string path() const { return m_dir + "/test.conf"; }

    QORTestDir m_tmp{"stanza"};
    const std::string& m_dir = m_tmp.path();
    qorStanzaFile* m_stz = nullptr;
    qor_report_sink_t m_oldSink = nullptr;
};

const unsigned kModes[] = {QOR_STZ_READ_ONLY, QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY};

TEST_F(StanzaTest, ValuesCommentsAndBlanksInBothModes)
{
    const char* text =
        "# leading comment\n"
        "orphan = before any heading\n"
        "[ sp ] text after the bracket\n"
        "  a = v1   # comment\n"
        "b =\n"
        "c = # only a comment\n"
        "d ==x\n"
        "  e f  =  g h \t\n"
        "\n"
        "[last]\r\n"
        "k = v\r\n"
        "tail = no newline";
    for (unsigned mode : kModes) {
        qorStanzaFile* stz = open(text, mode);
        EXPECT_EQ(walk(stz), mode & QOR_STZ_IN_MEMORY
            ? "[last]k=v;tail=no newline;[ sp ]a=v1;b=(null);c=(null);d==x;e f=g h;"
            : "[ sp ]a=v1;b=(null);c=(null);d==x;e f=g h;[last]k=v;tail=no newline;");
        EXPECT_EQ(stz->status, 0u);
    }
    EXPECT_TRUE(g_reported.empty());
}

TEST_F(StanzaTest, SyntaxErrorsAreLoggedThenRecorded)
{
    const struct { const char* text; QORStatus logged, recorded; } cases[] = {
        {"[s]\na = 1\n  = 2\nb = 3\n", qor_s_stz_bad_entry_msg, qor_s_stz_no_separator},
        {"[s]\na = 1\nno separator\n", qor_s_stz_bad_entry_msg, qor_s_stz_no_separator},
        {"[s]\na = 1\n[open\nb = 3\n", qor_s_stz_bad_heading_msg, qor_s_stz_no_bracket},
    };
    for (const auto& c : cases) {
        qorStanzaFile* stz = open(c.text, QOR_STZ_READ_ONLY);
        g_reported.clear();
        EXPECT_FALSE(qorStzValidate(stz));
        EXPECT_EQ(stz->status, c.recorded);
        EXPECT_EQ(g_reported, (Reports{{qor_svc_config_mgr, c.logged}}));
        // The cursor stands past the end until moved to the first stanza.
        EXPECT_EQ(stz->stanzaName, nullptr);
        EXPECT_TRUE(qorStzMoveNextEntry(stz));
        EXPECT_EQ(stz->entryName, nullptr);
        EXPECT_TRUE(qorStzMoveEntry(stz, "s", "a"));
        // Memory mode keeps what came before the bad line; the open succeeds.
        EXPECT_EQ(walk(open(c.text, QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY)), "[s]a=1;");
    }
    EXPECT_TRUE(qorStzValidate(open("x = 1\n[s]\n\n[t]\na = 1\n", QOR_STZ_READ_ONLY)));
}

TEST_F(StanzaTest, LongLinesAreReadInPieces)
{
    std::string text = "[s]\n#" + std::string(510, 'c') + "b = 2\n" +
                       "a = " + std::string(600, 'x') + "=y\n";
    qorStanzaFile* stz = open(text, QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY);
    // The comment's second piece is an entry; the long value is cut at 511
    // bytes and its second piece is an entry too.
    EXPECT_EQ(walk(stz), "[s]b=2;a=" + std::string(507, 'x') + ";" +
                             std::string(93, 'x') + "=y;");
}

TEST_F(StanzaTest, BytesInvalidInTheLocalCodePage)
{
    QORScopedCtypeLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok());
    qorStanzaFile* stz = open("[s]\nu = gr\xc3\xbc\xc3\x9f\nbad = \xc3(\n", QOR_STZ_READ_ONLY);
    ASSERT_STREQ(stz->value, "gr\xc3\xbc\xc3\x9f");
    g_reported.clear();
    EXPECT_FALSE(qorStzMoveNextEntry(stz));
    EXPECT_EQ(stz->status, qor_s_mb_to_wc_failed);
    EXPECT_EQ(g_reported, (Reports{{qor_svc_config_mgr, qor_s_stz_mb_conversion_msg}}));
    // A multi-byte character cut by the 511-byte piece fails the same way;
    // the load keeps what came before the bad line.
    std::string cut = "[s]\n[t]\na = " + std::string(506, 'x') + "\xc3\xbc\n";
    EXPECT_EQ(walk(open(cut, QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY)), "[t][s]");
}

// The grammar a reader checks lines with is the scanner's own: its shapes
// are read by the scanner tests above; here each kind, the limit and the
// conversion of the classifier's own.
TEST_F(StanzaTest, ClassifiedLinesAsTheScannerReadsThem)
{
    QORScopedCtypeLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok());
    const struct { std::string line; QORStzLine kind; } rows[] = {
        {" \t\r", QORStzLine::skipped},
        {"  # a = b", QORStzLine::skipped},
        {" [ s ] after\r", QORStzLine::heading},
        {"[]", QORStzLine::heading},
        {"[open", QORStzLine::noBracket},
        {"a = b # [c", QORStzLine::entry},
        {"  = 2", QORStzLine::noSeparator},
        {"a = gr\xc3\xbc\xc3\x9f", QORStzLine::entry},
        {"bad = \xc3(", QORStzLine::unconvertible},
        {"a = " + std::string(QOR_STZ_MAX_LINE - 4, 'x'), QORStzLine::entry},
        {"a = " + std::string(QOR_STZ_MAX_LINE - 3, 'x'), QORStzLine::tooLong},
    };
    for (const auto& row : rows)
        EXPECT_EQ(qorStzClassifyLine(row.line.data(), row.line.size()), row.kind) << row.line;
}

TEST_F(StanzaTest, OwnNamePassedBackStanzaSizeAndNullArguments)
{
    for (unsigned mode : kModes) {
        qorStanzaFile* stz = open("[m]\nx = 1\ny = 0\nx = 2\n", mode);
        ASSERT_TRUE(qorStzMoveEntry(stz, "m", "x"));
        ASSERT_TRUE(qorStzIterateEntryInStanza(stz, stz->entryName));
        EXPECT_STREQ(stz->value, "2");
        // Counting leaves the cursor on its entry.
        ASSERT_TRUE(qorStzMoveEntry(stz, "m", "y"));
        EXPECT_EQ(qorStzStanzaSize(stz), 3u);
        EXPECT_STREQ(stz->entryName, "y");
        EXPECT_FALSE(qorStzMoveEntry(stz, nullptr, "x"));
        EXPECT_EQ(stz->status, qor_s_stz_null_argument);
    }
}

TEST_F(StanzaTest, OpenModesAndFailures)
{
    std::string p = write("[s]\na = 1\n");
    QORStatus status = 0;
    for (unsigned mode : {0u, 16u, 10u, 11u}) {
        EXPECT_EQ(qorStzFileOpen(p.c_str(), mode, &status), nullptr);
        EXPECT_EQ(status, qor_s_stz_bad_argument) << mode;
    }
    EXPECT_EQ(qorStzFileOpen((m_dir + "/none").c_str(), 1, &status), nullptr);
    EXPECT_EQ(status, qor_s_stz_open_failed);
    EXPECT_EQ(g_reported, (Reports{{qor_svc_common, QOR_MSG_ID(5)}}));
    m_stz = qorStzFileOpen(p.c_str(), 9, &status);
    ASSERT_NE(m_stz, nullptr);
    EXPECT_EQ(m_stz->fp, nullptr);
    EXPECT_STREQ(m_stz->value, "1");
    EXPECT_FALSE(qorStzValidate(m_stz));
    EXPECT_EQ(m_stz->status, qor_s_stz_not_open);
    EXPECT_EQ(qorStzMoveNextEntry(nullptr), 0);
    qorStzMoveFirstStanza(nullptr);
    EXPECT_EQ(walk(open("", 1)), "");
    EXPECT_EQ(walk(open("", 9)), "");
}

const char kText[] = "[a]\nx = 1 # one\ny = 2\n# end of a\n\n"
                     "[b]\nz = 3\n";

TEST_F(StanzaTest, EditsProduceExactBytes)
{
    qorStanzaFile* stz = open(kText, QOR_STZ_UPDATE);
    ASSERT_TRUE(qorStzMoveStanza(stz, "a"));
    qorStzAddEntry(stz, "new", "v");
    ASSERT_EQ(stz->status, 0u);
    EXPECT_STREQ(stz->entryName, "new");
    qorStzAddEntry(stz, "x", "10");
    ASSERT_EQ(stz->status, 0u);
    ASSERT_TRUE(qorStzMoveStanza(stz, "b"));
    qorStzAddEntry(stz, "w", nullptr);
    ASSERT_TRUE(qorStzMoveEntry(stz, "a", "y"));
    qorStzInsertEntry(stz, "ins", "i");
    ASSERT_EQ(stz->status, 0u);
    // The stream stands after the inserted line.
    ASSERT_TRUE(qorStzMoveNextEntry(stz));
    EXPECT_STREQ(stz->entryName, "y");
    EXPECT_TRUE(qorStzDeleteEntry(stz, "b", "z"));
    qorStzAddStanza(stz, "c");
    qorStzAddEntry(stz, "k", "v");
    ASSERT_EQ(stz->status, 0u);
    EXPECT_EQ(qor_test_read_file(path()),
              "[a]\nx = 10\nins = i\ny = 2\n# end of a\n\nnew = v\n"
              "[b]\nw = \n[c]\nk = v\n");

    ASSERT_TRUE(qorStzMoveEntry(stz, "a", "ins"));
    EXPECT_TRUE(qorStzDeleteCurrentEntry(stz));
    EXPECT_STREQ(stz->entryName, "ins");
    ASSERT_TRUE(qorStzMoveNextEntry(stz));
    EXPECT_STREQ(stz->entryName, "y");
    qorStzAddStanza(stz, "a");
    EXPECT_STREQ(stz->entryName, "x");
    EXPECT_EQ(qor_test_read_file(path()).substr(0, 24), "[a]\nx = 10\ny = 2\n# end o");
    EXPECT_EQ(files(), std::vector<std::string>{"test.conf"});
}

TEST_F(StanzaTest, EditFailuresLeaveTheFileAlone)
{
    qorStanzaFile* stz = open(kText, QOR_STZ_UPDATE);
    EXPECT_FALSE(qorStzDeleteEntry(stz, "a", "absent"));
    EXPECT_EQ(stz->status, qor_s_stz_not_present);
    EXPECT_FALSE(qorStzDeleteCurrentEntry(stz));
    EXPECT_EQ(stz->status, qor_s_stz_null_argument);
    ASSERT_TRUE(qorStzMoveStanza(stz, "a"));
    qorStzAddEntry(stz, "long", std::string(600, 'v').c_str());
    EXPECT_EQ(stz->status, qor_s_stz_bad_argument);
    ASSERT_TRUE(qorStzMoveStanza(stz, "a"));
    qorStzAddEntry(stz, "two", "lines\n[injected]");
    EXPECT_EQ(stz->status, qor_s_stz_bad_argument);
    EXPECT_EQ(qor_test_read_file(path()), kText);
    stz = open(kText, QOR_STZ_READ_ONLY);
    qorStzAddStanza(stz, "c");
    EXPECT_EQ(stz->status, qor_s_stz_read_only);
    qorStzAddStanza(stz, nullptr);
    EXPECT_EQ(stz->status, qor_s_stz_null_argument);
    stz = open(kText, QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY);
    qorStzAddStanza(stz, "c");
    EXPECT_EQ(stz->status, qor_s_stz_not_open);
    EXPECT_EQ(qor_test_read_file(path()), kText);
}

TEST_F(StanzaTest, EditKeepsModeLinkAndLock)
{
    write(kText);
    chmod(path().c_str(), 0640);
    std::string link = m_dir + "/link.conf";
    ASSERT_EQ(symlink(path().c_str(), link.c_str()), 0);
    QORStatus status = 1;
    qorStanzaFile* stz = m_stz = qorStzFileOpen(link.c_str(), QOR_STZ_UPDATE, &status);
    ASSERT_NE(stz, nullptr);
    ASSERT_TRUE(qorStzMoveEntry(stz, "b", "z"));
    qorStzChangeValue(stz, "30");
    ASSERT_EQ(stz->status, 0u);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // The handle keeps its lock on the file now at the path.
    EXPECT_EQ(qor_test_reap(qor_test_spawn([&] {
        qorStanzaFile* other = qorStzFileOpen(path().c_str(), 5, &status);
        return other == nullptr && status == qor_s_stz_would_block ? 0 : 1;
    })), 0);
    // Read last: closing any descriptor of the file drops this process's lock.
    EXPECT_EQ(qor_test_read_file(path()), std::string(kText).replace(38, 6, "z = 30\n"));
}

// Files planted at the names a scratch file could have had (another user's,
// or links elsewhere) neither block an edit nor are written.
TEST_F(StanzaTest, PlantedScratchNamesNeitherBlockNorReceiveEdits)
{
    std::string target = write("not yours\n", "target");
    std::vector<std::string> planted = {"/tmp/stzlink" + std::to_string(getpid()),
                                        path() + ".tail", path() + ".XXXXXX"};
    for (const std::string& p : planted) {
        unlink(p.c_str());
        ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0) << p;
    }
    qorStanzaFile* stz = open(kText, QOR_STZ_UPDATE);
    ASSERT_TRUE(qorStzMoveEntry(stz, "a", "y"));
    qorStzChangeValue(stz, "20");
    EXPECT_EQ(stz->status, 0u);
    EXPECT_NE(qor_test_read_file(path()), kText);
    EXPECT_EQ(qor_test_read_file(target), "not yours\n");
    for (const std::string& p : planted)
        unlink(p.c_str());
}

// A child under a file-size limit makes an edit that cannot be written: the
// tail does not fit the scratch file, or the new content does not fit the
// new stanza file. Either way the file stays as it was.
TEST_F(StanzaTest, InterruptedWriteLeavesFileByteIdentical)
{
    std::string text = "[first]\nf = 1\n[pad]\n";
    for (int i = 0; i < 400; i++)
        text += "entry" + std::to_string(i) + " = padding padding\n";
    text += "[last]\nl = 1\n";
    ASSERT_GT(text.size(), 8192u);
    for (const char* stanza : {"first", "last"}) {
        write(text);
        pid_t child = qor_test_spawn([&] {
            struct rlimit limit = {4096, 4096};
            signal(SIGXFSZ, SIG_IGN);
            QORStatus status = 0;
            qorStanzaFile* stz = qorStzFileOpen(path().c_str(), QOR_STZ_UPDATE, &status);
            if (stz == nullptr || setrlimit(RLIMIT_FSIZE, &limit) != 0)
                return 2;
            qorStzMoveStanza(stz, stanza);
            qorStzAddEntry(stz, "added", "value");
            return stz->status == qor_s_stz_update_failed ? 0 : 1;
        });
        EXPECT_EQ(qor_test_reap(child), 0) << stanza;
        EXPECT_TRUE(qor_test_read_file(path()) == text) << stanza;
        EXPECT_EQ(files(), std::vector<std::string>{"test.conf"});
    }
}

TEST_F(StanzaTest, UpdateLockExcludesAndReleasesAnotherProcess)
{
    qorStanzaFile* stz = open(kText, QOR_STZ_UPDATE);
    int toParent[2];
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = qor_test_spawn([&] {
        QORStatus status = 0;
        qorStanzaFile* h = qorStzFileOpen(path().c_str(),
                                          QOR_STZ_READ_ONLY | QOR_STZ_NO_WAIT, &status);
        char c = h == nullptr && status == qor_s_stz_would_block ? 'y' : 'n';
        if (!qor_test_write_full(toParent[1], &c, 1))
            return 1;
        h = qorStzFileOpen(path().c_str(), QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY, &status);
        c = h != nullptr && qorStzMoveEntry(h, "b", "z") ? h->value[0] : '-';
        return qor_test_write_full(toParent[1], &c, 1) ? 0 : 1;
    });
    close(toParent[1]);
    char c = 0;
    ASSERT_TRUE(qor_test_read_full(toParent[0], &c, 1));
    EXPECT_EQ(c, 'y');
    // The waiting opener stays blocked while the lock is held...
    EXPECT_FALSE(qor_test_read_full(toParent[0], &c, 1, 300));
    ASSERT_TRUE(qorStzMoveEntry(stz, "b", "z"));
    qorStzChangeValue(stz, "7");
    ASSERT_EQ(stz->status, 0u);
    qorStzFileClose(stz);
    m_stz = nullptr;
    // ...and once released reads the edited file, not the one it waited on.
    ASSERT_TRUE(qor_test_read_full(toParent[0], &c, 1));
    EXPECT_EQ(c, '7');
    close(toParent[0]);
    EXPECT_EQ(qor_test_reap(child), 0);
}

}  // namespace
