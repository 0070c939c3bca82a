// What every wine test host shares: Sonavex.dll loaded as a client loads it
// (LoadLibrary, then GetProcAddress by name or by ordinal) into pointers of
// the host's own types, and the file and folder helpers the hosts need.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "sonavex.h"

namespace svhost {

// Bytes a __stdcall callee pops for these parameter types: each parameter
// takes whole 4-byte words.
template <typename... A>
struct ArgBytes {
    static constexpr unsigned value = (0u + ... + ((sizeof(A) + 3u) / 4u * 4u));
};
template <>
struct ArgBytes<void> {
    static constexpr unsigned value = 0;
};

// The seventeen exports as a client declares them: name, result, parameters.
// The list is in byte order of the names, the order that gives the ordinals.
#define SV_HOST_EXPORTS(X)                                                                      \
    X(SV_AudioCapClear, int32_t, SV_CAPTURE)                                                    \
    X(SV_AudioDecClear, int32_t, SV_DECODER)                                                    \
    X(SV_AudioDecGetFrames, int32_t, SV_DECODER)                                                \
    X(SV_AudioDecGetVolume, uint32_t, SV_DECODER)                                               \
    X(SV_AudioDecSetVolume, int32_t, SV_DECODER, uint32_t)                                      \
    X(SV_ClearAudioFrames, uint32_t, SV_DECODER, int32_t, int32_t, uint32_t, int64_t*, int64_t*) \
    X(SV_CloseAudioCapture, int32_t, SV_CAPTURE)                                                \
    X(SV_CloseSonavex, int32_t, SV_DECODER)                                                     \
    X(SV_GetPts, void, SV_DECODER, int64_t*, int64_t*)                                          \
    X(SV_InputAudioBuffer, int32_t, SV_DECODER, const uint8_t*, int32_t, int32_t, int64_t, uint8_t) \
    X(SV_OpenAudioCapture, SV_CAPTURE, void)                                                    \
    X(SV_OpenSonavex, SV_DECODER, int32_t, int32_t)                                             \
    X(SV_ReadAudioBuffer, int32_t, SV_CAPTURE, uint8_t*, uint32_t*, uint32_t)                   \
    X(SV_SetMuteAudio, int32_t, SV_DECODER, int32_t)                                            \
    X(SV_SetNetProtocolVersion, void, int32_t)                                                  \
    X(SV_SetPts, void, SV_DECODER, int64_t, int64_t)                                            \
    X(SV_StopFileAudio, int32_t, SV_DECODER, int32_t)

// The host's own function pointer types: __stdcall on 32-bit Windows.
#define SV_HOST_TYPEDEF(name, result, ...) typedef result(SV_CALL* name##_fn)(__VA_ARGS__);
SV_HOST_EXPORTS(SV_HOST_TYPEDEF)
#undef SV_HOST_TYPEDEF

struct Api {
#define SV_HOST_MEMBER(name, result, ...) name##_fn name = nullptr;
    SV_HOST_EXPORTS(SV_HOST_MEMBER)
#undef SV_HOST_MEMBER
};

// One row per export: its name, its ordinal (its place in byte order, from 1)
// and the argument bytes of the host's declaration.
struct ExportInfo {
    const char* name;
    WORD ordinal;
    unsigned argBytes;
};

inline const std::vector<ExportInfo>& Exports()
{
    static const std::vector<ExportInfo> rows = [] {
        std::vector<ExportInfo> r;
#define SV_HOST_ROW(name, result, ...) \
    r.push_back({#name, static_cast<WORD>(r.size() + 1), ArgBytes<__VA_ARGS__>::value});
        SV_HOST_EXPORTS(SV_HOST_ROW)
#undef SV_HOST_ROW
        return r;
    }();
    return rows;
}

// ---- Paths and files ------------------------------------------------------

// A unix path as wine's Z: drive shows it: "/a/b" is "Z:\a\b".
inline std::string WinePath(const std::string& unix)
{
    std::string p = "Z:" + unix;
    for (char& c : p) {
        if (c == '/')
            c = '\\';
    }
    return p;
}

inline std::string Env(const char* name)
{
    char value[1024];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

inline std::string ModulePath(HMODULE module)
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string();
}

inline std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The folder of the test program, where the build puts the three DLLs.
inline std::string BinDir() { return DirectoryOf(ModulePath(nullptr)); }

inline bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes)
{
    bytes->clear();
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + n);
    fclose(f);
    return true;
}

// A fresh folder under the temporary folder, removed with what it holds.
class TempDir {
public:
    TempDir()
    {
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        static int serial = 0;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            char name[MAX_PATH];
            snprintf(name, sizeof name, "%ssvwine-%lu-%d", base, GetCurrentProcessId(), serial++);
            if (CreateDirectoryA(name, nullptr))
                path_ = name;
        }
    }
    ~TempDir()
    {
        if (path_.empty())
            return;
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((path_ + "\\*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                    DeleteFileA((path_ + "\\" + found.cFileName).c_str());
            } while (FindNextFileA(h, &found));
            FindClose(h);
        }
        RemoveDirectoryA(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
    // Copies bin\<from> here as <to>.
    bool CopyFromBin(const std::string& from, const std::string& to) const
    {
        return CopyFileA((BinDir() + "\\" + from).c_str(), (*this / to).c_str(), FALSE) != 0;
    }
    // The names of the files here that begin with `prefix`.
    std::vector<std::string> Files(const std::string& prefix) const
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((path_ + "\\" + prefix + "*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                names.push_back(found.cFileName);
            } while (FindNextFileA(h, &found));
            FindClose(h);
        }
        return names;
    }

private:
    std::string path_;
};

// ---- The library ------------------------------------------------------------

// A procedure address as a pointer of the caller's type.
template <typename Fn>
Fn As(FARPROC p)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(p));
}

// Sonavex.dll loaded as a client loads it. A path with a folder is loaded with
// that folder first in the search for its own imports (the codec DLLs), as a
// host that keeps the DLLs in a folder of its own does.
class Library {
public:
    Library() = default;
    ~Library() { Unload(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool Load(const std::string& path = BinDir() + "\\Sonavex.dll")
    {
        Unload();
        module_ = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        error_ = module_ == nullptr ? GetLastError() : 0;
        if (module_ == nullptr)
            return false;
#define SV_HOST_BIND(name, result, ...) api_.name = As<name##_fn>(ByName(#name));
        SV_HOST_EXPORTS(SV_HOST_BIND)
#undef SV_HOST_BIND
        return true;
    }
    void Unload()
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
        module_ = nullptr;
        api_ = Api();
    }

    FARPROC ByName(const char* name) const { return GetProcAddress(module_, name); }
    FARPROC ByOrdinal(WORD ordinal) const { return GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)); }

    HMODULE module() const { return module_; }
    DWORD error() const { return error_; }
    const Api& operator*() const { return api_; }
    const Api* operator->() const { return &api_; }

private:
    HMODULE module_ = nullptr;
    DWORD error_ = 0;
    Api api_;
};

}  // namespace svhost
