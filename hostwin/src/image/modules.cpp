// Modules and resources: this executable with the resources embedded at link time, the
// system DLLs the system looks up by name, and images loaded as data files to read their
// resources (PE images such as the Windows build of tollivar.exe, or host executables).
#include "image/modules.h"

#include "base/core.h"
#include "image/peimage.h"

#include <hostwin/owner.h>
#include <oleauto.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <mutex>
#include <cstdio>
#include <cstring>

// Bounds of the "hostwin_res" section that resources/embed.S fills; absent (null) in host
// programs that carry no resources.
extern "C" {
extern const BYTE __start_hostwin_res[] __attribute__((weak));
extern const BYTE __stop_hostwin_res[] __attribute__((weak));
extern const char __executable_start[] __attribute__((weak));
}

namespace hostwin {

namespace {

struct Export {
    const char* name;
    FARPROC address;
};

// A system DLL that every process has loaded. Its handle is the address of its record.
struct SystemModule {
    const char16_t* name;
    const Export* exports;
    size_t exportCount;
};

// Through void(*)(), the generic function pointer type, as GetProcAddress hands it out.
template <class Function> FARPROC ExportAddress(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const Export kAdvapi32Exports[] = {
    {"RegDeleteKeyExW", ExportAddress(&RegDeleteKeyExW)},
};

// The per-user type-library functions, which callers find by name because older systems
// lack them.
const Export kOleaut32Exports[] = {
    {"RegisterTypeLibForUser", ExportAddress(&RegisterTypeLibForUser)},
    {"UnRegisterTypeLibForUser", ExportAddress(&UnRegisterTypeLibForUser)},
};

const SystemModule kSystemModules[] = {
    {u"KERNEL32.DLL", nullptr, 0},
    {u"ADVAPI32.DLL", kAdvapi32Exports, sizeof kAdvapi32Exports / sizeof kAdvapi32Exports[0]},
    {u"OLE32.DLL", nullptr, 0},
    {u"OLEAUT32.DLL", kOleaut32Exports, sizeof kOleaut32Exports / sizeof kOleaut32Exports[0]},
    {u"USER32.DLL", nullptr, 0},
    {u"SHLWAPI.DLL", nullptr, 0},
};

HMODULE HandleOf(const SystemModule& module) {
    return reinterpret_cast<HMODULE>(const_cast<SystemModule*>(&module));
}

const SystemModule* FindSystemModule(HMODULE handle) {
    for (const SystemModule& module : kSystemModules)
        if (HandleOf(module) == handle)
            return &module;
    return nullptr;
}

// An image mapped read-only and loaded as a data file: its resources point into the mapping,
// which lives as long as the handle.
class DataFileModule : public KernelObject {
public:
    DataFileModule(void* mapping, size_t size)
        : KernelObject(HandleKind::Module), m_mapping(mapping), m_size(size) {}
    ~DataFileModule() override { munmap(m_mapping, m_size); }
    const BYTE* Bytes() const { return static_cast<const BYTE*>(m_mapping); }
    size_t Size() const { return m_size; }
    ResourceTable& Resources() { return m_resources; }

private:
    void* m_mapping;
    size_t m_size;
    ResourceTable m_resources;
};

const ResourceTable& ExecutableResources() {
    static const ResourceTable* table = [] {
        auto* resources = new ResourceTable;
        const BYTE* start = __start_hostwin_res;
        const BYTE* stop = __stop_hostwin_res;
        if (start && stop > start) {
            if (resources->ReadResFile(start, static_cast<size_t>(stop - start)) != ERROR_SUCCESS)
                std::fprintf(stderr, "hostwin: this executable's embedded resources are "
                                     "malformed; it has none\n");
        }
        return resources;
    }();
    return *table;
}

const ResourceTable& NoResources() {
    static const ResourceTable* table = new ResourceTable;
    return *table;
}

// The resources of a module handle, and what keeps them alive for the caller. Sets the last
// error and returns null for a handle that names no module.
const ResourceTable* ModuleResources(HMODULE module, std::shared_ptr<DataFileModule>* keep) {
    if (IsExecutableModule(module))
        return &ExecutableResources();
    if (FindSystemModule(module))
        return &NoResources();
    *keep = LookupHandleAs<DataFileModule>(module, HandleKind::Module);
    if (!*keep)
        return FailWith(ERROR_INVALID_HANDLE, static_cast<const ResourceTable*>(nullptr));
    return &(*keep)->Resources();
}

HRSRC FindResourceIn(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language,
                     const char* function) {
    std::shared_ptr<DataFileModule> keep;
    const ResourceTable* resources = ModuleResources(module, &keep);
    if (!resources)
        return nullptr;
    ResourceId typeId = ResourceId::FromArgument(type);
    ResourceId nameId = ResourceId::FromArgument(name);
    DWORD error = ERROR_SUCCESS;
    const ResourceEntry* entry = resources->Find(typeId, nameId, language, &error);
    LogCall(function, "type=%s name=%s lang=0x%04x -> %s", typeId.Describe().c_str(),
            nameId.Describe().c_str(), language, entry ? "found" : "not found");
    if (!entry)
        return FailWith(error, static_cast<HRSRC>(nullptr));
    return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(entry));
}

// The entry behind a resource handle of `module`; null with the last error set otherwise.
const ResourceEntry* ResourceOf(HMODULE module, HRSRC handle,
                                std::shared_ptr<DataFileModule>* keep) {
    const ResourceTable* resources = ModuleResources(module, keep);
    if (!resources)
        return nullptr;
    auto* entry = reinterpret_cast<const ResourceEntry*>(handle);
    if (!handle || !resources->Contains(entry))
        return FailWith(ERROR_RESOURCE_DATA_NOT_FOUND, static_cast<const ResourceEntry*>(nullptr));
    return entry;
}

DWORD LoadErrorFromErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_MOD_NOT_FOUND;
    }
}

// Modules a test made GetModuleHandleW find; the address of each name stands for its handle.
struct PretendModules {
    std::mutex lock;
    std::list<std::u16string> names; // upper case, with extension; nodes never move
};
PretendModules& Pretended() {
    static PretendModules* modules = [] {
        auto* created = new PretendModules;
        if (const char* list = std::getenv("HOSTWIN_LOADED_MODULES")) {
            std::string text = list;
            for (size_t start = 0; start <= text.size();) {
                size_t end = std::min(text.find(',', start), text.size());
                if (end > start)
                    created->names.push_back(FoldName(FromUtf8(text.substr(start, end - start))));
                start = end + 1;
            }
        }
        return created;
    }();
    return *modules;
}

HMODULE FindPretendedModule(const std::u16string& upperName) {
    PretendModules& modules = Pretended();
    std::lock_guard<std::mutex> guard(modules.lock);
    for (const std::u16string& name : modules.names)
        if (name == upperName)
            return reinterpret_cast<HMODULE>(const_cast<std::u16string*>(&name));
    return nullptr;
}

} // namespace

HMODULE ExecutableModule() {
    static const char fallback = 0;
    const char* base = __executable_start ? __executable_start : &fallback;
    return reinterpret_cast<HMODULE>(const_cast<char*>(base));
}

bool IsExecutableModule(HMODULE module) {
    return !module || module == ExecutableModule();
}

DWORD CopyModuleResource(HMODULE module, const ResourceId& type, const ResourceId& name,
                         WORD language, std::vector<BYTE>* bytes) {
    std::shared_ptr<DataFileModule> keep;
    const ResourceTable* resources = nullptr;
    if (IsExecutableModule(module))
        resources = &ExecutableResources();
    else if (FindSystemModule(module))
        resources = &NoResources();
    else if ((keep = LookupHandleAs<DataFileModule>(module, HandleKind::Module)))
        resources = &keep->Resources();
    else
        return ERROR_INVALID_HANDLE;
    DWORD error = ERROR_SUCCESS;
    const ResourceEntry* entry = resources->Find(type, name, language, &error);
    if (!entry)
        return error;
    bytes->assign(entry->data, entry->data + entry->size);
    return ERROR_SUCCESS;
}

void PretendModuleLoaded(const std::u16string& moduleName, bool loaded) {
    PretendModules& modules = Pretended();
    std::lock_guard<std::mutex> guard(modules.lock);
    std::u16string upper = FoldName(moduleName);
    bool present =
        std::find(modules.names.begin(), modules.names.end(), upper) != modules.names.end();
    if (loaded && !present)
        modules.names.push_back(upper);
    else if (!loaded)
        modules.names.remove(upper);
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    HOSTWIN_FAULT_POINT(nullptr);
    if (!lpModuleName)
        return ExecutableModule();
    std::u16string name = FoldName(lpModuleName);
    LogCall(__func__, "%s", ToUtf8(name).c_str());
    if (name.find_first_of(u"\\/") != std::u16string::npos)
        return NotSupported(__func__, "module names with a path", static_cast<HMODULE>(nullptr));
    // As on Windows: no extension means ".dll"; a trailing dot means no extension at all.
    if (!name.empty() && name.back() == u'.')
        name.pop_back();
    else if (name.find(u'.') == std::u16string::npos)
        name += u".DLL";
    for (const SystemModule& module : kSystemModules)
        if (name == module.name)
            return HandleOf(module);
    if (HMODULE pretended = FindPretendedModule(name))
        return pretended;
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string path(self, static_cast<size_t>(length));
        if (name == FoldName(FromUtf8(path.substr(path.rfind('/') + 1))))
            return ExecutableModule();
    }
    return FailWith(ERROR_MOD_NOT_FOUND, static_cast<HMODULE>(nullptr));
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    HOSTWIN_FAULT_POINT(nullptr);
    if (IS_INTRESOURCE(lpProcName))
        return NotSupported(__func__, "lookup by ordinal", static_cast<FARPROC>(nullptr));
    LogCall(__func__, "%s", lpProcName);
    if (const SystemModule* module = FindSystemModule(hModule)) {
        for (size_t i = 0; i < module->exportCount; ++i)
            if (std::strcmp(module->exports[i].name, lpProcName) == 0)
                return module->exports[i].address;
        return FailWith(ERROR_PROC_NOT_FOUND, static_cast<FARPROC>(nullptr));
    }
    // This executable exports nothing, and a data file has no code to call.
    if (IsExecutableModule(hModule) || LookupHandle(hModule, HandleKind::Module))
        return FailWith(ERROR_PROC_NOT_FOUND, static_cast<FARPROC>(nullptr));
    return FailWith(ERROR_INVALID_HANDLE, static_cast<FARPROC>(nullptr));
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    HOSTWIN_FAULT_POINT(nullptr);
    if (!lpLibFileName || !*lpLibFileName || hFile)
        return FailWith(ERROR_INVALID_PARAMETER, static_cast<HMODULE>(nullptr));
    // Any mix of the data-file modes; exclusive write access changes nothing for a reader.
    const DWORD dataModes = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE |
                            LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE;
    if ((dwFlags & dataModes) == 0 || (dwFlags & ~dataModes) != 0)
        return NotSupported(__func__, "loading other than as a data file or image resource",
                            static_cast<HMODULE>(nullptr));
    std::string path = HostPath(lpLibFileName);
    LogCall(__func__, "%s flags=0x%x", path.c_str(), dwFlags);

    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return FailWith(LoadErrorFromErrno(errno), static_cast<HMODULE>(nullptr));
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return FailWith(ERROR_ACCESS_DENIED, static_cast<HMODULE>(nullptr));
    size_t size = static_cast<size_t>(info.st_size);
    if (size == 0)
        return FailWith(ERROR_BAD_FORMAT, static_cast<HMODULE>(nullptr));
    // Read-only, so that the pointers LoadStringW hands out cannot be written through.
    void* mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    int mapError = errno;
    fd.reset(); // the mapping stays valid without it
    if (mapping == MAP_FAILED)
        return FailWith(LoadErrorFromErrno(mapError), static_cast<HMODULE>(nullptr));

    auto module = std::make_shared<DataFileModule>(mapping, size);
    if (DWORD error = module->Resources().ReadImage(module->Bytes(), module->Size()))
        return FailWith(error, static_cast<HMODULE>(nullptr));
    return reinterpret_cast<HMODULE>(InsertHandle(std::move(module)));
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (std::shared_ptr<KernelObject> module = RemoveHandle(hLibModule, HandleKind::Module)) {
        LogCall(__func__, "data file");
        return TRUE;
    }
    // Modules every process keeps loaded stay loaded.
    if (hLibModule && (IsExecutableModule(hLibModule) || FindSystemModule(hLibModule)))
        return TRUE;
    return FailWith(ERROR_INVALID_HANDLE, FALSE);
}

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    HOSTWIN_FAULT_POINT(nullptr);
    return FindResourceIn(hModule, lpType, lpName, 0, __func__);
}

HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage) {
    HOSTWIN_FAULT_POINT(nullptr);
    return FindResourceIn(hModule, lpType, lpName, wLanguage, __func__);
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
    HOSTWIN_FAULT_POINT(nullptr);
    std::shared_ptr<DataFileModule> keep;
    const ResourceEntry* entry = ResourceOf(hModule, hResInfo, &keep);
    if (!entry)
        return nullptr;
    return const_cast<BYTE*>(entry->data);
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
    HOSTWIN_FAULT_POINT(nullptr);
    // Resource data is mapped for as long as its module is loaded: the handle is the address.
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    HOSTWIN_FAULT_POINT(0);
    std::shared_ptr<DataFileModule> keep;
    const ResourceEntry* entry = ResourceOf(hModule, hResInfo, &keep);
    return entry ? entry->size : 0;
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    HOSTWIN_FAULT_POINT(0);
    LogCall(__func__, "instance=%p id=%u", static_cast<void*>(hInstance), uID);
    if (!lpBuffer || cchBufferMax < 0)
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    if (cchBufferMax > 0)
        lpBuffer[0] = 0; // a failed load leaves an empty string, not stale text
    std::shared_ptr<DataFileModule> keep;
    const ResourceTable* resources = ModuleResources(hInstance, &keep);
    if (!resources)
        return 0;
    // Strings live in blocks of sixteen: block (id / 16) + 1, each string a WORD count of
    // UTF-16 units followed by the units, without terminator.
    if (uID > 0xFFFF)
        return FailWith(ERROR_RESOURCE_NAME_NOT_FOUND, 0); // resource ids are 16-bit
    DWORD error = ERROR_SUCCESS;
    const ResourceEntry* block = resources->Find(
        ResourceId::Number(6), ResourceId::Number(static_cast<WORD>((uID >> 4) + 1)), 0, &error);
    if (!block)
        return FailWith(error, 0);
    size_t offset = 0;
    WORD length = 0;
    for (UINT index = 0;; ++index) {
        if (offset + 2 > block->size)
            return FailWith(ERROR_RESOURCE_NAME_NOT_FOUND, 0);
        std::memcpy(&length, block->data + offset, 2);
        offset += 2;
        if (static_cast<size_t>(length) * 2 > block->size - offset)
            return FailWith(ERROR_RESOURCE_NAME_NOT_FOUND, 0); // malformed block
        if (index == (uID & 15))
            break;
        offset += static_cast<size_t>(length) * 2;
    }
    if (length == 0)
        return FailWith(ERROR_RESOURCE_NAME_NOT_FOUND, 0);
    const BYTE* text = block->data + offset;
    if (cchBufferMax == 0) {
        // The caller gets a read-only pointer to the text itself, which is not terminated.
        const WCHAR* pointer = reinterpret_cast<const WCHAR*>(text);
        std::memcpy(lpBuffer, &pointer, sizeof pointer);
        return length;
    }
    int count = length < cchBufferMax - 1 ? length : cchBufferMax - 1;
    std::memcpy(lpBuffer, text, static_cast<size_t>(count) * 2);
    lpBuffer[count] = 0;
    return count;
}

} // extern "C"
