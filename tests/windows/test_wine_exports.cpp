// Sonavex.dll's export table as a client meets it under wine: the seventeen
// names and their ordinals, no decorated names, on 32-bit Windows the
// __stdcall contract of each export (the callee pops exactly its argument
// words), and the answers to a NULL handle.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sv_host.h"
#include "sv_spy.h"

namespace {

using svhost::ExportInfo;
using svhost::Exports;
using svhost::Library;

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lib_.Load()) << "LoadLibrary failed: " << lib_.error(); }
    Library lib_;
};

// The export directory of the loaded image, read as the loader reads it.
struct ExportDirectory {
    DWORD base = 0;
    DWORD functions = 0;
    std::vector<std::pair<std::string, WORD>> names;  // name, ordinal
};

ExportDirectory ReadExportDirectory(HMODULE module)
{
    ExportDirectory out;
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0)
        return out;
    const IMAGE_EXPORT_DIRECTORY* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    out.base = exp->Base;
    out.functions = exp->NumberOfFunctions;
    const DWORD* names = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
    const WORD* ordinals = reinterpret_cast<const WORD*>(base + exp->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exp->NumberOfNames; ++i)
        out.names.emplace_back(reinterpret_cast<const char*>(base + names[i]), static_cast<WORD>(exp->Base + ordinals[i]));
    return out;
}

TEST_F(ExportsTest, SeventeenNamesWithOrdinalsInByteOrderAndNothingElse)
{
    const ExportDirectory dir = ReadExportDirectory(lib_.module());
    EXPECT_EQ(dir.base, 1u);
    EXPECT_EQ(dir.functions, Exports().size());
    ASSERT_EQ(dir.names.size(), Exports().size());
    for (size_t i = 0; i < Exports().size(); ++i) {
        const ExportInfo& e = Exports()[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(dir.names[i].first, e.name);
        EXPECT_EQ(dir.names[i].second, e.ordinal);
        // The client's two ways to the function meet at one address.
        const FARPROC byName = lib_.ByName(e.name);
        EXPECT_NE(byName, nullptr);
        EXPECT_EQ(lib_.ByOrdinal(e.ordinal), byName);
        // The __stdcall decorations stay out of the table, with and without
        // the leading underscore.
        const std::string decorated = std::string(e.name) + "@" + std::to_string(e.argBytes);
        EXPECT_EQ(lib_.ByName(decorated.c_str()), nullptr) << decorated;
        EXPECT_EQ(lib_.ByName(("_" + decorated).c_str()), nullptr) << "_" << decorated;
    }
    EXPECT_EQ(lib_.ByOrdinal(static_cast<WORD>(Exports().size() + 1)), nullptr);
}

#if defined(__i386__)
// Calls `fn` with `count` 32-bit words on the stack (words[0] nearest the
// return address, as a __stdcall or __cdecl caller pushes them), stores in
// *popped how many bytes the callee took off the stack, and returns EAX.
extern "C" uint32_t __cdecl SvCallWords(const void* fn, const uint32_t* words, uint32_t count, uint32_t* popped);
asm(".text\n"
    ".globl _SvCallWords\n"
    "_SvCallWords:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  pushl %ebx\n"
    "  movl 12(%ebp), %esi\n"
    "  movl 16(%ebp), %ecx\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%esi,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl %esp, %edi\n"
    "  call *8(%ebp)\n"
    "  movl %esp, %ecx\n"
    "  subl %edi, %ecx\n"
    "  movl 20(%ebp), %edx\n"
    "  movl %ecx, (%edx)\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %ebx\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");

// Arguments as the stack words a 32-bit caller pushes.
class Words {
public:
    template <typename T>
    Words& operator<<(T value)
    {
        uint32_t slots[2] = {0, 0};
        static_assert(sizeof(T) <= sizeof slots, "one or two words");
        memcpy(slots, &value, sizeof value);
        words_.push_back(slots[0]);
        if (sizeof(T) > 4)
            words_.push_back(slots[1]);
        return *this;
    }
    const uint32_t* data() const { return words_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(words_.size()); }

private:
    std::vector<uint32_t> words_;
};

// Every export, called with real arguments through the measuring thunk: the
// callee must pop exactly the bytes of the host's declaration. (Every other
// test calls the exports through the host's own __stdcall pointers.)
TEST_F(ExportsTest, EachExportPopsExactlyTheArgumentWordsOfItsDeclaration)
{
    // The measure itself tells the conventions apart on known functions.
    uint32_t popped = 99;
    EXPECT_EQ(SvCallWords(reinterpret_cast<const void*>(&MulDiv), (Words() << 6 << 7 << 3).data(), 3, &popped), 14u);
    EXPECT_EQ(popped, 12u) << "MulDiv is __stdcall";
    SvCallWords(reinterpret_cast<const void*>(&labs), (Words() << -5L).data(), 1, &popped);
    EXPECT_EQ(popped, 0u) << "labs is __cdecl";

    std::set<std::string> called;
    auto call = [&](const char* name, const Words& args) -> uint32_t {
        const FARPROC fn = lib_.ByName(name);
        EXPECT_NE(fn, nullptr) << name;
        if (fn == nullptr)
            return 0;
        unsigned expected = 0;
        for (const ExportInfo& e : Exports()) {
            if (strcmp(e.name, name) == 0)
                expected = e.argBytes;
        }
        uint32_t took = 0xFFFF;
        const uint32_t result = SvCallWords(reinterpret_cast<const void*>(fn), args.data(), args.size(), &took);
        EXPECT_EQ(args.size() * 4, expected) << name << ": the test passes what the declaration takes";
        EXPECT_EQ(took, expected) << name << " popped " << took << " bytes";
        called.insert(name);
        return result;
    };

    const uint8_t emptyVoiceFrame[8] = {0xA5, 3, 0, 0, 0, 0, 0, 0};
    int64_t pts = -1;
    int64_t next = -1;
    call("SV_SetNetProtocolVersion", Words() << 5);
    const uint32_t h = call("SV_OpenSonavex", Words() << SV_PREBUFFER_8 << SV_FILE_PLAYBACK);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(call("SV_InputAudioBuffer",
                   Words() << h << emptyVoiceFrame << 8 << SV_PAYLOAD_VOICE << int64_t{0x123456789} << 1),
              1u);
    call("SV_GetPts", Words() << h << &pts << &next);
    call("SV_SetPts", Words() << h << int64_t{-2} << int64_t{0x100000001});
    EXPECT_EQ(call("SV_ClearAudioFrames", Words() << h << SV_CLEAR_BY_COUNT << SV_CLEAR_KEEP_NEWEST << 0u << &pts << &next),
              SV_OK);
    EXPECT_EQ(pts, 0);
    EXPECT_EQ(next, 0);
    EXPECT_EQ(call("SV_AudioDecClear", Words() << h), 1u);
    EXPECT_EQ(call("SV_SetMuteAudio", Words() << h << 0), 1u);
    EXPECT_EQ(call("SV_StopFileAudio", Words() << h << SV_STOP_OFF), 1u);
    EXPECT_EQ(call("SV_AudioDecSetVolume", Words() << h << 0xFFFFu), 1u);
    call("SV_AudioDecGetVolume", Words() << h);
    EXPECT_EQ(call("SV_AudioDecGetFrames", Words() << h), 0u);
    EXPECT_EQ(call("SV_CloseSonavex", Words() << h), 1u);

    // Capture: whether or not this machine gives an input device, the
    // calls keep the stack.
    const uint32_t c = call("SV_OpenAudioCapture", Words());
    uint8_t frame[320];
    uint32_t length = sizeof frame;
    call("SV_ReadAudioBuffer", Words() << c << frame << &length << 0u);
    call("SV_AudioCapClear", Words() << c);
    call("SV_CloseAudioCapture", Words() << c);

    EXPECT_EQ(called.size(), Exports().size()) << "every export was measured";
}
#endif

// A NULL handle: the documented answer, output arguments untouched, and no
// device opened.
TEST_F(ExportsTest, ANullHandleGetsItsAnswerAndReachesNoDevice)
{
    svspy::Spy& spy = svspy::Spy::Get();
    ASSERT_TRUE(spy.Attach(lib_.module()));
    spy.Reset();
    const svhost::Api& api = *lib_;
    const int64_t kUntouched = 0x5A5A5A5A5A5A5A5ALL;
    int64_t pts = kUntouched;
    int64_t next = kUntouched;
    uint8_t byte = 0;
    uint8_t frame[4] = {1, 2, 3, 4};
    uint32_t length = sizeof frame;

    struct Case {
        const char* call;
        int64_t result;
        int64_t expected;
    };
    const Case cases[] = {
        {"SV_CloseSonavex", api.SV_CloseSonavex(nullptr), 0},
        {"SV_InputAudioBuffer", api.SV_InputAudioBuffer(nullptr, &byte, 1, SV_PAYLOAD_AMR, 1, 1), SV_FAILED},
        {"SV_ClearAudioFrames", api.SV_ClearAudioFrames(nullptr, 0, 1, 0, &pts, &next), SV_E_NULL_HANDLE},
        {"SV_AudioDecClear", api.SV_AudioDecClear(nullptr), 0},
        {"SV_SetMuteAudio", api.SV_SetMuteAudio(nullptr, 1), 0},
        {"SV_StopFileAudio", api.SV_StopFileAudio(nullptr, SV_STOP_NOW), 0},
        {"SV_AudioDecSetVolume", api.SV_AudioDecSetVolume(nullptr, 0xFFFF), 0},
        {"SV_AudioDecGetVolume", api.SV_AudioDecGetVolume(nullptr), 0},
        {"SV_AudioDecGetFrames", api.SV_AudioDecGetFrames(nullptr), -1},
        {"SV_CloseAudioCapture", api.SV_CloseAudioCapture(nullptr), 0},
        {"SV_ReadAudioBuffer", api.SV_ReadAudioBuffer(nullptr, frame, &length, 0), 0},
        {"SV_AudioCapClear", api.SV_AudioCapClear(nullptr), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, c.expected) << c.call;
    api.SV_GetPts(nullptr, &pts, &next);
    api.SV_SetPts(nullptr, 1, 2);
    EXPECT_EQ(pts, kUntouched);
    EXPECT_EQ(next, kUntouched);
    EXPECT_EQ(length, sizeof frame);
    EXPECT_EQ(frame[0], 1);
    EXPECT_EQ(spy.Count(), 0) << "a NULL handle opened a device";
}

// A payload the host says has bytes but passes none of, or a negative length,
// is refused for every payload type: the host lives on, the call answers 1
// as for any payload that reached the decoder, and nothing is queued.
TEST_F(ExportsTest, AMissingPayloadIsRefusedWithoutEndingTheHost)
{
    SV_DECODER h = lib_->SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);
    const uint8_t byte = 0x3C;
    for (int32_t type = SV_PAYLOAD_AMR; type <= SV_PAYLOAD_IGNORE; ++type) {
        EXPECT_EQ(lib_->SV_InputAudioBuffer(h, nullptr, 32, type, 1, 1), 1) << type;
        EXPECT_EQ(lib_->SV_InputAudioBuffer(h, &byte, -1, type, 2, 1), 1) << type;
    }
    EXPECT_EQ(lib_->SV_AudioDecGetFrames(h), 0);
    EXPECT_EQ(lib_->SV_CloseSonavex(h), 1);
}

}  // namespace
