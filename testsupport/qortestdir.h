// qortestdir.h: QORTestDir, a fresh scratch directory under
// $DXQOR_TEST_TMPDIR (or /tmp), removed with everything in it when the
// object goes; reading a whole file; waiting for a condition that another
// thread or process makes true.
#pragma once
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

class QORTestDir {
public:
    explicit QORTestDir(const char* tag = "scratch")
    {
        const char* base = getenv("DXQOR_TEST_TMPDIR");
        std::string dir = base && *base ? base : "/tmp";
        mkdir(dir.c_str(), 0700);
        m_path = dir + "/" + tag + ".XXXXXX";
        if (mkdtemp(&m_path[0]) == nullptr)
            m_path.clear();
    }
    ~QORTestDir()
    {
        if (!m_path.empty())
            nftw(m_path.c_str(),
                 [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
                 8, FTW_DEPTH | FTW_PHYS);
    }
    QORTestDir(const QORTestDir&) = delete;
    QORTestDir& operator=(const QORTestDir&) = delete;

    bool ok() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    // Writes text as the file name; whether it was written whole.
    bool write(const std::string& name, const std::string& text) const
    {
        std::ofstream out(file(name), std::ios::binary);
        out << text;
        return static_cast<bool>(out.flush());
    }

private:
    std::string m_path;
};

// The file's bytes, empty when it cannot be read.
inline std::string qor_test_read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Whether the file holds every one of the texts.
template <class Texts>
bool qor_test_file_holds(const std::string& path, const Texts& texts)
{
    std::string text = qor_test_read_file(path);
    for (const auto& t : texts)
        if (text.find(t) == std::string::npos)
            return false;
    return true;
}

// Whether done() becomes true within seconds, asked every 20 ms. For
// conditions another thread or process makes true: the cap only bounds a
// failing test, it is not a guess at how long the work takes.
template <class Done>
bool qor_test_wait_until(Done done, int seconds = 30)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        usleep(20000);
    }
    return true;
}
