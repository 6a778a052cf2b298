// libFuzzer target: arbitrary text expanded, split into tokens and applied to a scratch
// registry, in register then unregister mode, with and without per-user registration.
//
// Input: the first byte picks the per-user flag (bit 0); the rest is the script, read as
// UTF-8, or unit by unit from its bytes when it is not valid UTF-8. Any crash, sanitizer
// report or leaked handle is a finding.
#include "registrar.h"
#include "trace.h"

#include <hostwin/control.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const HKEY kStoredRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                             HKEY_CURRENT_CONFIG};

std::u16string ScriptText(const uint8_t* data, size_t size) {
    std::u16string text;
    if (size == 0)
        return text;
    const auto* bytes = reinterpret_cast<const char*>(data);
    int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), NULL, 0);
    if (units > 0) {
        text.resize(static_cast<size_t>(units));
        MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), &text[0], units);
    } else {
        text.assign(data, data + size);
    }
    // The script ends at its first zero, as the registrar reads it.
    return text.substr(0, text.find(u'\0'));
}

// Back to a fresh machine's registry, so that every input starts from the same state.
void ResetRegistry() {
    for (HKEY root : kStoredRoots) {
        CRegKey key;
        if (key.OpenKey(root, NULL, KEY_READ | KEY_WRITE) != ERROR_SUCCESS)
            std::abort();
        for (;;) {
            WCHAR name[256];
            DWORD length = 256;
            if (RegEnumKeyExW(key, 0, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
                break;
            if (key.RecurseDeleteKey(name) != ERROR_SUCCESS)
                std::abort();
        }
    }
    CRegKey classes;
    if (classes.CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes", NULL, 0, KEY_READ, NULL,
                          NULL) != ERROR_SUCCESS)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A scratch machine of our own, in memory where there is a tmpfs.
    std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/registrar-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == NULL)
        std::abort();
    setenv("HOSTWIN_ROOT", pattern.c_str(), 1);
    static std::string root = pattern;
    std::atexit([] { std::filesystem::remove_all(root); });
    // Every trace level, so that every trace text is formatted.
    g_traceLevel = 2;
    ResetRegistry();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const hostwin::HandleCounts before = hostwin::OpenHandleCounts();
    SetPerUserRegistration((data[0] & 1) != 0);
    const std::u16string script = ScriptText(data + 1, size - 1);

    CRegObject registrar;
    if (FAILED(registrar.Initialize()))
        std::abort();
    registrar.DefineReplacement(u"APPID", u"{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}");
    registrar.DefineReplacement(u"Module", u"\"C:\\it''s\\tollivar.exe\"");
    registrar.DefineReplacement(u"Module_Raw", u"C:\\it''s\\tollivar.exe");
    for (BOOL bRegister : {TRUE, FALSE}) {
        ScriptParser parser(&registrar);
        parser.ApplyScript(script.c_str(), bRegister);
    }

    if (hostwin::OpenHandleCounts() != before) {
        std::fprintf(stderr, "registrar_fuzz: a handle was leaked\n");
        std::abort();
    }
    hostwin::ClearDebugReports();
    unlink((hostwin::MachineRoot() + "/debug.log").c_str());
    ResetRegistry();
    return 0;
}
