// stanza_bench: reading a 2,000-line configuration file through the stanza
// functions, per open: in memory mode (the configuration manager's way) and
// in file mode.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/file/qorstanza.h"

namespace {

// 100 stanzas of a heading, a comment, 17 entries and a blank line.
class ConfigFile {
public:
    ConfigFile()
    {
        const char* dir = getenv("TMPDIR");
        m_path = std::string(dir != nullptr ? dir : "/tmp") + "/stanza_benchXXXXXX";
        int fd = mkstemp(&m_path[0]);
        FILE* fp = fdopen(fd, "w");
        for (int s = 0; s < 100; s++) {
            fprintf(fp, "[host-%d.example.com]\n# settings of host %d\n", s, s);
            for (int e = 0; e < 17; e++)
                fprintf(fp, "entry-%d = value %d of stanza %d   # note\n", e, e, s);
            fprintf(fp, "\n");
        }
        fclose(fp);
    }
    ~ConfigFile() { unlink(m_path.c_str()); }
    const char* path() const { return m_path.c_str(); }

private:
    std::string m_path;
};

const ConfigFile& configFile()
{
    static ConfigFile file;
    return file;
}

void readAll(benchmark::State& state, unsigned mode)
{
    const char* path = configFile().path();
    size_t entries = 0;
    for (auto _ : state) {
        QORStatus status;
        qorStanzaFile* stz = qorStzFileOpen(path, mode, &status);
        if (stz == nullptr) {
            state.SkipWithError("open failed");
            return;
        }
        entries = 0;
        for (qorStzMoveFirstStanza(stz); stz->stanzaName != nullptr;
             qorStzMoveNextStanza(stz)) {
            for (; stz->entryName != nullptr; qorStzMoveNextEntry(stz)) {
                benchmark::DoNotOptimize(stz->value);
                entries++;
            }
        }
        qorStzFileClose(stz);
    }
    state.counters["entries"] = static_cast<double>(entries);
}

void BM_Stanza_OpenInMemoryReadAll(benchmark::State& state)
{
    readAll(state, QOR_STZ_READ_ONLY | QOR_STZ_IN_MEMORY);
}
BENCHMARK(BM_Stanza_OpenInMemoryReadAll)->Unit(benchmark::kMicrosecond);

void BM_Stanza_OpenFileModeReadAll(benchmark::State& state)
{
    readAll(state, QOR_STZ_READ_ONLY);
}
BENCHMARK(BM_Stanza_OpenFileModeReadAll)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
