#include "core/file/qorfile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/system/qorsyserr.h"
#include "qortestdir.h"

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_scratch.ok());
    }
    std::string write(const char* name, const std::string& content)
    {
        EXPECT_TRUE(m_scratch.write(name, content));
        return m_scratch.file(name);
    }
    std::vector<std::string> tail(const std::string& content, int n)
    {
        std::string p = write("tail", content);
        std::vector<char*> lines(n);
        EXPECT_EQ(qor_file_tail(p.c_str(), n, lines.data()), 0u);
        std::vector<std::string> out;
        for (char* line : lines) {
            out.push_back(line);
            free(line);
        }
        return out;
    }

    QORTestDir m_scratch{"file"};
    const std::string& m_dir = m_scratch.path();
};

TEST_F(FileTest, ReadlineReadsWholeLinesOfAnyLength)
{
    std::string longLine(250, 'x');
    FILE* fp = fopen(write("lines", longLine + "\nshort\nlast").c_str(), "r");
    char* buf = nullptr;
    int size = 0, len = -1;
    ASSERT_EQ(qor_file_readline(fp, &buf, &size, &len), 0u);
    EXPECT_EQ(std::string(buf), longLine + "\n");
    EXPECT_EQ(len, 251);
    EXPECT_EQ(size, 300);
    ASSERT_EQ(qor_file_readline(fp, &buf, &size, &len), 0u);
    EXPECT_STREQ(buf, "short\n");
    ASSERT_EQ(qor_file_readline(fp, &buf, &size, &len), 0u);
    EXPECT_STREQ(buf, "last");
    ASSERT_EQ(qor_file_readline(fp, &buf, &size, &len), 0u);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(len, 0);
    fclose(fp);
}

TEST_F(FileTest, TailKeepsTheLastLinesInOrder)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(tail("1\n2\n3\n4\n5\n", 3), (V{"3", "4", "5"}));
    EXPECT_EQ(tail("1\n\n2", 4), (V{"1", "", "2", ""}));
    EXPECT_EQ(tail("", 2), (V{"", ""}));
    // Empty lines at the end are lines read, and the rotation ends.
    EXPECT_EQ(tail("a\n\n\n\n", 3), (V{"", "", ""}));
    EXPECT_EQ(tail(std::string(600, 'y') + "\n", 2),
              (V{std::string(511, 'y'), std::string(89, 'y')}));
    char* lines[2] = {reinterpret_cast<char*>(1), reinterpret_cast<char*>(1)};
    EXPECT_EQ(qor_file_tail((m_dir + "/none").c_str(), 2, lines), QOR_MSG_ID(4));
    EXPECT_EQ(lines[0], nullptr);
    EXPECT_EQ(lines[1], nullptr);
}

TEST_F(FileTest, MktempCreatesAFileAndClosesIt)
{
    auto openDescriptors = [] {
        using std::filesystem::directory_iterator;
        return std::distance(directory_iterator("/proc/self/fd"), directory_iterator());
    };
    std::string tmpl = m_dir + "/tXXXXXX";
    auto before = openDescriptors();
    char* name = qor_mktemp(&tmpl[0]);
    ASSERT_EQ(name, &tmpl[0]);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(qor_file_exists(name));
    EXPECT_EQ(tmpl.find("XXXXXX"), std::string::npos);
    std::string bad = m_dir + "/no-x";
    EXPECT_EQ(qor_mktemp(&bad[0]), nullptr);
}

TEST_F(FileTest, CopyIsExact)
{
    std::string content;
    for (int i = 0; i < 1500; i++)
        content += static_cast<char>(i * 7);
    std::string from = write("from", content);
    std::string to = m_dir + "/to";
    ASSERT_EQ(qor_file_copy(from.c_str(), to.c_str()), 0u);
    EXPECT_EQ(qor_test_read_file(to), content);
    ASSERT_EQ(qor_file_copy(write("empty", "").c_str(), to.c_str()), 0u);
    EXPECT_EQ(qor_test_read_file(to), "");
    EXPECT_EQ(qor_file_copy((m_dir + "/none").c_str(), to.c_str()), qor_s_not_found);
    EXPECT_EQ(qor_file_copy(from.c_str(), (m_dir + "/no/dir").c_str()), qor_s_not_found);
}

TEST_F(FileTest, DirectoriesPropertiesAndNames)
{
    std::string sub = m_dir + "/sub";
    int err = 0;
    EXPECT_EQ(qor_create_directory(sub.c_str(), &err), 0u);
    EXPECT_EQ(qor_create_directory(sub.c_str(), &err), 0u);
    EXPECT_TRUE(qor_directory_exists(sub.c_str()));
    EXPECT_EQ(qor_create_directory((m_dir + "/a/b").c_str(), &err), qor_s_not_found);
    EXPECT_EQ(err, ENOENT);
    std::string f = write("f", "x");
    EXPECT_FALSE(qor_directory_exists(f.c_str()));
    qor_file_props_t props = {0600, static_cast<uint32_t>(getuid()),
                              static_cast<uint32_t>(getgid())};
    EXPECT_EQ(qor_set_file_properties(f.c_str(), props), 0u);
    qor_file_props_t got = {};
    ASSERT_EQ(qor_get_file_properties(f.c_str(), &got), 0u);
    EXPECT_EQ(got.mode & 07777, 0600u);
    EXPECT_EQ(got.uid, props.uid);
    EXPECT_EQ(qor_get_file_properties((m_dir + "/none").c_str(), &got), QOR_MSG_ID(54));
    EXPECT_EQ(qor_set_file_properties((m_dir + "/none").c_str(), props), QOR_MSG_ID(54));
    EXPECT_EQ(qor_file_chown(f.c_str(), "no-such-user-here", "root"),
              QOR_CO_MSG_BASE + 243);
    EXPECT_EQ(qor_file_chown(f.c_str(), "root", "no-such-group-here"),
              QOR_CO_MSG_BASE + 243);
    std::string link = m_dir + "/link";
    EXPECT_EQ(qor_file_symlink(f.c_str(), link.c_str()), 0u);
    EXPECT_EQ(qor_file_symlink(f.c_str(), link.c_str()), qor_s_exists);
    EXPECT_EQ(qor_file_remove((m_dir + "/moved").c_str()), qor_s_not_found);
    EXPECT_FALSE(qor_file_exists((m_dir + "/moved").c_str()));
}

}  // namespace
