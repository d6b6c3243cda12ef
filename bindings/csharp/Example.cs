// One purchase of 123.45 through BankTrans, then the same through the facade; prints what came back.
// The BankTrans runs on a worker thread while this thread shows its step (on standard error) and Ctrl-C
// stops the wait (the call then ends -3; once the request went out the card may still be charged).
// Build and run beside the library and its Config.ini:  mcs Example.cs KorvessaDLL.cs && mono Example.exe
using System;
using System.Threading;
using Korvessa;
using K = Korvessa.KorvessaDLL;

static class Example
{
    static int Main()
    {
        byte[] request = K.NewRequest();
        byte[] response = new byte[K.ResponseSize];
        K.Put(request, K.Req.OperType, "A0");
        K.Put(request, K.Req.TransType, "30"); // purchase
        K.Put(request, K.Req.CardType, "01");
        K.Put(request, K.Req.Amount, "000000012345"); // minor units, 12 digits
        K.Put(request, K.Req.PrintFlag, "Y");
        K.Put(request, K.Req.Reserved, "XYZ"); // comes back in the response's last three bytes
        int r = 0;
        var payment = new Thread(() => { r = K.BankTrans(request, response); });
        ConsoleCancelEventHandler cancel = (sender, e) => { e.Cancel = true; K.Abandon(); };
        Console.CancelKeyPress += cancel;
        payment.Start();
        string shown = "";
        while (!payment.Join(100))
        {
            string state = K.State(); // answered at once while the payment runs
            if (state != shown) Console.Error.WriteLine("state " + (shown = state) + " " + K.GetText("stateSeconds") + " s");
        }
        Console.CancelKeyPress -= cancel;
        Console.WriteLine("BankTrans " + r + (r > 0 ? " refused " + K.RefusalCode(r) : ""));
        if (r == K.Ok || r > 0 || r == K.ErrTimeout)
        {
            Console.WriteLine("rejCode " + K.Get(response, K.Rsp.RejCode));
            Console.WriteLine("amount " + K.Get(response, K.Rsp.Amount));
            Console.WriteLine("cardNumber " + K.Get(response, K.Rsp.CardNumber));
            Console.WriteLine("reply127 " + K.Get(response, K.Rsp.Reply127));
            Console.WriteLine("posTraceNumber " + K.Get(response, K.Rsp.PosTraceNumber));
            Console.WriteLine("reserved " + K.Get(response, K.Rsp.Reserved));
        }

        K.PutValue(K.ToC("transType"), K.ToC("30"));
        K.PutValue(K.ToC("amount"), K.ToC("000000012345"));
        K.TransProcess();
        foreach (string name in new[] { "rejCode", "rejCodeExplain", "cardNumber" })
            Console.WriteLine("facade " + name + " " + K.GetText(name));
        return r == K.Ok ? 0 : 1;
    }
}
