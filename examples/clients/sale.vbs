' A sale check through BrenvikPlus.Maria301 from VBScript.
' Save this file in the ANSI code page (Windows-1251) and run:
'   cscript //nologo sale.vbs 3
' A method of IMaria301 that fails raises a run-time error; the reason
' is read from GetLastErrorCode and GetLastErrorMessage.
Option Explicit

Dim port, printer, lineSum, total
port = 3
If WScript.Arguments.Count > 0 Then port = CLng(WScript.Arguments(0))

Set printer = CreateObject("BrenvikPlus.Maria301")
printer.SetShowErrorMessages 0

On Error Resume Next
printer.Init port, "Олена", "1111", 0, "sale.vbs"
If Err.Number <> 0 Then Fail "Init"

printer.OpenCheck "1"
If Err.Number <> 0 Then Fail "OpenCheck"
' 3 pieces at 42.50 with tax A (index 1), article 101
lineSum = printer.FiscalLine("Молоко 2,5%", 3, 4250, 0, 1, 0, 101)
If Err.Number <> 0 Then Fail "FiscalLine"
' 200.00 in cash
total = printer.CloseCheckEx(20000, 0, 0, 0)
If Err.Number <> 0 Then Fail "CloseCheckEx"
WScript.Echo "Check total: " & FormatNumber(total / 100, 2)

printer.Done

Sub Fail(what)
    WScript.Echo what & " failed: " & printer.GetLastErrorCode() & " " & printer.GetLastErrorMessage()
    printer.AbortCheck
    printer.Done
    WScript.Quit 1
End Sub
