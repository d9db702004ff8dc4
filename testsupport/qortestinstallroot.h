// qortestinstallroot.h: QORTestInstallRoot, an installation tree of the
// test's own under $DXQOR_TEST_TMPDIR whose "dxqor.conf" holds the text
// given, made the library's root (DXQOR_ROOT) for the object's lifetime.
// Message catalogues are not in it: message texts then come from the
// library's built-in tables.
#pragma once
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <string>
#include "core/system/qorinstallpath.h"

class QORTestInstallRoot {
public:
    explicit QORTestInstallRoot(const char* tag, const std::string& conf)
    {
        const char* base = getenv("DXQOR_TEST_TMPDIR");
        m_dir = std::string(base && *base ? base : "/tmp") + "/root-" + tag + "-"
                + std::to_string(getpid());
        for (const char* part : kParts)
            mkdir((m_dir + part).c_str(), 0700);
        std::ofstream(confPath()) << conf;
        const char* old = getenv("DXQOR_ROOT");
        m_hadRoot = old != nullptr;
        m_oldRoot = old ? old : "";
        setenv("DXQOR_ROOT", m_dir.c_str(), 1);
        qor_install_path_reset();
    }
    ~QORTestInstallRoot()
    {
        unlink(confPath().c_str());
        for (int i = kPartCount - 1; i >= 0; i--)
            rmdir((m_dir + kParts[i]).c_str());
        if (m_hadRoot)
            setenv("DXQOR_ROOT", m_oldRoot.c_str(), 1);
        else
            unsetenv("DXQOR_ROOT");
        qor_install_path_reset();
    }
    QORTestInstallRoot(const QORTestInstallRoot&) = delete;
    QORTestInstallRoot& operator=(const QORTestInstallRoot&) = delete;

    std::string confPath() const { return m_dir + "/opt/dxqor/etc/dxqor.conf"; }

private:
    static constexpr int kPartCount = 4;
    static constexpr const char* kParts[kPartCount] = {"", "/opt", "/opt/dxqor",
                                                       "/opt/dxqor/etc"};

    std::string m_dir;
    std::string m_oldRoot;
    bool m_hadRoot = false;
};
