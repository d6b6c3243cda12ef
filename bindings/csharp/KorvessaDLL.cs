// Declarations of the Korvessa card-terminal library for C# (P/Invoke), with the record layouts and GBK
// helpers. The same file serves KorvessaDLL.dll (32-bit or x64, __stdcall) and libKorvessaDLL.so (Mono on
// Linux, where the calling convention is ignored).
//
// State and abandon, the only calls another thread may make while a BankTrans or TransProcess runs
// (every other call waits for the transaction to end): GetValue("state") answers at once with "idle",
// "opening", "handshake", "waiting" (the request went out), "host" (the terminal talks to its bank
// through the library; GetValue("stateHost") names it) or "finishing"; GetValue("stateSeconds") gives the
// whole seconds of that step. PutValue("abandon", "1") stops waiting: the call ends -3 at its next
// 100 ms step, the records kept. After the request went out the terminal may still have charged the card
// ("lastOutcome" "uncertain"): it is not a cancel on the terminal. Run the payment on a worker thread
// and poll the state from the caller's thread or a timer.
//
// Records are byte arrays, never strings: they are fixed-width GBK text without terminators, and a
// string declaration would let the marshaller convert (and cut) multibyte text with the wrong code page.
// GetValue returns the library's own buffer: it is declared IntPtr and copied, never freed.
// A 32-bit process needs the 32-bit DLL and a 64-bit process the x64 one (set the platform target).
// On .NET 5 and later, code page 936 needs System.Text.Encoding.CodePages; Gbk() registers it when present.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Korvessa
{
    public static class KorvessaDLL
    {
        const string Lib = "KorvessaDLL"; // KorvessaDLL.dll, libKorvessaDLL.so

        public const int RequestSize = 106;
        public const int ResponseSize = 161;

        // Result codes of BankTrans; a positive result is the terminal's refusal code (RefusalCode).
        public const int Ok = 0;
        public const int ErrOpen = -1;     // the serial port could not be opened
        public const int ErrArgument = -2; // null record, or a transaction type without display name
        public const int ErrTimeout = -3;  // no acceptable answer within the time-out
        public const int ErrWrite = -5;    // writing the frame to the serial port failed
        public const int ErrTooLarge = -10; // the frame does not fit the send buffer

        [DllImport(Lib, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern int BankTrans([In] byte[] request, [In, Out] byte[] response);

        [DllImport(Lib, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern void PutValue(byte[] name, byte[] value); // NUL-terminated GBK (ToC)

        [DllImport(Lib, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern void TransProcess();

        [DllImport(Lib, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern IntPtr GetValue(byte[] name);

        // Offsets and widths of the request record (106 bytes).
        public static class Req
        {
            public static readonly Field OperType = new Field(0, 2), TransType = new Field(2, 2),
                CardType = new Field(4, 2), CashRegisterNo = new Field(6, 9), OperatorNo = new Field(15, 6),
                Amount = new Field(21, 12), CashTraceNumber = new Field(33, 12), PrintFlag = new Field(45, 1),
                OldTraceNumber = new Field(46, 6), HostserialNumber = new Field(52, 12),
                OldAuthNumber = new Field(64, 12), TransDate = new Field(76, 8), CardNumber = new Field(84, 19),
                Reserved = new Field(103, 3);
        }

        // Offsets and widths of the response record (161 bytes; 110..115 stay spaces).
        public static class Rsp
        {
            public static readonly Field OperType = new Field(0, 2), CmdCode = new Field(2, 2),
                Reply4 = new Field(4, 2), RejCode = new Field(6, 2), Reply41 = new Field(8, 15),
                Reply56 = new Field(23, 8), Reply139 = new Field(31, 12), Reply127 = new Field(43, 12),
                Amount = new Field(55, 12), CardNumber = new Field(67, 19), Reply123 = new Field(86, 4),
                TransDate = new Field(90, 8), TransTime = new Field(98, 6), Reply165 = new Field(104, 6),
                HostserialNumber = new Field(116, 12), Reply183 = new Field(128, 12), Reply195 = new Field(140, 6),
                Reply35 = new Field(146, 6), PosTraceNumber = new Field(152, 6), Reserved = new Field(158, 3);
        }

        public struct Field
        {
            public readonly int Offset, Width;
            public Field(int offset, int width) { Offset = offset; Width = width; }
        }

        static Encoding gbk;

        // Code page 936.
        public static Encoding Gbk()
        {
            if (gbk == null)
            {
                Type provider = Type.GetType("System.Text.CodePagesEncodingProvider, System.Text.Encoding.CodePages");
                if (provider != null)
                    Encoding.RegisterProvider((EncodingProvider)provider.GetProperty("Instance").GetValue(null));
                gbk = Encoding.GetEncoding(936);
            }
            return gbk;
        }

        // A request record of spaces.
        public static byte[] NewRequest()
        {
            byte[] r = new byte[RequestSize];
            for (int i = 0; i < r.Length; i++) r[i] = (byte)' ';
            return r;
        }

        // Puts text left-aligned and space-padded into a field; text longer than the field (in GBK bytes) throws.
        public static void Put(byte[] record, Field f, string text)
        {
            byte[] b = Gbk().GetBytes(text);
            if (b.Length > f.Width)
                throw new ArgumentException("'" + text + "' is " + b.Length + " bytes in GBK; the field holds " + f.Width);
            for (int i = 0; i < f.Width; i++) record[f.Offset + i] = i < b.Length ? b[i] : (byte)' ';
        }

        // A field's text without its trailing spaces and NUL bytes.
        public static string Get(byte[] record, Field f)
        {
            int n = f.Width;
            while (n > 0 && (record[f.Offset + n - 1] == ' ' || record[f.Offset + n - 1] == 0)) n--;
            return Gbk().GetString(record, f.Offset, n);
        }

        // The terminal's two-character code of a positive BankTrans result (first character in the low byte).
        public static string RefusalCode(int result)
        {
            return Gbk().GetString(new byte[] { (byte)(result & 0xFF), (byte)((result >> 8) & 0xFF) });
        }

        // NUL-terminated GBK for PutValue and GetValue.
        public static byte[] ToC(string text)
        {
            byte[] b = Gbk().GetBytes(text);
            Array.Resize(ref b, b.Length + 1);
            return b;
        }

        // GetValue, copied out of the library's buffer and decoded.
        public static string GetText(string name)
        {
            IntPtr p = GetValue(ToC(name));
            if (p == IntPtr.Zero) return "";
            int n = 0;
            while (Marshal.ReadByte(p, n) != 0) n++;
            byte[] b = new byte[n];
            Marshal.Copy(p, b, 0, n);
            return Gbk().GetString(b);
        }

        // From any thread while a call runs: its step ("idle" when none runs), and giving up the wait.
        public static string State() { return GetText("state"); }
        public static void Abandon() { PutValue(ToC("abandon"), ToC("1")); }
    }
}
