// The .NET bindings under mono over the Linux libSonavex.so: every export
// called once through its declaration, closed handles refused, and the sample
// playing an .amr file on the virtual device, compared sample for sample with
// the reference decode.
//   mono BindingTests.exe SAMPLES_DIR WORK_DIR
using System;
using System.IO;
using System.Runtime.InteropServices;
using Sonavex;

static class Stand
{
    // The wave stand-in's controls (platform/winmm/include/svwin/wavedevice.h).
    [DllImport("svwinmm")] public static extern void SvWaveSetDefaultDevice(int kind);
    [DllImport("svwinmm")] public static extern void SvWaveVirtualSetRecordPath(string path);
    [DllImport("svwinmm")] public static extern void SvWaveVirtualSetHostClock(int on);
    [DllImport("svwinmm")] public static extern int SvWaveVirtualAdvance(double ms);
    public const int Virtual = 1, Test = 3;
}

static class Amr
{
    [DllImport("AmrDll")] static extern int AMR_Decode_Init(out IntPtr handle);
    [DllImport("AmrDll")] static extern int AMR_Decode_Frame(IntPtr handle, byte[] data, byte[] pcm, int mode);
    [DllImport("AmrDll")] static extern int AMR_Decode_Exit(ref IntPtr handle);

    // Every frame decoded one by one, as the library decodes them.
    public static short[] Reference(byte[] file)
    {
        var frames = PlayAmr.Frames(file);
        var samples = new short[frames.Count * 160];
        IntPtr state;
        Check.That(AMR_Decode_Init(out state) == 0, "AMR_Decode_Init");
        var pcm = new byte[320];
        for (int i = 0; i < frames.Count; ++i) {
            Check.That(AMR_Decode_Frame(state, frames[i], pcm, 0) == 0, "AMR_Decode_Frame " + i);
            Buffer.BlockCopy(pcm, 0, samples, i * 320, 320);
        }
        AMR_Decode_Exit(ref state);
        return samples;
    }
}

class CheckFailed : Exception
{
    public CheckFailed(string what) : base(what) { }
}

static class Check
{
    public static void That(bool ok, string what)
    {
        if (!ok)
            throw new CheckFailed(what);
    }
    public static void Equal<T>(T got, T expected, string what)
    {
        if (!Equals(got, expected))
            throw new CheckFailed(what + ": got " + got + ", expected " + expected);
    }
    public static void Throws<E>(Action call, string what) where E : Exception
    {
        try {
            call();
        } catch (E) {
            return;
        }
        throw new CheckFailed(what + ": no " + typeof(E).Name);
    }
}

static class BindingTests
{
    static void EveryExportOnce()
    {
        Stand.SvWaveSetDefaultDevice(Stand.Virtual);
        Native.SV_SetNetProtocolVersion(3);
        DecoderHandle h = Native.SV_OpenSonavex((int)Prebuffer.Frames8, 0);
        Check.That(!h.IsInvalid, "SV_OpenSonavex gave a handle");
        byte[] emptyVoice = { 0xA5, 3, 0, 0, 0, 0, 0, 0 };
        Check.Equal(Native.SV_InputAudioBuffer(h, emptyVoice, 8, (int)Payload.Voice, 0x123456789L, 1), 1,
                    "SV_InputAudioBuffer");
        Native.SV_SetPts(h, -2, 0x100000001L);
        long pts, next;
        Check.Equal(Native.SV_ClearAudioFrames(h, 5, 0, 0, out pts, out next), ClearResult.BadType,
                    "SV_ClearAudioFrames(type 5)");
        Check.Equal(Native.SV_ClearAudioFrames(h, (int)ClearType.ByCount, (int)ClearMode.KeepNewest, 0,
                                               out pts, out next), ClearResult.Ok, "the emptying clear");
        Native.SV_GetPts(h, out pts, out next);
        Check.Equal(pts, 0L, "SV_GetPts after the emptying clear");
        Check.Equal(Native.SV_AudioDecGetFrames(h), 0, "SV_AudioDecGetFrames");
        Check.Equal(Native.SV_AudioDecClear(h), 1, "SV_AudioDecClear");
        Check.Equal(Native.SV_SetMuteAudio(h, 0), 1, "SV_SetMuteAudio");
        Check.Equal(Native.SV_StopFileAudio(h, (int)StopFile.Off), 1, "SV_StopFileAudio");
        Check.Equal(Native.SV_AudioDecSetVolume(h, 0x8000), 1, "SV_AudioDecSetVolume");
        Check.Equal(Native.SV_AudioDecGetVolume(h) & 0xFFFF, 0x8000u, "SV_AudioDecGetVolume");
        h.Dispose(); // SV_CloseSonavex
        Check.Throws<ObjectDisposedException>(() => Native.SV_AudioDecGetFrames(h),
                                              "a closed DecoderHandle reaches the library");

        Stand.SvWaveSetDefaultDevice(Stand.Test);
        CaptureHandle c = Native.SV_OpenAudioCapture();
        Check.That(!c.IsInvalid, "SV_OpenAudioCapture gave a handle");
        var frame = new byte[Native.AmrFrameBytes];
        uint length = (uint)frame.Length;
        Check.Equal(Native.SV_ReadAudioBuffer(c, frame, ref length, 0), 0, "SV_ReadAudioBuffer before any input");
        Check.Equal(Native.SV_AudioCapClear(c), 1, "SV_AudioCapClear");
        c.Dispose(); // SV_CloseAudioCapture
        Check.Throws<ObjectDisposedException>(() => Native.SV_AudioCapClear(c),
                                              "a closed CaptureHandle reaches the library");
        Stand.SvWaveSetDefaultDevice(0);
    }

    static void ClosedObjectsRefuseCalls()
    {
        Stand.SvWaveSetDefaultDevice(Stand.Virtual);
        var dec = new Decoder(Prebuffer.Frames8, false);
        dec.Dispose();
        dec.Dispose();
        Check.Throws<ObjectDisposedException>(() => { int n = dec.Frames; }, "Decoder.Frames after Dispose");
        Check.Throws<ObjectDisposedException>(() => dec.Input(new byte[1], Payload.Amr, 1),
                                              "Decoder.Input after Dispose");
        using (var d = new Decoder(Prebuffer.Frames8, false)) {
            long next;
            Check.Throws<ClearException>(() => d.ClearFrames((ClearType)1, 0, 1, out next), "a clear of type 1");
        }
        Stand.SvWaveSetDefaultDevice(0);
    }

    static void TheSamplePlaysAnAmrFileSampleForSample(string samples, string work)
    {
        byte[] file = File.ReadAllBytes(Path.Combine(samples, "speech.amr"));
        string wav = Path.Combine(work, "played.wav");
        Stand.SvWaveSetDefaultDevice(Stand.Virtual);
        Stand.SvWaveVirtualSetRecordPath(wav);
        Stand.SvWaveVirtualSetHostClock(1);
        try {
            PlayAmr.Play(file, ms => Stand.SvWaveVirtualAdvance(ms));
        } finally {
            Stand.SvWaveVirtualSetHostClock(0);
            Stand.SvWaveVirtualSetRecordPath(null);
            Stand.SvWaveSetDefaultDevice(0);
        }
        byte[] bytes = File.ReadAllBytes(wav);
        Check.That(bytes.Length > 44, "the recording holds samples");
        var played = new short[(bytes.Length - 44) / 2];
        Buffer.BlockCopy(bytes, 44, played, 0, played.Length * 2);
        short[] reference = Amr.Reference(file);
        int firstPlayed = Array.FindIndex(played, s => s != 0);
        int firstRef = Array.FindIndex(reference, s => s != 0);
        int start = firstPlayed - firstRef;
        Check.That(firstPlayed >= 0 && start >= 0 && start + reference.Length <= played.Length,
                   "stream found whole: starts at " + start + ", " + played.Length + " samples played");
        for (int i = 0; i < reference.Length; ++i)
            Check.Equal(played[start + i], reference[i], "sample " + i + " of the stream");
    }

    static int Main(string[] args)
    {
        int failures = 0;
        var tests = new Tuple<string, Action>[] {
            Tuple.Create<string, Action>("EveryExportOnce", EveryExportOnce),
            Tuple.Create<string, Action>("ClosedObjectsRefuseCalls", ClosedObjectsRefuseCalls),
            Tuple.Create<string, Action>("TheSamplePlaysAnAmrFileSampleForSample",
                                         () => TheSamplePlaysAnAmrFileSampleForSample(args[0], args[1])),
        };
        foreach (var t in tests) {
            try {
                t.Item2();
                Console.WriteLine("ok      " + t.Item1);
            } catch (Exception e) {
                ++failures;
                Console.WriteLine("FAILED  " + t.Item1 + ": " + (e is CheckFailed ? e.Message : e.ToString()));
            }
        }
        Console.WriteLine(failures == 0 ? "PASSED: " + tests.Length + " tests" : "FAILED: " + failures + " of " + tests.Length);
        return failures == 0 ? 0 : 1;
    }
}
