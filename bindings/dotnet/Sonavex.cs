// Sonavex from .NET: the seventeen SV_ functions as P/Invoke declarations,
// the result codes as enums, the handles as SafeHandles that close their
// object, and Decoder and Capture classes over them.
//
// The library is named "Sonavex" in every declaration. On Windows the runtime
// loads Sonavex.dll from the program's folder, then the system's search path
// (copy Sonavex.dll, AmrDll.dll and lib_VoiceEngine_dll.dll beside the .exe;
// the process must be of the DLL's architecture). Elsewhere it loads
// libSonavex.so through the dynamic loader's search (LD_LIBRARY_PATH, the
// system's library folders). Every function is __stdcall on 32-bit Windows
// and the platform's C convention elsewhere, which is what StdCall maps to.
using System;
using System.Reflection;
using System.Runtime.InteropServices;

[assembly: AssemblyTitle("Sonavex .NET bindings")]
[assembly: AssemblyVersion("1.0.0")]
[assembly: AssemblyCopyright("Licensed under the Apache License 2.0 (LICENSE), as is the opencore-amr code in AmrDll")]

namespace Sonavex
{
    /// <summary>What SV_ClearAudioFrames answers.</summary>
    public enum ClearResult : uint
    {
        Ok = 0x00000000u,
        NullHandle = 0x80060001u,    // the handle is NULL
        NoFrameBuffer = 0x80FF0000u, // the decoder has no frame queue
        BadMode = 0x80F0000Eu,       // mode not valid for the type, or type 1
        BadType = 0x80F00002u,       // type is not 0, 1 or 2
    }

    public enum Prebuffer { Frames8 = 0, Frames20 = 1 }
    public enum Payload { Amr = 1, Voice = 2, VoiceB = 3, Ignore = 4 }
    public enum ClearType { ByCount = 0, ByTime = 2 }
    public enum ClearMode { Oldest = 0, KeepNewest = 1, FromPlaying = 0, FromInput = 1 }
    public enum StopFile { Off = 0, Drain = 1, Now = 2 }

    /// <summary>A decoder handle; releasing it closes the decoder.</summary>
    public sealed class DecoderHandle : SafeHandle
    {
        public DecoderHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle() { return Native.SV_CloseSonavex(handle) == 1; }
    }

    /// <summary>One open of the shared capture object; releasing it closes that open.</summary>
    public sealed class CaptureHandle : SafeHandle
    {
        public CaptureHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
        protected override bool ReleaseHandle() { return Native.SV_CloseAudioCapture(handle) == 1; }
    }

    /// <summary>The exports as include/sonavex.h declares them. A closed SafeHandle
    /// passed here throws ObjectDisposedException before the library is called.</summary>
    public static class Native
    {
        public const string Library = "Sonavex";
        public const int SampleRate = 8000;
        public const int AmrFrameBytes = 320;
        public const int Failed = -1;
        const CallingConvention Call = CallingConvention.StdCall;

        [DllImport(Library, CallingConvention = Call)]
        public static extern DecoderHandle SV_OpenSonavex(int mode, int live);
        // Takes the raw pointer: the SafeHandle's release is its one caller.
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_CloseSonavex(IntPtr handle);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_InputAudioBuffer(DecoderHandle handle, byte[] data, int length, int type,
                                                     long pts, byte store);
        [DllImport(Library, CallingConvention = Call)]
        public static extern void SV_GetPts(DecoderHandle handle, out long pts, out long nextPts);
        [DllImport(Library, CallingConvention = Call)]
        public static extern void SV_SetPts(DecoderHandle handle, long ptsA, long ptsB);
        [DllImport(Library, CallingConvention = Call)]
        public static extern ClearResult SV_ClearAudioFrames(DecoderHandle handle, int type, int mode, uint count,
                                                             out long pts, out long nextPts);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_AudioDecClear(DecoderHandle handle);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_SetMuteAudio(DecoderHandle handle, int mute);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_StopFileAudio(DecoderHandle handle, int stop);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_AudioDecSetVolume(DecoderHandle handle, uint volume);
        [DllImport(Library, CallingConvention = Call)]
        public static extern uint SV_AudioDecGetVolume(DecoderHandle handle);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_AudioDecGetFrames(DecoderHandle handle);
        [DllImport(Library, CallingConvention = Call)]
        public static extern void SV_SetNetProtocolVersion(int version);
        [DllImport(Library, CallingConvention = Call)]
        public static extern CaptureHandle SV_OpenAudioCapture();
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_CloseAudioCapture(IntPtr handle);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_ReadAudioBuffer(CaptureHandle handle, byte[] buffer, ref uint length,
                                                    uint reserved);
        [DllImport(Library, CallingConvention = Call)]
        public static extern int SV_AudioCapClear(CaptureHandle handle);

        /// <summary>Runs a first call, turning a library that cannot be loaded
        /// into a SonavexException that names what was looked for.</summary>
        internal static T Loaded<T>(Func<T> call)
        {
            try {
                return call();
            } catch (DllNotFoundException e) {
                bool windows = Environment.OSVersion.Platform == PlatformID.Win32NT;
                throw new SonavexException(windows
                    ? "cannot load Sonavex.dll (with AmrDll.dll and lib_VoiceEngine_dll.dll) from " +
                      AppDomain.CurrentDomain.BaseDirectory + " or the PATH: " + e.Message
                    : "cannot load libSonavex.so through LD_LIBRARY_PATH (" +
                      (Environment.GetEnvironmentVariable("LD_LIBRARY_PATH") ?? "") +
                      ") or the system's library folders: " + e.Message, e);
            }
        }
    }

    public class SonavexException : Exception
    {
        public SonavexException(string message) : base(message) { }
        public SonavexException(string message, Exception inner) : base(message, inner) { }
    }

    /// <summary>SV_ClearAudioFrames answered an error code.</summary>
    public class ClearException : SonavexException
    {
        public readonly ClearResult Result;
        public ClearException(ClearResult result)
            : base("SV_ClearAudioFrames: " + result + " (0x" + ((uint)result).ToString("X8") + ")")
        {
            Result = result;
        }
    }

    /// <summary>One playback stream: decodes the frames it is given and plays
    /// them on the default output device. Dispose closes it; any call after
    /// that throws ObjectDisposedException.</summary>
    public sealed class Decoder : IDisposable
    {
        readonly DecoderHandle h;

        public Decoder(Prebuffer mode, bool live)
        {
            h = Native.Loaded(() => Native.SV_OpenSonavex((int)mode, live ? 1 : 0));
            if (h.IsInvalid)
                throw new SonavexException("SV_OpenSonavex: no decoder (no output device, or no memory)");
        }

        public DecoderHandle Handle { get { return Live(); } }

        DecoderHandle Live()
        {
            if (h.IsClosed)
                throw new ObjectDisposedException("Sonavex.Decoder", "the decoder is closed");
            return h;
        }

        /// <summary>Hands one frame to the decoder; true when it reached it.</summary>
        public bool Input(byte[] frame, Payload type, long pts)
        {
            return Native.SV_InputAudioBuffer(Live(), frame, frame.Length, (int)type, pts, 1) == 1;
        }

        /// <summary>The stamp of the frame now playing, and of the one behind it (0: none).</summary>
        public long GetPts(out long nextPts)
        {
            long pts;
            Native.SV_GetPts(Live(), out pts, out nextPts);
            return pts;
        }

        /// <summary>Drops queued frames; throws ClearException on an error code.</summary>
        public long ClearFrames(ClearType type, ClearMode mode, uint count, out long nextPts)
        {
            long pts;
            ClearResult r = Native.SV_ClearAudioFrames(Live(), (int)type, (int)mode, count, out pts, out nextPts);
            if (r != ClearResult.Ok)
                throw new ClearException(r);
            return pts;
        }

        public int Frames { get { return Native.SV_AudioDecGetFrames(Live()); } }
        public void Clear() { Native.SV_AudioDecClear(Live()); }
        public void Mute(bool mute) { Native.SV_SetMuteAudio(Live(), mute ? 1 : 0); }
        public void Stop(StopFile stop) { Native.SV_StopFileAudio(Live(), (int)stop); }

        public uint Volume
        {
            get { return Native.SV_AudioDecGetVolume(Live()); }
            set { Native.SV_AudioDecSetVolume(Live(), value & 0xFFFF); }
        }

        public void Dispose() { h.Dispose(); }
    }

    /// <summary>One open of the shared capture object.</summary>
    public sealed class Capture : IDisposable
    {
        readonly CaptureHandle h;

        public Capture()
        {
            h = Native.Loaded(() => Native.SV_OpenAudioCapture());
            if (h.IsInvalid)
                throw new SonavexException("SV_OpenAudioCapture: no capture object (no input device)");
        }

        CaptureHandle Live()
        {
            if (h.IsClosed)
                throw new ObjectDisposedException("Sonavex.Capture", "the capture object is closed");
            return h;
        }

        /// <summary>One captured frame of 16-bit PCM, or null when none is ready.</summary>
        public byte[] Read()
        {
            byte[] buffer = new byte[Native.AmrFrameBytes];
            uint length = (uint)buffer.Length;
            if (Native.SV_ReadAudioBuffer(Live(), buffer, ref length, 0) != 1)
                return null;
            Array.Resize(ref buffer, (int)length);
            return buffer;
        }

        public void Clear() { Native.SV_AudioCapClear(Live()); }
        public void Dispose() { h.Dispose(); }
    }
}
