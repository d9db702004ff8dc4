// config_bench: reading a 2,000-line configuration file through the
// configuration manager: the open alone (read into memory), and the open
// followed by loadStanza of every stanza, as the web-server adapter reads its
// settings at start-up.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "config_mgr/qorconfigmgr.h"

namespace {

// 100 stanzas of a heading and 19 entries: 2,000 lines. Every fifth value
// is a comma-separated list, every seventh entry has a comment.
const int kStanzas = 100;
const int kEntriesPerStanza = 19;

class ConfigFile {
public:
    ConfigFile()
    {
        char tmpl[] = "/tmp/config_benchXXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0)
            abort();
        m_path = tmpl;
        FILE* f = fdopen(fd, "w");
        for (int s = 0; s < kStanzas; s++) {
            fprintf(f, "[stanza-%03d]\n", s);
            for (int e = 0; e < kEntriesPerStanza; e++) {
                if (e % 5 == 0)
                    fprintf(f, "entry-%02d = value-a, value-b, value-%d\n", e, s);
                else if (e % 7 == 0)
                    fprintf(f, "entry-%02d = %d   # port of stanza %d\n", e,
                            8000 + e, s);
                else
                    fprintf(f, "entry-%02d = /opt/dxqor/etc/value-%d-%d\n", e, s, e);
            }
        }
        fclose(f);
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

void BM_ConfigMgr_Initialize(benchmark::State& state)
{
    const char* path = configFile().path();
    for (auto _ : state) {
        QORConfigMgr mgr;
        if (mgr.initialize(path) != qor_s_ok)
            state.SkipWithError("initialize failed");
    }
    state.SetLabel("2000 lines");
}
BENCHMARK(BM_ConfigMgr_Initialize)->Unit(benchmark::kMicrosecond);

void BM_ConfigMgr_LoadEveryStanza(benchmark::State& state)
{
    const char* path = configFile().path();
    const bool ignoreCommas = state.range(0) != 0;
    char names[kStanzas][16];
    for (int s = 0; s < kStanzas; s++)
        snprintf(names[s], sizeof names[s], "stanza-%03d", s);
    size_t values = 0;
    for (auto _ : state) {
        QORConfigMgr mgr;
        if (mgr.initialize(path) != qor_s_ok)
            state.SkipWithError("initialize failed");
        for (int s = 0; s < kStanzas; s++) {
            dxw_config_entry_s* data = nullptr;
            if (!QORConfigMgr::loadStanza(&mgr, names[s], nullptr, &data,
                                          ignoreCommas)) {
                state.SkipWithError("loadStanza failed");
                break;
            }
            for (dxw_config_entry_s* e = data; e->name; e++)
                values++;
            QORConfigMgr::releaseStanzaData(data);
        }
    }
    benchmark::DoNotOptimize(values);
    state.SetLabel(ignoreCommas ? "2000 lines, ignore commas"
                                : "2000 lines, observe commas");
}
BENCHMARK(BM_ConfigMgr_LoadEveryStanza)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
