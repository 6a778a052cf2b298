// The registry at scale: each case takes its count N as argument and reports the time per key
// (per KiB for the binary value), which should stay flat as N grows. Every run works on a fresh
// machine root under the temporary folder.
#include <hostwin/control.h>
#include <regtool.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A fresh machine root for the life of one benchmark run.
class FreshMachine {
public:
    FreshMachine() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "hostwin-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        m_root = pattern;
        setenv("HOSTWIN_ROOT", m_root.c_str(), 1);
    }
    ~FreshMachine() {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    std::string Path(const std::string& name) const { return m_root + "/" + name; }

private:
    std::string m_root;
};

void Check(LONG rc, benchmark::State& state, const char* what) {
    if (rc != ERROR_SUCCESS)
        state.SkipWithError(what);
}

std::u16string Name(const char* prefix, int64_t i) {
    return hostwin::FromUtf8(prefix + std::to_string(i));
}

HKEY CreateKey(HKEY parent, const std::u16string& path) {
    HKEY key = NULL;
    RegCreateKeyExW(parent, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    return key;
}

// A tree of `count` keys below HKCU\Software\<root>: parents of up to 100 leaves each.
LONG MakeTree(const std::u16string& root, int64_t count) {
    hostwin::RegistryBatch batch;
    HKEY parent = NULL;
    for (int64_t i = 0; i < count; ++i) {
        if (i % 100 == 0) {
            if (parent)
                RegCloseKey(parent);
            parent = CreateKey(HKEY_CURRENT_USER, u"Software\\" + root + u"\\" + Name("P", i));
        }
        HKEY leaf = CreateKey(parent, Name("K", i));
        const BYTE data[] = {1, 2, 3, 4};
        RegSetValueExW(leaf, u"v", 0, REG_BINARY, data, sizeof data);
        RegCloseKey(leaf);
    }
    if (parent)
        RegCloseKey(parent);
    return batch.Commit();
}

// Lists another process would leave in place are dropped when the store changes: a change
// between runs makes each enumeration read its key afresh, as a new process would. After a
// large setup it also starts the log afresh, as the next writer of a real machine would.
void ChangeTheStore() {
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Other");
    const BYTE data[] = {0};
    RegSetValueExW(key, u"tick", 0, REG_BINARY, data, sizeof data);
    RegCloseKey(key);
}

void PerItem(benchmark::State& state, int64_t items, const char* unit = "per_key") {
    state.counters[unit] = benchmark::Counter(static_cast<double>(items),
                                              benchmark::Counter::kIsIterationInvariantRate |
                                                  benchmark::Counter::kInvert);
}

void CreateSubKeys(benchmark::State& state) {
    FreshMachine machine;
    int run = 0;
    for (auto _ : state) {
        HKEY parent = CreateKey(HKEY_CURRENT_USER, Name("Software\\Run", run++));
        for (int64_t i = 0; i < state.range(0); ++i)
            RegCloseKey(CreateKey(parent, Name("K", i)));
        RegCloseKey(parent);
    }
    PerItem(state, state.range(0));
}

void EnumerateSubKeys(benchmark::State& state) {
    FreshMachine machine;
    HKEY parent = CreateKey(HKEY_CURRENT_USER, u"Software\\Wide");
    {
        hostwin::RegistryBatch batch;
        for (int64_t i = 0; i < state.range(0); ++i)
            RegCloseKey(CreateKey(parent, Name("K", i)));
        Check(batch.Commit(), state, "setup");
    }
    for (auto _ : state) {
        state.PauseTiming();
        ChangeTheStore();
        state.ResumeTiming();
        std::vector<std::u16string> names;
        Check(regtool::ReadSubKeys(parent, &names), state, "enumerate");
        benchmark::DoNotOptimize(names);
    }
    RegCloseKey(parent);
    PerItem(state, state.range(0));
}

void EnumerateValues(benchmark::State& state) {
    FreshMachine machine;
    HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Values");
    {
        hostwin::RegistryBatch batch;
        for (int64_t i = 0; i < state.range(0); ++i) {
            const BYTE data[] = {1, 2, 3, 4};
            RegSetValueExW(key, Name("v", i).c_str(), 0, REG_BINARY, data, sizeof data);
        }
        Check(batch.Commit(), state, "setup");
    }
    for (auto _ : state) {
        state.PauseTiming();
        ChangeTheStore();
        state.ResumeTiming();
        std::vector<regtool::Value> values;
        Check(regtool::ReadValues(key, &values), state, "enumerate");
        benchmark::DoNotOptimize(values);
    }
    RegCloseKey(key);
    PerItem(state, state.range(0));
}

// As `reg delete /f` does it: the whole tree in one batch.
void DeleteTree(benchmark::State& state) {
    FreshMachine machine;
    for (auto _ : state) {
        state.PauseTiming();
        Check(MakeTree(u"Tree", state.range(0)), state, "setup");
        HKEY software = CreateKey(HKEY_CURRENT_USER, u"Software");
        state.ResumeTiming();
        hostwin::RegistryBatch batch;
        Check(regtool::DeleteTree(software, u"Tree"), state, "delete");
        Check(batch.Commit(), state, "commit");
        state.PauseTiming();
        RegCloseKey(software);
        state.ResumeTiming();
    }
    PerItem(state, state.range(0));
}

void ExportTree(benchmark::State& state) {
    FreshMachine machine;
    Check(MakeTree(u"Tree", state.range(0)), state, "setup");
    ChangeTheStore();
    regtool::KeyPath path;
    regtool::ParseKeyPath(u"HKCU\\Software\\Tree", &path);
    std::string error;
    for (auto _ : state)
        Check(regtool::ExportKey(path, machine.Path("tree.reg"), &error), state, "export");
    PerItem(state, state.range(0));
}

void ImportTree(benchmark::State& state) {
    FreshMachine machine;
    Check(MakeTree(u"Tree", state.range(0)), state, "setup");
    regtool::KeyPath path;
    regtool::ParseKeyPath(u"HKCU\\Software\\Tree", &path);
    std::string error;
    Check(regtool::ExportKey(path, machine.Path("tree.reg"), &error), state, "export");
    for (auto _ : state) {
        state.PauseTiming();
        HKEY software = CreateKey(HKEY_CURRENT_USER, u"Software");
        Check(regtool::DeleteTree(software, u"Tree"), state, "delete");
        RegCloseKey(software);
        state.ResumeTiming();
        Check(regtool::ImportFile(machine.Path("tree.reg"), &error), state, "import");
    }
    PerItem(state, state.range(0));
}

// A binary value of N KiB as `reg export` writes it: hex continued over many lines.
void ImportBinaryValue(benchmark::State& state) {
    FreshMachine machine;
    {
        HKEY key = CreateKey(HKEY_CURRENT_USER, u"Software\\Blob");
        std::vector<BYTE> data(static_cast<size_t>(state.range(0)) * 1024);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<BYTE>(i * 7);
        Check(RegSetValueExW(key, u"blob", 0, REG_BINARY, data.data(),
                             static_cast<DWORD>(data.size())),
              state, "setup");
        RegCloseKey(key);
    }
    regtool::KeyPath path;
    regtool::ParseKeyPath(u"HKCU\\Software\\Blob", &path);
    std::string error;
    Check(regtool::ExportKey(path, machine.Path("blob.reg"), &error), state, "export");
    // Each import goes to a new machine, as a value first imported does: replacing a value of
    // several MiB again and again measures SQLite's reuse of freed pages instead.
    for (auto _ : state) {
        state.PauseTiming();
        {
            FreshMachine target;
            RegCloseKey(CreateKey(HKEY_CURRENT_USER, u"Software"));
            state.ResumeTiming();
            Check(regtool::ImportFile(machine.Path("blob.reg"), &error), state, "import");
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    PerItem(state, state.range(0), "per_KiB");
}

constexpr benchmark::TimeUnit kUnit = benchmark::kMillisecond;

BENCHMARK(CreateSubKeys)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(kUnit)->Iterations(1);
BENCHMARK(EnumerateSubKeys)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(kUnit)->Iterations(3);
BENCHMARK(EnumerateValues)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(kUnit)->Iterations(3);
BENCHMARK(DeleteTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(kUnit)->Iterations(2);
BENCHMARK(ExportTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(kUnit)->Iterations(2);
BENCHMARK(ImportTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(kUnit)->Iterations(1);
BENCHMARK(ImportBinaryValue)->Arg(64)->Arg(1024)->Arg(4096)->Unit(kUnit)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
