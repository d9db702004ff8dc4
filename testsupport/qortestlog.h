// qortestlog.h: QORTestLog, a log sink that keeps every line written to it,
// for tests that check what the library logged. Safe from several threads.
#pragma once
#include <mutex>
#include <string>
#include <vector>
#include "core/trace/qorlog.h"

class QORTestLog : public QORLog {
public:
    struct Record {
        QORLogSeverity severity;
        std::string file;
        unsigned line;
        std::string component;
        std::string text;
    };

    // utf8: the sink's code set (see QORLog). *destroyed, when given, is
    // counted up when the sink goes.
    explicit QORTestLog(bool utf8 = false, int* destroyed = nullptr)
        : QORLog(utf8)
        , m_destroyed(destroyed)
    {
    }
    ~QORTestLog() override
    {
        if (m_destroyed != nullptr)
            ++*m_destroyed;
    }

    void logImpl(QORLogSeverity severity, const char* file, unsigned line, const char* component,
                 const QORStringRefT<char>& text) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_records.push_back({severity, file != nullptr ? file : "", line, component,
                             std::string(text.data(), static_cast<size_t>(text.length()))});
    }

    std::vector<Record> records() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_records;
    }
    // Each line as "<component> <severity name> <text>".
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        for (const Record& r : records())
            out.push_back(r.component + " " + severityText(r.severity) + " " + r.text);
        return out;
    }
    // The texts alone.
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const Record& r : records())
            out.push_back(r.text);
        return out;
    }
    // Lines holding text.
    int count(const char* text) const
    {
        int n = 0;
        for (const std::string& line : lines())
            n += line.find(text) != std::string::npos;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_records.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Record> m_records;
    int* m_destroyed;
};
