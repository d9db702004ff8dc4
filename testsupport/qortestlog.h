// qortestlog.h: QORTestLog, a log sink that keeps every line written to it,
// for tests that check what the library logged. Safe from several threads.
#pragma once
#include <mutex>
#include <string>
#include <vector>
#include "core/trace/qorlog.h"

class QORTestLog : public QORLog {
public:
    QORTestLog()
        : QORLog(false)
    {
    }

    // Kept as "<component> <severity name> <text>".
    void logImpl(QORLogSeverity severity, const char*, unsigned, const char* component,
                 const QORStringRefT<char>& text) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.push_back(std::string(component) + " " + severityText(severity) + " "
                          + std::string(text.data(), static_cast<size_t>(text.length())));
    }

    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    // Lines holding text.
    int count(const char* text) const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        int n = 0;
        for (const std::string& line : m_lines)
            n += line.find(text) != std::string::npos;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};
