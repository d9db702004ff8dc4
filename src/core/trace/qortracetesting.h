// qortracetesting.h: helpers of the trace tests: QORTraceTestLog, a sink that
// keeps every line it is given, and QORTestDir, a scratch directory.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>
#include "core/trace/qorlog.h"

class QORTraceTestLog : public QORLog {
public:
    struct Line {
        QORLogSeverity severity;
        std::string file;
        unsigned line;
        std::string component;
        std::string text;
    };

    explicit QORTraceTestLog(bool utf8 = true, int* destroyed = nullptr)
        : QORLog(utf8), m_destroyed(destroyed) {}
    ~QORTraceTestLog() override
    {
        if (m_destroyed)
            ++*m_destroyed;
    }

    void logImpl(QORLogSeverity severity, const char* file, unsigned line,
                 const char* component, const QORStringRefT<char>& text) override
    {
        lines.push_back({severity, file, line, component,
                         std::string(text.data(), text.length())});
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> v;
        for (const Line& l : lines)
            v.push_back(l.text);
        return v;
    }

    std::vector<Line> lines;

private:
    int* m_destroyed;
};

// A fresh directory under $DXQOR_TEST_TMPDIR (or /tmp), removed with its
// files at the end.
class QORTestDir {
public:
    QORTestDir()
    {
        const char* base = getenv("DXQOR_TEST_TMPDIR");
        std::string dir = base && *base ? base : "/tmp";
        mkdir(dir.c_str(), 0700);
        m_path = dir + "/qortrace.XXXXXX";
        if (mkdtemp(&m_path[0]) == nullptr)
            m_path.clear();
    }
    ~QORTestDir()
    {
        if (!m_path.empty())
            nftw(m_path.c_str(), [](const char* p, const struct stat*, int,
                                    struct FTW*) { return remove(p); },
                 8, FTW_DEPTH | FTW_PHYS);
    }
    bool ok() const { return !m_path.empty(); }
    std::string file(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::string qor_test_read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
