// foundation_bench: strings, hash tables and the case-insensitive hasher
// against the standard library, side by side in one run.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "core/buffers/qorstring.h"
#include "core/list/qorhashtable.h"

namespace {

const char kShort[] = "/cgi-bin/app/login.jsp";
const std::string kLong(300, 'p');

void BM_QORString_SetAppendShort(benchmark::State& state)
{
    for (auto _ : state) {
        QORString s;
        s.set(QORStringRef(kShort));
        s.append("?user=alice&lang=en", -1);
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_QORString_SetAppendShort);

void BM_StdString_SetAppendShort(benchmark::State& state)
{
    for (auto _ : state) {
        std::string s;
        s.assign(kShort);
        s.append("?user=alice&lang=en");
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_StdString_SetAppendShort);

void BM_QORString_SetAppendLong(benchmark::State& state)
{
    for (auto _ : state) {
        QORString s;
        s.set(QORStringRef(kLong.c_str(), static_cast<int>(kLong.size())));
        s.append("?user=alice&lang=en", -1);
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_QORString_SetAppendLong);

void BM_StdString_SetAppendLong(benchmark::State& state)
{
    for (auto _ : state) {
        std::string s;
        s.assign(kLong);
        s.append("?user=alice&lang=en");
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_StdString_SetAppendLong);

// Appending one character at a time: exact growth reallocates on every
// character past the inline buffer, where std::string doubles.
void BM_QORString_AppendCharsTo1000(benchmark::State& state)
{
    for (auto _ : state) {
        QORString s;
        for (int i = 0; i < 1000; i++)
            s.append('c');
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_QORString_AppendCharsTo1000);

void BM_StdString_AppendCharsTo1000(benchmark::State& state)
{
    for (auto _ : state) {
        std::string s;
        for (int i = 0; i < 1000; i++)
            s.push_back('c');
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_StdString_AppendCharsTo1000);

const int kKeys = 10000;

std::vector<std::string> makeKeys()
{
    std::vector<std::string> keys;
    for (int i = 0; i < kKeys; i++)
        keys.push_back("/protected/space/resource-" + std::to_string(i * 7919) + ".html");
    return keys;
}

struct QORTable {
    QORHashTable<QORString, int> table{nullptr, true};
    std::vector<QORStringRef> probes;

    explicit QORTable(const std::vector<std::string>& keys)
    {
        table.initialize(16384);
        for (int i = 0; i < kKeys; i++)
            table.insert(qor_new<QORString>(nullptr, keys[i].c_str()), i);
        for (const std::string& k : keys)
            probes.emplace_back(k.c_str(), static_cast<int>(k.size()));
    }
};

void BM_QORHashTable_FindCachedHash(benchmark::State& state)
{
    std::vector<std::string> keys = makeKeys();
    QORTable t(keys);
    for (QORStringRef& p : t.probes)
        p.hash();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.table.find(t.probes[i]));
        i = (i + 1) % kKeys;
    }
}
BENCHMARK(BM_QORHashTable_FindCachedHash);

void BM_QORHashTable_FindFreshKey(benchmark::State& state)
{
    std::vector<std::string> keys = makeKeys();
    QORTable t(keys);
    size_t i = 0;
    for (auto _ : state) {
        QORStringRef probe(keys[i].c_str(), static_cast<int>(keys[i].size()));
        benchmark::DoNotOptimize(t.table.find(probe));
        i = (i + 1) % kKeys;
    }
}
BENCHMARK(BM_QORHashTable_FindFreshKey);

// Keys as views into caller-owned text: the table's nodes and keys then fit
// the cache the way std::unordered_map's do.
void BM_QORHashTable_ViewKeys_FindCachedHash(benchmark::State& state)
{
    std::vector<std::string> keys = makeKeys();
    std::vector<QORStringRef> stored;
    stored.reserve(kKeys);
    QORHashTable<QORStringRef, int> table;
    table.initialize(16384);
    for (int i = 0; i < kKeys; i++) {
        stored.emplace_back(keys[i].c_str(), static_cast<int>(keys[i].size()));
        table.insert(&stored.back(), i);
    }
    std::vector<QORStringRef> probes(stored);
    for (QORStringRef& p : probes)
        p.hash();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.find(probes[i]));
        i = (i + 1) % kKeys;
    }
}
BENCHMARK(BM_QORHashTable_ViewKeys_FindCachedHash);

void BM_StdUnorderedMap_Find(benchmark::State& state)
{
    std::vector<std::string> keys = makeKeys();
    std::unordered_map<std::string, int> map;
    map.reserve(16384);
    for (int i = 0; i < kKeys; i++)
        map.emplace(keys[i], i);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.find(keys[i]));
        i = (i + 1) % kKeys;
    }
}
BENCHMARK(BM_StdUnorderedMap_Find);

void BM_ICaseHasher(benchmark::State& state, std::string text)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(
            qor_icase_string_hasher.hash(text.data(), static_cast<unsigned>(text.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations())
                            * static_cast<int64_t>(text.size()));
}

std::string asciiText()
{
    std::string s;
    while (s.size() < 4096)
        s += "Content-Type: Text/HTML; Charset=ISO-8859-1 ";
    return s;
}

std::string mixedText()
{
    std::string s;
    while (s.size() < 4096)
        s += "Caf\xc3\xa9 \xc3\x89t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac ";
    return s;
}

BENCHMARK_CAPTURE(BM_ICaseHasher, ascii_4k, asciiText());
BENCHMARK_CAPTURE(BM_ICaseHasher, utf8_mixed_4k, mixedText());

void BM_PlainHasher(benchmark::State& state)
{
    std::string text = asciiText();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            qor_string_hasher.hash(text.data(), static_cast<unsigned>(text.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations())
                            * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_PlainHasher);

} // namespace

BENCHMARK_MAIN();
