// qorsvctesting.h: what the serviceability tests share: a fixture that
// starts every test from the layer's defaults with the SVC_* environment
// cleared (and restores it, the locale and the layer afterwards) in a
// scratch directory, and capture of standard error or output.
#pragma once
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>
#include "core/platform/qorlox.h"
#include "core/svc/qorsvcroute.h"
#include "qortestdir.h"

class SvcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : kEnv) {
            const char* v = getenv(name);
            m_saved.push_back(v ? std::string("=") + v : std::string());
            unsetenv(name);
        }
        m_locale = setlocale(LC_ALL, nullptr);
        dx_svc_shutdown();
        ASSERT_TRUE(m_scratch.ok());
        m_dir = m_scratch.path();
    }

    void TearDown() override
    {
        dx_svc_shutdown();
        for (size_t i = 0; i < kEnv.size(); i++) {
            if (m_saved[i].empty())
                unsetenv(kEnv[i]);
            else
                setenv(kEnv[i], m_saved[i].c_str() + 1, 1);
        }
        setlocale(LC_ALL, m_locale.c_str());
        lox_cs_local_reset();
    }

    std::string path(const std::string& name) const
    {
        return m_dir + "/" + name;
    }

    static std::string readFile(const std::string& p) { return qor_test_read_file(p); }

    static size_t count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + what.size()))
            n++;
        return n;
    }

    static void route(const std::string& spec)
    {
        QORStatus st = 1;
        dx_svc_routing(spec.c_str(), &st);
        ASSERT_EQ(st, 0u) << spec;
    }

    static std::string shown(const char* name)
    {
        QORStatus st;
        char* s = dx_svc_routes_show(name, &st);
        std::string out = s ? s : "(none)";
        free(s);
        return out;
    }

    QORTestDir m_scratch{"svc"};
    std::string m_dir;

private:

    const std::vector<const char*> kEnv = {
        "SVC_FATAL", "SVC_ERROR", "SVC_WARNING", "SVC_NOTICE",
        "SVC_NOTICE_VERBOSE", "SVC_pic_DBG", "SVC_pco_DBG", "SVC_BRIEF",
        "NLSPATH", "LOXDIR"};
    std::vector<std::string> m_saved;
    std::string m_locale;
};

// Sends file descriptor fd (1 or 2) to a scratch file until text().
class SvcCapture {
public:
    explicit SvcCapture(int fd)
        : m_fd(fd)
    {
        fflush(fd == 1 ? stdout : stderr);
        m_file = tmpfile();
        m_saved = dup(fd);
        dup2(fileno(m_file), fd);
    }
    ~SvcCapture() { text(); }

    std::string text()
    {
        if (m_file == nullptr)
            return m_text;
        fflush(m_fd == 1 ? stdout : stderr);
        dup2(m_saved, m_fd);
        close(m_saved);
        rewind(m_file);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), m_file)) > 0)
            m_text.append(buf, n);
        fclose(m_file);
        m_file = nullptr;
        return m_text;
    }

private:
    int m_fd;
    int m_saved;
    FILE* m_file;
    std::string m_text;
};
