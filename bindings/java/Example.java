// One purchase of 123.45 through BankTrans, then the same through the facade; prints what came back.
// Build and run beside the library and its Config.ini (Debian's JNA shown):
//   javac -cp /usr/share/java/jna.jar *.java && java -cp .:/usr/share/java/jna.jar Example
import java.io.File;

public class Example {
    public static void main(String[] args) {
        KorvessaDLL k = KorvessaDLL.load(new File("."));
        byte[] request = KorvessaDLL.newRequest();
        byte[] response = new byte[KorvessaDLL.RESPONSE_SIZE];
        KorvessaDLL.put(request, KorvessaDLL.REQ_operType, "A0");
        KorvessaDLL.put(request, KorvessaDLL.REQ_transType, "30"); // purchase
        KorvessaDLL.put(request, KorvessaDLL.REQ_cardType, "01");
        KorvessaDLL.put(request, KorvessaDLL.REQ_amount, "000000012345"); // minor units, 12 digits
        KorvessaDLL.put(request, KorvessaDLL.REQ_printFlag, "Y");
        KorvessaDLL.put(request, KorvessaDLL.REQ_reserved, "XYZ"); // comes back in the response's last three bytes
        int r = k.BankTrans(request, response);
        System.out.println("BankTrans " + r + (r > 0 ? " refused " + KorvessaDLL.refusalCode(r) : ""));
        if (r == KorvessaDLL.OK || r > 0 || r == KorvessaDLL.ERR_TIMEOUT) {
            System.out.println("rejCode " + KorvessaDLL.get(response, KorvessaDLL.RSP_rejCode));
            System.out.println("amount " + KorvessaDLL.get(response, KorvessaDLL.RSP_amount));
            System.out.println("cardNumber " + KorvessaDLL.get(response, KorvessaDLL.RSP_cardNumber));
            System.out.println("reply127 " + KorvessaDLL.get(response, KorvessaDLL.RSP_reply127));
            System.out.println("posTraceNumber " + KorvessaDLL.get(response, KorvessaDLL.RSP_posTraceNumber));
            System.out.println("reserved " + KorvessaDLL.get(response, KorvessaDLL.RSP_reserved));
        }

        k.PutValue(KorvessaDLL.toC("transType"), KorvessaDLL.toC("30"));
        k.PutValue(KorvessaDLL.toC("amount"), KorvessaDLL.toC("000000012345"));
        k.TransProcess();
        for (String name : new String[] {"rejCode", "rejCodeExplain", "cardNumber"})
            System.out.println("facade " + name + " " + k.getText(name));
        System.exit(r == KorvessaDLL.OK ? 0 : 1);
    }
}
