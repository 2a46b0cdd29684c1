// A checkout with await, for developing against the terminal simulator: the cardholder swipes,
// enters the PIN, and the debit runs until the terminal approves it (a declined debit is tried
// again, at most three times). Prints each step; exits 0 once a debit was approved.
//
//   mono Checkout.exe [PORT]   (default COM7; on Linux ORN_PORT_DIR points at ornsim's folder)
using System;
using System.Threading;
using System.Threading.Tasks;
using VelquoraORN;

static class Checkout
{
    const string PinKey = "0123456789ABCDEF";  // the session key the PIN block comes under
    const int AmountCents = 2495;

    static async Task<bool> Run(Terminal terminal)
    {
        terminal.ConnectionStateChanged += (s, e) => Console.WriteLine("  (terminal: " + e.State + ")");
        terminal.Display("Total     24.95", "Swipe your card");
        using (var abandon = new CancellationTokenSource(TimeSpan.FromMinutes(2))) {
            CardSwipe card = await terminal.SwipeCardAsync(2, token: abandon.Token);
            string account = card.Track2Text.Split('=')[0];
            Console.WriteLine("card swiped: account ending " + account.Substring(account.Length - 4));

            string pinBlock = await terminal.MasterSessionPinAsync(account, PinKey, timeout: 6,
                                                                   token: abandon.Token);
            Console.WriteLine("PIN entered: PIN block " + pinBlock);

            for (int attempt = 1; attempt <= 3; ++attempt) {
                try {
                    DebitResult debit = await terminal.DebitAsync(AmountCents, account, keyMode: 1, key: PinKey,
                                                                  token: abandon.Token);
                    Console.WriteLine("debit " + attempt + ": approved (" + debit.FirstText + ")");
                    return true;
                } catch (OrnException e) when (e.Code > 0) {
                    Console.WriteLine("debit " + attempt + ": declined, status " + e.Code);
                }
            }
        }
        return false;
    }

    static int Main(string[] args)
    {
        string port = args.Length > 0 ? args[0] : "COM7";
        try {
            using (var terminal = Terminal.Open(port)) {
                Console.WriteLine("open " + port + ": " + terminal.ConnectionState);
                bool approved = Run(terminal).GetAwaiter().GetResult();
                terminal.Display(approved ? "Approved" : "Not approved", "Thank you");
                return approved ? 0 : 1;
            }
        } catch (OrnException e) {
            Console.WriteLine("failed: " + e.Name + " (" + e.Code + ")");
            return 1;
        } catch (OperationCanceledException) {
            Console.WriteLine("abandoned: no card or PIN in time");
            return 1;
        }
    }
}
