// A sale check from C#, both ways a .NET program reaches BrenvikPlus.dll:
//   BrenvikSale 3        early binding through the type library (Maria301,
//                        the IMaria301 interface): a failure is a COMException
//   BrenvikSale 3 late   late binding by ProgID ("Brenvik.Application") with
//                        dynamic: a failure is a result of 0
// C# strings are UTF-16, so the Cyrillic texts reach the printer right on a
// Western and on a Cyrillic Windows alike. Amounts are in kopecks.
using System;
using System.Runtime.InteropServices;

static class Program
{
    static int Main(string[] args)
    {
        int port = args.Length > 0 ? int.Parse(args[0]) : 3;
        bool late = args.Length > 1 && args[1] == "late";
        return late ? LateBound(port) : EarlyBound(port);
    }

    static int EarlyBound(int port)
    {
        var printer = new Brenvik.Maria301();
        printer.SetShowErrorMessages(0);  // no message boxes: we report
        string step = "Init";
        try
        {
            printer.Init(port, "Олена", "1111", 0, "BrenvikSale");
            step = "OpenCheck";
            printer.OpenCheck("1");
            step = "FiscalLine";
            // 3 pieces at 42.50 with tax A (index 1), article 101
            printer.FiscalLine("Молоко 2,5%", 3, 4250, 0, 1, 0, 101);
            step = "CloseCheckEx";
            int total = printer.CloseCheckEx(20000, 0, 0, 0);  // 200.00 in cash
            Console.WriteLine("Check total: {0:F2}", total / 100.0);
            printer.Done();
            return 0;
        }
        catch (COMException)
        {
            Console.WriteLine("{0} failed: {1} {2}", step, printer.GetLastErrorCode(),
                              printer.GetLastErrorMessage());
            try { printer.AbortCheck(); } catch (COMException) { /* no check was open */ }
            printer.Done();
            return 1;
        }
        finally
        {
            Marshal.ReleaseComObject(printer);
        }
    }

    static int LateBound(int port)
    {
        Type type = Type.GetTypeFromProgID("Brenvik.Application", true);
        dynamic printer = Activator.CreateInstance(type);
        printer.ShowErrorMessages = 0;
        try
        {
            if (printer.Init(port, "Олена", "1111", 0, "BrenvikSale") == 0) return Fail(printer, "Init");
            if (printer.OpenCheck("1") == 0) return Fail(printer, "OpenCheck");
            // 2 pieces of "Хліб житній" at 18.50 with tax A (index 1), article 102
            if (printer.FiscalLine("Хліб житній", 2, 1850, 0, 1, 0, 102) == 0) return Fail(printer, "FiscalLine");
            int total = printer.CloseCheckEx(5000, 0, 0, 0);  // 50.00 in cash
            if (total == 0) return Fail(printer, "CloseCheckEx");
            Console.WriteLine("Check total: {0:F2}", total / 100.0);
            Console.WriteLine(printer.GetCheckResultXML());
            printer.Done();
            return 0;
        }
        finally
        {
            Marshal.ReleaseComObject(printer);
        }
    }

    static int Fail(dynamic printer, string step)
    {
        Console.WriteLine("{0} failed: {1} {2}", step, printer.LastErrorCode, printer.LastErrorMessage);
        printer.AbortCheck();
        printer.Done();
        return 1;
    }
}
