// How the registry-script registrar grows with the size of a script: expansion (plain and
// per-user), tokenising, and application in register and unregister mode, for generated
// scripts of 1 000, 10 000 and 100 000 keys. Each case reports its time per key ("per_key"),
// which must stay flat as the key count grows.
#include "registrar.h"
#include "trace.h"

#include <hostwin/control.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

// A script that registers `keys` keys below HKCU\Software\RegistrarBench, a hundred to a
// parent, each with a value, using the replacements a real script uses.
std::u16string GenerateScript(int keys) {
    std::u16string script =
        u"HKCR\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tRegistrarBench\r\n\t\t{\r\n";
    for (int group = 0; group * 100 < keys; ++group) {
        script += u"\t\t\tGroup" + hostwin::FromUtf8(std::to_string(group)) + u"\r\n\t\t\t{\r\n";
        for (int i = group * 100; i < keys && i < (group + 1) * 100; ++i)
            script += u"\t\t\t\tKey" + hostwin::FromUtf8(std::to_string(i)) +
                      u" = s '%APPID%'\r\n\t\t\t\t{\r\n\t\t\t\t\tval Path = s '%Module%'\r\n"
                      u"\t\t\t\t}\r\n";
        script += u"\t\t\t}\r\n";
    }
    script += u"\t\t}\r\n\t}\r\n}\r\n";
    return script;
}

struct Fixture {
    Fixture() {
        std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = base + "/registrar-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == NULL)
            std::abort();
        root = pattern;
        setenv("HOSTWIN_ROOT", root.c_str(), 1);
        // The host's debug log is not what is measured.
        g_traceLevel = 0xFFFFFFFF;
        // Keys go to HKCU\Software: the script's HKCR becomes the user's classes root.
        SetPerUserRegistration(true);
        registrar.Initialize();
        registrar.DefineReplacement(u"APPID", u"{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}");
        registrar.DefineReplacement(u"Module", u"\"C:\\Program Files\\tollivar\\tollivar.exe\"");
    }
    ~Fixture() { std::filesystem::remove_all(root); }

    std::string root;
    CRegObject registrar;
};

Fixture& Shared() {
    static Fixture* fixture = new Fixture;
    return *fixture;
}

void ReportPerKey(benchmark::State& state) {
    state.counters["per_key"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

void ExpandCase(benchmark::State& state, bool perUser) {
    Fixture& fixture = Shared();
    const std::u16string script = GenerateScript(static_cast<int>(state.range(0)));
    SetPerUserRegistration(perUser);
    for (auto _ : state) {
        ScriptParser parser(&fixture.registrar);
        LPOLESTR expanded = NULL;
        if (FAILED(parser.ExpandScript(script.c_str(), &expanded)))
            state.SkipWithError("expansion failed");
        CoTaskMemFree(expanded);
    }
    SetPerUserRegistration(true);
    ReportPerKey(state);
}

void BM_ExpandScript(benchmark::State& state) {
    ExpandCase(state, false);
}
void BM_ExpandScriptPerUser(benchmark::State& state) {
    ExpandCase(state, true);
}

void BM_NextToken(benchmark::State& state) {
    Fixture& fixture = Shared();
    const std::u16string script = GenerateScript(static_cast<int>(state.range(0)));
    ScriptParser expander(&fixture.registrar);
    LPOLESTR expanded = NULL;
    if (FAILED(expander.ExpandScript(script.c_str(), &expanded)))
        std::abort();
    OLECHAR token[kTokenCapacity];
    for (auto _ : state) {
        ScriptParser parser(&fixture.registrar);
        parser.m_cursor = expanded;
        while (SUCCEEDED(parser.NextToken(token)))
            benchmark::DoNotOptimize(token[0]);
    }
    CoTaskMemFree(expanded);
    ReportPerKey(state);
}

HRESULT Apply(const std::u16string& script, BOOL bRegister) {
    ScriptParser parser(&Shared().registrar);
    return parser.ApplyScript(script.c_str(), bRegister);
}

void BM_ApplyRegister(benchmark::State& state) {
    const std::u16string script = GenerateScript(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (FAILED(Apply(script, TRUE)))
            state.SkipWithError("registration failed");
        state.PauseTiming();
        Apply(script, FALSE);
        state.ResumeTiming();
    }
    ReportPerKey(state);
}

void BM_ApplyUnregister(benchmark::State& state) {
    const std::u16string script = GenerateScript(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        if (FAILED(Apply(script, TRUE)))
            state.SkipWithError("registration failed");
        state.ResumeTiming();
        if (FAILED(Apply(script, FALSE)))
            state.SkipWithError("unregistration failed");
    }
    ReportPerKey(state);
}

} // namespace

BENCHMARK(BM_ExpandScript)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandScriptPerUser)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NextToken)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyRegister)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyUnregister)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
