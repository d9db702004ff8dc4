#include "core/msg/qormsg.h"

#include <nl_types.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "core/msg/qormsgid.h"
#include "core/platform/qorscopedlocale.h"
#include "core/svc/qorsvctesting.h"
#include "core/system/qorinstallpath.h"
#include "qortestdir.h"

namespace {

const char* const kEnvironment[] = {"NLSPATH", "LOXDIR", "SVC_NOXPGCAT",
                                    "DXSVC_DEBUG_MSG", "DXQOR_ROOT"};

std::string text(uint32_t id, bool utf8 = true, QORStatus* status = nullptr)
{
    QORStatus st = 1;
    char* t = utf8 ? dx_msg_get_msg_utf8(id, &st) : dx_msg_get_msg(id, &st);
    std::string s = t ? t : "<null>";
    free(t);
    if (status != nullptr)
        *status = st;
    return s;
}

std::string inq(uint32_t status, int* st, bool utf8 = false)
{
    dx_error_string_t buffer;
    *st = 99;
    (utf8 ? dx_error_inq_text_utf8 : dx_error_inq_text)(status, buffer, st);
    return buffer;
}

// Every environment variable the lookup reads is restored afterwards, and
// the lookup forgets its catalogues and tables.
class QORMsg : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : kEnvironment) {
            const char* v = getenv(name);
            if (v != nullptr)
                m_saved[name] = v;
        }
        // Run outside CTest, the build tree's root sits beside the test.
        if (getenv("DXQOR_ROOT") == nullptr) {
            char exe[4096];
            ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
            ASSERT_GT(n, 0);
            exe[n] = '\0';
            *strrchr(exe, '/') = '\0';
            setenv("DXQOR_ROOT", (std::string(exe) + "/root").c_str(), 1);
        }
        qor_install_path_reset();
        for (const char* name : {"NLSPATH", "SVC_NOXPGCAT", "DXSVC_DEBUG_MSG"})
            unsetenv(name);
        dx_msg_shutdown();
        ASSERT_TRUE(m_scratch.ok());
    }

    void TearDown() override
    {
        dx_msg_shutdown();
        for (const char* name : kEnvironment) {
            auto it = m_saved.find(name);
            if (it != m_saved.end())
                setenv(name, it->second.c_str(), 1);
            else
                unsetenv(name);
        }
        qor_install_path_reset();
    }

    // Builds catalogue file name under <scratch>/<LC_MESSAGES locale>/ with
    // gencat from message lines ("12 text"); the NLSPATH that finds it.
    std::string gencat(const char* name, const char* lines)
    {
        const std::string& dir = m_scratch.path();
        std::string locale = setlocale(LC_MESSAGES, nullptr);
        std::string sub = dir + "/" + locale;
        mkdir(sub.c_str(), 0755);
        std::ofstream(dir + "/in.msg") << "$set 1\n" << lines;
        std::string cmd = "gencat '" + sub + "/" + name + "' '" + dir + "/in.msg'";
        EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
        return dir + "/%L/%N";
    }

    std::map<std::string, std::string> m_saved;
    QORTestDir m_scratch{"qormsg"};
};

const uint32_t kMemory = 0x35f0200c;
const char kMemoryText[] = "XLTIC0012E   Memory could not be allocated.";

// The product's own tables, with the prefix of their numbered texts.
const struct {
    const dx_msg_table_t* rows;
    int count;
    const char* prefix;
} kTables[] = {{qor_pic_msg_table, qor_pic_msg_count, "XLTIC"},
               {qor_pco_msg_table, qor_pco_msg_count, "XLTCO"},
               {qor_svc_msg_table, qor_svc_msg_count, nullptr}};

} // namespace

TEST_F(QORMsg, OwnTablesAreSortedNumberedAndComplete)
{
    for (const auto& t : kTables) {
        ASSERT_GT(t.count, 0);
        for (int i = 0; i < t.count; i++) {
            if (i > 0) {
                EXPECT_LT(t.rows[i - 1].id, t.rows[i].id);
            }
            const char* s = t.rows[i].text;
            if (t.prefix != nullptr && strncmp(s, t.prefix, 5) == 0) {
                EXPECT_EQ(t.rows[i].id & 0xfff, (uint32_t)atoi(s + 5)) << s;
            }
        }
    }
    setenv("SVC_NOXPGCAT", "1", 1);
    QORStatus st;
    const uint32_t ranges[][2] = {
        {0x35f02f80, 0x35f02fa9}, {0x35f02fc0, 0x35f02fd2}, {0x35e1efc0, 0x35e1efc5}};
    for (const auto& r : ranges)
        for (uint32_t id = r[0]; id <= r[1]; id++) {
            text(id, true, &st);
            EXPECT_EQ(st, qor_s_ok) << std::hex << id;
        }
}

TEST_F(QORMsg, UnknownIdsAndDefinedTables)
{
    setenv("SVC_NOXPGCAT", "1", 1);
    QORStatus st;
    EXPECT_EQ(text(0x35f02fff, false, &st), "Unknown message number 0x35f02fff");
    EXPECT_EQ(st, qor_s_not_available);
    EXPECT_EQ(text(1, true, &st), "Unknown message number 0x00000001");
    EXPECT_EQ(st, qor_s_not_available);
    static const dx_msg_table_t first[] = {{0x75f02001, "first"},
                                           {kMemory, "replaced"}};
    static const dx_msg_table_t second[] = {{0x75f02001, "second"}};
    dx_msg_define_msg_table(first, 2, &st);
    EXPECT_EQ(st, qor_s_ok);
    dx_msg_define_msg_table(second, 1, &st);
    EXPECT_EQ(text(0x75f02001, true, &st), "second");
    EXPECT_EQ(st, qor_s_ok);
    EXPECT_EQ(text(kMemory), "replaced");
    dx_msg_define_msg_table(qor_pic_msg_table, qor_pic_msg_count, &st);
    EXPECT_EQ(st, qor_s_ok);
    EXPECT_EQ(text(kMemory), "replaced");
    dx_msg_define_msg_table(nullptr, 1, &st);
    EXPECT_EQ(st, qor_s_invalid_argument);
    dx_msg_define_msg_table(first, -1, &st);
    EXPECT_EQ(st, qor_s_invalid_argument);
    dx_msg_shutdown();
    EXPECT_EQ(text(kMemory), kMemoryText);
    EXPECT_EQ(text(0x75f02001), "Unknown message number 0x75f02001");
}

TEST_F(QORMsg, LocalCodePageReplacesWhatItLacks)
{
    setenv("SVC_NOXPGCAT", "1", 1);
    static const dx_msg_table_t rows[] = {
        {0x35f02ffe, "Gr\xc3\xbc\xc3\x9f\xf0\x9f\x98\x80 \xe2\x82\xac."}};
    QORStatus st;
    dx_msg_define_msg_table(rows, 1, &st);
    {
        QORScopedCtypeLocale ascii("C");
        ASSERT_TRUE(ascii.ok());
        EXPECT_EQ(text(0x35f02ffe, false), "Gr??? ?.");
        EXPECT_EQ(text(0x35f02ffe, true), rows[0].text);
    }
    QORScopedCtypeLocale utf8Locale("C.UTF-8");
    if (utf8Locale.ok()) {
        EXPECT_EQ(text(0x35f02ffe, false), rows[0].text);
    }
}

TEST_F(QORMsg, InquireTextFormats)
{
    setenv("SVC_NOXPGCAT", "1", 1);
    const struct {
        uint32_t id;
        bool utf8;
        std::string text;
        int status;
    } rows[] = {
        {kMemory, false, std::string(kMemoryText) + " (dx / pic)", 0},
        {0, true, "Successful completion. (dx / bas)", 0},
        {0x35e1efc0, false, "dxqor.config (dx / pco)", 0},
        {0x35f02fff, false, "status 0x35f02fff (dx / pic)", -1},
        {0x75f02001, true, "status 0x75f02001 (unknown facility)", -1},
        {0x3fa00001, false, "status 0x3fa00001 (unknown facility)", -1},
    };
    int st;
    for (const auto& r : rows) {
        EXPECT_EQ(inq(r.id, &st, r.utf8), r.text);
        EXPECT_EQ(st, r.status) << r.text;
    }

    // A long text is cut at the buffer, never inside a UTF-8 character.
    static std::string longText = std::string(510, 'a') + "\xc3\xa9 and more";
    static const dx_msg_table_t custom[] = {{0x75f02001, "custom"},
                                            {0x35f02ffd, longText.c_str()}};
    QORStatus defined;
    dx_msg_define_msg_table(custom, 2, &defined);
    EXPECT_EQ(inq(0x75f02001, &st), "custom (unknown facility)");
    EXPECT_EQ(st, 0);
    EXPECT_EQ(inq(0x35f02ffd, &st, true), std::string(510, 'a'));
    EXPECT_EQ(st, 0);

    st = 99;
    dx_error_inq_text(kMemory, nullptr, &st);
    EXPECT_EQ(st, -1);
}

// A catalogue is opened once, with a diagnostic when asked for: a changed
// NLSPATH matters only after a reset.
TEST_F(QORMsg, CatalogueTextWinsUntilCataloguesAreDisabled)
{
    std::string nlspath = gencat("dxpic.cat", "12 XLTIC0012E   Text from the catalogue.\n");
    setenv("NLSPATH", nlspath.c_str(), 1);
    setenv("LOXDIR", "/lox", 1);
    setenv("DXSVC_DEBUG_MSG", "1", 1);
    SvcCapture first(2);
    EXPECT_EQ(text(kMemory), "XLTIC0012E   Text from the catalogue.");
    EXPECT_EQ(text(0x35e1efc0), "dxqor.config");
    EXPECT_EQ(first.text(), "NLSPATH=" + nlspath + "\nLOXDIR=/lox\n"
                            "catopen(dxpic.cat) status = 00000000\n"
                            "NLSPATH=" + nlspath + "\nLOXDIR=/lox\n"
                            "catopen(dxpco.cat) status = 35f02601\n");
    SvcCapture again(2);
    EXPECT_EQ(text(kMemory, false), "XLTIC0012E   Text from the catalogue.");
    int st;
    EXPECT_EQ(inq(kMemory, &st), "XLTIC0012E   Text from the catalogue. (dx / pic)");
    // Ids the catalogue lacks still come from the tables.
    EXPECT_EQ(text(0x35f02fc1), "dxqor.http");
    EXPECT_EQ(text(0x35e1efc1), "dxqor.config.rc");
    setenv("NLSPATH", "/nonexistent/%N", 1);
    EXPECT_EQ(text(kMemory), "XLTIC0012E   Text from the catalogue.");
    EXPECT_EQ(again.text(), "");
    setenv("NLSPATH", nlspath.c_str(), 1);
    setenv("SVC_NOXPGCAT", "", 1);
    EXPECT_EQ(text(kMemory), "XLTIC0012E   Text from the catalogue.");
    dx_msg_reset_catalogues();
    EXPECT_EQ(text(kMemory), kMemoryText);
}

TEST_F(QORMsg, GeneratedCataloguesFoundUnderTheMessageDirectory)
{
    std::string msgDir = std::string(getenv("DXQOR_ROOT")) + "/opt/dxqor/nls/msg";
    setenv("NLSPATH", "/elsewhere/%N", 1);
    ASSERT_EQ(dx_msg_setup_nlspath(), qor_s_ok);
    std::string want = msgDir + "/%L/%N:" + msgDir + "/%L/%N.cat:/elsewhere/%N";
    EXPECT_STREQ(getenv("NLSPATH"), want.c_str());
    ASSERT_EQ(dx_msg_setup_nlspath(), qor_s_ok);
    EXPECT_STREQ(getenv("NLSPATH"), want.c_str());

    // Every row of the tables is in its catalogue, in every locale, under
    // the name and number the lookup uses.
    for (const char* locale : {"C", "en_US"})
        for (const auto& t : kTables) {
            char name[DX_MSG_CATALOGUE_NAME_LEN];
            ASSERT_EQ(dx_msg_catalogue_name(t.rows[0].id, name, sizeof(name)), 0);
            std::string path = msgDir + "/" + locale + "/" + name;
            nl_catd cat = catopen(path.c_str(), 0);
            ASSERT_NE(cat, (nl_catd)-1) << path;
            for (int i = 0; i < t.count; i++)
                EXPECT_STREQ(catgets(cat, 1, dx_msg_catalogue_number(t.rows[i].id), "<missing>"),
                             t.rows[i].text);
            catclose(cat);
        }

    // And the lookup opens them through NLSPATH.
    setenv("DXSVC_DEBUG_MSG", "1", 1);
    SvcCapture capture(2);
    EXPECT_EQ(text(kMemory), kMemoryText);
    EXPECT_EQ(text(0x35e1efc2), "dxqor.config.request");
    EXPECT_EQ(text(0x106521f7), "The routing specification is malformed.");
    std::string err = capture.text();
    for (const char* cat : {"dxpic.cat", "dxpco.cat", "dcebas.cat"})
        EXPECT_NE(err.find("catopen(" + std::string(cat) + ") status = 00000000"),
                  std::string::npos) << err;

    char* value = nullptr;
    ASSERT_EQ(dx_msg_nlspath_value("", &value), qor_s_ok);
    EXPECT_EQ(value, msgDir + "/%L/%N:" + msgDir + "/%L/%N.cat");
    free(value);
}

TEST_F(QORMsg, ManyThreadsLookUpAtOnce)
{
    setenv("NLSPATH", gencat("dxpic.cat", "12 From the catalogue.\n4033 dxqor.http\n").c_str(), 1);
    static const dx_msg_table_t rows[] = {{0x75f02001, "defined"}};
    const struct {
        uint32_t id;
        const char* text;
    } expected[] = {{kMemory, "From the catalogue."}, {0x35f02fc1, "dxqor.http"},
                    {0x35f02fc2, "dxqor.iis"}, {0x35e1efc3, "dxqor.config.error"},
                    {0x75f02001, "defined"}, {0x35f02ffa, "Unknown message number 0x35f02ffa"}};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            QORStatus st;
            if (t == 0)
                dx_msg_define_msg_table(rows, 1, &st);
            for (int i = 0; i < 2000; i++) {
                const auto& e = expected[(i + t) % 6];
                if (e.id == 0x75f02001 && t != 0)
                    continue;
                char* s = (i & 1) ? dx_msg_get_msg(e.id, &st) : dx_msg_get_msg_utf8(e.id, &st);
                if (s == nullptr || strcmp(s, e.text) != 0)
                    wrong++;
                free(s);
                dx_error_string_t buffer;
                int ist;
                dx_error_inq_text(e.id, buffer, &ist);
                if (strncmp(buffer, e.text, strlen(e.text)) != 0 &&
                    strncmp(buffer, "status", 6) != 0)
                    wrong++;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
