// Declarations of the Korvessa card-terminal library for Java (JNA), with the record layouts and GBK
// helpers. On Windows the interface is loaded as a StdCallLibrary (the DLL's functions are __stdcall and
// exported under their plain names, so no name mapper); elsewhere as a plain Library.
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
// Records are byte arrays, never Strings: they are fixed-width GBK text without terminators. GetValue
// returns the library's own buffer: it is declared Pointer and copied, never freed. A 32-bit JVM needs the
// 32-bit DLL, a 64-bit JVM the x64 one.
import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Platform;
import com.sun.jna.Pointer;
import com.sun.jna.win32.StdCallLibrary;
import java.io.File;
import java.nio.charset.Charset;

public interface KorvessaDLL extends Library {
    int BankTrans(byte[] request, byte[] response);
    void PutValue(byte[] name, byte[] value); // NUL-terminated GBK (toC)
    void TransProcess();
    Pointer GetValue(byte[] name);

    interface StdCall extends KorvessaDLL, StdCallLibrary {}

    int REQUEST_SIZE = 106, RESPONSE_SIZE = 161;
    // Result codes of BankTrans; a positive result is the terminal's refusal code (refusalCode).
    int OK = 0, ERR_OPEN = -1, ERR_ARGUMENT = -2, ERR_TIMEOUT = -3, ERR_WRITE = -5, ERR_TOO_LARGE = -10;
    Charset GBK = Charset.forName("GBK");

    // Offsets and widths: request record, then response record (bytes 110..115 stay spaces).
    int[] REQ_operType = {0, 2}, REQ_transType = {2, 2}, REQ_cardType = {4, 2}, REQ_cashRegisterNo = {6, 9},
          REQ_operatorNo = {15, 6}, REQ_amount = {21, 12}, REQ_cashTraceNumber = {33, 12},
          REQ_printFlag = {45, 1}, REQ_oldTraceNumber = {46, 6}, REQ_hostserialNumber = {52, 12},
          REQ_oldAuthNumber = {64, 12}, REQ_transDate = {76, 8}, REQ_cardNumber = {84, 19},
          REQ_reserved = {103, 3};
    int[] RSP_operType = {0, 2}, RSP_cmdCode = {2, 2}, RSP_reply4 = {4, 2}, RSP_rejCode = {6, 2},
          RSP_reply41 = {8, 15}, RSP_reply56 = {23, 8}, RSP_reply139 = {31, 12}, RSP_reply127 = {43, 12},
          RSP_amount = {55, 12}, RSP_cardNumber = {67, 19}, RSP_reply123 = {86, 4}, RSP_transDate = {90, 8},
          RSP_transTime = {98, 6}, RSP_reply165 = {104, 6}, RSP_hostserialNumber = {116, 12},
          RSP_reply183 = {128, 12}, RSP_reply195 = {140, 6}, RSP_reply35 = {146, 6},
          RSP_posTraceNumber = {152, 6}, RSP_reserved = {158, 3};

    // Loads the library file from a folder (the application's own copy beside its Config.ini).
    static KorvessaDLL load(File folder) {
        String path = new File(folder, System.mapLibraryName("KorvessaDLL")).getAbsolutePath();
        return Platform.isWindows() ? Native.load(path, StdCall.class) : Native.load(path, KorvessaDLL.class);
    }

    // A request record of spaces.
    static byte[] newRequest() {
        byte[] r = new byte[REQUEST_SIZE];
        java.util.Arrays.fill(r, (byte) ' ');
        return r;
    }

    // Puts text left-aligned and space-padded into a field; text longer than the field (in GBK bytes) throws.
    static void put(byte[] record, int[] field, String text) {
        byte[] b = text.getBytes(GBK);
        if (b.length > field[1])
            throw new IllegalArgumentException("'" + text + "' is " + b.length + " bytes in GBK; the field holds " + field[1]);
        for (int i = 0; i < field[1]; i++) record[field[0] + i] = i < b.length ? b[i] : (byte) ' ';
    }

    // A field's text without its trailing spaces and NUL bytes.
    static String get(byte[] record, int[] field) {
        int n = field[1];
        while (n > 0 && (record[field[0] + n - 1] == ' ' || record[field[0] + n - 1] == 0)) n--;
        return new String(record, field[0], n, GBK);
    }

    // The terminal's two-character code of a positive BankTrans result (first character in the low byte).
    static String refusalCode(int result) {
        return new String(new byte[] {(byte) (result & 0xFF), (byte) ((result >> 8) & 0xFF)}, GBK);
    }

    // NUL-terminated GBK for PutValue and GetValue.
    static byte[] toC(String text) {
        byte[] b = text.getBytes(GBK);
        return java.util.Arrays.copyOf(b, b.length + 1);
    }

    // GetValue, copied out of the library's buffer and decoded.
    default String getText(String name) {
        Pointer p = GetValue(toC(name));
        return p == null ? "" : p.getString(0, "GBK");
    }
}
