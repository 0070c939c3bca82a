// Plays an .amr file (AMR-NB storage format) on the default output device,
// one frame every 20 ms as a recorder would send them:
//   mono PlayAmr.exe speech.amr
using System;
using System.Collections.Generic;
using System.IO;
using System.Threading;
using Sonavex;

public static class PlayAmr
{
    // Bytes after each frame's header byte, by frame type.
    static readonly int[] Body = { 12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0 };

    public static List<byte[]> Frames(byte[] file)
    {
        if (file.Length < 6 || System.Text.Encoding.ASCII.GetString(file, 0, 6) != "#!AMR\n")
            throw new InvalidDataException("not an AMR-NB file (no #!AMR header)");
        var frames = new List<byte[]>();
        for (int at = 6; at < file.Length;) {
            int body = Body[(file[at] >> 3) & 15];
            if (body < 0 || at + 1 + body > file.Length)
                throw new InvalidDataException("byte " + at + ": bad or truncated frame");
            var frame = new byte[1 + body];
            Array.Copy(file, at, frame, 0, frame.Length);
            frames.Add(frame);
            at += frame.Length;
        }
        return frames;
    }

    // Feeds every frame, calling `pace` after each (20 ms of stream), and
    // returns once the queue has played out.
    public static void Play(byte[] file, Action<double> pace)
    {
        using (var dec = new Decoder(Prebuffer.Frames8, false)) {
            long pts = 0;
            foreach (byte[] frame in Frames(file)) {
                pts += 20;
                dec.Input(frame, Payload.Amr, pts);
                pace(20);
            }
            while (dec.Frames > 0)
                pace(20);
            pace(500); // what the device itself still holds
        }
    }

    public static int Main(string[] args)
    {
        if (args.Length != 1) {
            Console.Error.WriteLine("usage: PlayAmr FILE.amr");
            return 2;
        }
        try {
            Play(File.ReadAllBytes(args[0]), ms => Thread.Sleep((int)ms));
            return 0;
        } catch (Exception e) when (e is IOException || e is SonavexException || e is UnauthorizedAccessException) {
            Console.Error.WriteLine("PlayAmr: " + args[0] + ": " + e.Message);
            return 1;
        }
    }
}
