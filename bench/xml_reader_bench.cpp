// The XML reader's parse speed against a well-known in-place parser on the same bytes in the same
// run. The data file is generated in memory: over 20 MB of game-data rows with attributes, child
// elements and references. Every iteration copies the bytes into the same buffer (in-place parses
// consume their text) and parses it with a document kept across iterations, so each parser reuses
// its memory the way a loader reading many files would. The copy is part of every measurement.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"

namespace {

constexpr std::size_t kMinimumBytes = 20u << 20;

const std::string& DataFile() {
    static const std::string text = [] {
        std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- generated game data -->\n<GameData>\n";
        const char* classes[] = {"MELEE", "RANGED", "MOUNTED", "SIEGE", "NAVAL"};
        for (int table = 0; out.size() < kMinimumBytes; ++table) {
            out += "  <Units" + std::to_string(table) + ">\n";
            for (int row = 0; row < 1000; ++row) {
                const std::string id = std::to_string(table * 1000 + row);
                const char* unitClass = classes[row % 5];
                out += "    <Row Type=\"UNIT_" + id + "\" Class=\"UNITCLASS_" + unitClass + "\" Cost=\"" +
                       std::to_string(40 + row % 97) + "\" Moves=\"2\" Description=\"TXT_KEY_UNIT_" + id +
                       "\" Combat='" + std::to_string(row % 31) + "'>\n";
                out += "      <Help>Fights &amp; defends &lt;cities&gt; for " + id + " gold</Help>\n";
                out += "      <Strategy>A &quot;cheap&quot; unit &#x2014; build it early.</Strategy>\n";
                out += "      <Flags Mechanized=\"false\" Recon=\"true\" Naval=\"" + std::string(row % 5 == 4 ? "1" : "0") +
                       "\"/>\n";
                out += "      <PrereqTech>TECH_" + std::string(unitClass) + "_" + std::to_string(row % 13) + "</PrereqTech>\n";
                out += "    </Row>\n";
            }
            out += "  </Units" + std::to_string(table) + ">\n";
        }
        out += "</GameData>\n";
        return out;
    }();
    return text;
}

// The data file copied into a buffer of its own, with room for the terminating zero.
struct Buffer {
    std::vector<char> bytes = std::vector<char>(DataFile().size() + 1);
    void Fill() { std::memcpy(bytes.data(), DataFile().c_str(), bytes.size()); }
};

int CountElements(const Database::XmlNode& root) {
    return 1 + root.ChildCount(-1);
}

void BM_XmlReader(benchmark::State& state) {
    Buffer buffer;
    Database::XmlDocument document;
    for (auto _ : state) {
        buffer.Fill();
        if (!document.Parse(buffer.bytes.data()))
            state.SkipWithError("parse failed");
        benchmark::ClobberMemory();
    }
    Database::XmlNode root;
    document.FirstNode(root);
    state.counters["elements"] = CountElements(root);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DataFile().size()));
}

void PugixmlLoads(benchmark::State& state, unsigned int options);

// pugixml returns its pages to the C heap at every load, and the heap gives them back to the
// system, so each load touches fresh pages. This allocator keeps freed pages for the next load
// instead, which shows the parse itself on an equal footing with the reader's reused pool.
struct KeptPages {
    static constexpr std::size_t kHeader = 16;  // the size, padded to keep blocks aligned
    static inline std::vector<std::pair<std::size_t, void*>> free;

    static void* Allocate(std::size_t size) {
        for (std::size_t i = 0; i < free.size(); ++i) {
            if (free[i].first == size) {
                void* block = free[i].second;
                free[i] = free.back();
                free.pop_back();
                return static_cast<char*>(block) + kHeader;
            }
        }
        auto* block = static_cast<char*>(std::malloc(size + kHeader));
        if (block == nullptr)
            return nullptr;
        std::memcpy(block, &size, sizeof size);
        return block + kHeader;
    }
    static void Deallocate(void* pointer) {
        char* block = static_cast<char*>(pointer) - kHeader;
        std::size_t size;
        std::memcpy(&size, block, sizeof size);
        free.emplace_back(size, block);
    }
    static void Release() {
        for (auto& entry : free)
            std::free(entry.second);
        free.clear();
    }
};

void PugixmlParse(benchmark::State& state, unsigned int options, bool keepPages) {
    const pugi::allocation_function allocate = pugi::get_memory_allocation_function();
    const pugi::deallocation_function deallocate = pugi::get_memory_deallocation_function();
    if (keepPages)
        pugi::set_memory_management_functions(KeptPages::Allocate, KeptPages::Deallocate);
    PugixmlLoads(state, options);  // its document is gone before the functions are restored
    pugi::set_memory_management_functions(allocate, deallocate);
    KeptPages::Release();
}

void PugixmlLoads(benchmark::State& state, unsigned int options) {
    Buffer buffer;
    pugi::xml_document document;
    for (auto _ : state) {
        buffer.Fill();
        if (!document.load_buffer_inplace(buffer.bytes.data(), DataFile().size(), options))
            state.SkipWithError("parse failed");
        benchmark::ClobberMemory();
    }
    state.counters["elements"] = static_cast<double>(document.select_nodes("//*").size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DataFile().size()));
}

void BM_PugixmlMinimal(benchmark::State& state) {
    PugixmlParse(state, pugi::parse_minimal, false);
}

void BM_PugixmlDefault(benchmark::State& state) {
    PugixmlParse(state, pugi::parse_default, false);
}

void BM_PugixmlMinimalKeptPages(benchmark::State& state) {
    PugixmlParse(state, pugi::parse_minimal, true);
}

void BM_PugixmlDefaultKeptPages(benchmark::State& state) {
    PugixmlParse(state, pugi::parse_default, true);
}

// The copy alone, to show how much of each figure is the parse.
void BM_CopyOnly(benchmark::State& state) {
    Buffer buffer;
    for (auto _ : state) {
        buffer.Fill();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * DataFile().size()));
}

}  // namespace

BENCHMARK(BM_CopyOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XmlReader)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlMinimal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlDefault)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlMinimalKeptPages)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlDefaultKeptPages)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::printf("data file: %zu bytes\n", DataFile().size());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
