' A whole session through BrenvikPlus.Maria301 (IMaria301) from VBScript:
' failures arrive as run-time errors (E_FAIL).
' cscript //nologo maria301_session.vbs PORT, file in code page 1251.
Option Explicit

Const E_FAIL = &H80004005
Dim failures, port, m, b, sum, total, doc, code, msg
failures = 0
port = CLng(WScript.Arguments(0))

Sub Check(ok, what)
    If ok Then
        WScript.Echo "ok   " & what
    Else
        WScript.Echo "FAIL " & what
        failures = failures + 1
    End If
End Sub

Function SimControl(line)
    Dim fso, f, i
    Set fso = CreateObject("Scripting.FileSystemObject")
    If fso.FileExists("C:\sim-answer.txt") Then fso.DeleteFile "C:\sim-answer.txt"
    Set f = fso.CreateTextFile("C:\sim-request.tmp", True)
    f.Write line
    f.Close
    fso.MoveFile "C:\sim-request.tmp", "C:\sim-request.txt"
    SimControl = ""
    ' No WScript.Sleep: Wine's cscript ends the script there. Poll for up
    ' to ten seconds instead; the driver answers in milliseconds.
    i = Timer
    Do While Abs(Timer - i) < 10
        If fso.FileExists("C:\sim-answer.txt") Then
            Set f = fso.OpenTextFile("C:\sim-answer.txt")
            If Not f.AtEndOfStream Then SimControl = Trim(f.ReadLine)
            f.Close
            If SimControl <> "" Then
                fso.DeleteFile "C:\sim-answer.txt"
                Exit Function
            End If
        End If
    Loop
End Function

Set m = CreateObject("BrenvikPlus.Maria301")
Set b = CreateObject("Brenvik.Application")
m.SetShowErrorMessages 0

On Error Resume Next
' Init through one object, the check through another: one engine.
b.Init port, "Олена", "1111", 0, ""
Check b.GetPrinterSerialNumber() = "4000012345", "Init through Brenvik.Application"

m.OpenCheck "1"
Check Err.Number = 0, "OpenCheck through Maria301"
sum = m.FiscalLine("Хліб житній", 2, 1850, 0, 1, 0, 102)
Check Err.Number = 0 And sum = 3700, "FiscalLine: ThisLineSum " & sum
sum = m.FiscalLine("Молоко 2,5%", 3, 4250, 0, 1, 0, 101)
Check m.GetCheckSum() = 16450, "GetCheckSum"
Check b.CheckSumm = 16450, "... and CheckSumm of the other object agree"
m.Storn
Check Err.Number = 0 And m.GetCheckSum() = 3700, "Storn"
total = m.CloseCheckEx(10000, 0, 0, 0)
Check Err.Number = 0 And total = 3700, "CloseCheckEx: " & total

' Wine's VBScript CreateObject refuses MSXML; the host's does not.
Set doc = WScript.CreateObject("MSXML2.DOMDocument")
Check doc.loadXML(m.GetCheckResultXML()), "GetCheckResultXML loads into MSXML"
Check doc.documentElement.nodeName = "m301_check_info", "... as m301_check_info"
Check doc.loadXML(m.GetTaxesInfoXML()), "GetTaxesInfoXML loads"
Check doc.documentElement.nodeName = "m301_taxes", "... as m301_taxes"

Err.Clear
m.OpenReturnCheck "1"
Check Err.Number = 0, "OpenReturnCheck"
sum = m.FiscalLine("Хліб житній", 1, 1850, 0, 1, 0, 102)
Check m.GetCheckReturnSum() = 1850 And b.CheckReturnSumm = 1850, "GetCheckReturnSum and CheckReturnSumm"
Err.Clear
total = m.CloseCheck()
Check Err.Number = 0, "CloseCheck of the return check"

Err.Clear
m.XReport
Check Err.Number = 0, "XReport"

' An injected printer error: E_FAIL, then the reason. It is aimed at the
' report itself, past the counter read before it.
Check SimControl("target ZREP") = "OK", "the fault waits for the report"
Check SimControl("next error SOFTPAPER") = "OK", "the simulator takes the fault"
Err.Clear
m.XReport
Check Err.Number = E_FAIL, "XReport raises E_FAIL"
Err.Clear
code = m.GetLastErrorCode()
Check Err.Number = 0 And code = "SOFTPAPER", "GetLastErrorCode: " & code
msg = m.GetLastErrorMessage()
Check Err.Number = 0 And InStr(msg, "Следующая команда печати документов") = 1, "GetLastErrorMessage in Russian"

Check SimControl("next error SOFTPAPER") = "OK", "a second fault"
Err.Clear
m.Feed 1
Check Err.Number = E_FAIL, "Feed raises E_FAIL"
Check b.LastErrorCode = "SOFTPAPER", "... seen through Brenvik.Application"
Err.Clear

m.SetPrintingDoubleWidth 1
Check Err.Number = E_FAIL, "SetPrintingDoubleWidth raises E_FAIL"
Err.Clear
m.LockPrinter 0
m.UnlockPrinter
m.SetTaxesCalcMode 1
Check Err.Number = 0, "LockPrinter, UnlockPrinter, SetTaxesCalcMode succeed"
Check m.GetPortNumber() = 1, "GetPortNumber"
m.Done
Check Err.Number = 0, "Done"

If failures = 0 Then WScript.Echo "DONE-OK"
WScript.Quit failures
