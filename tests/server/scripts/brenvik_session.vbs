' A whole session through Brenvik.Application (IBrenvik) from VBScript.
' Run by run_server_tests.py on a Cyrillic system (the file is handed to
' cscript in code page 1251): cscript //nologo brenvik_session.vbs PORT
Option Explicit

Dim failures, port, p, sum, total, doc, node, msg
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

' The simulator's control socket, through the test driver.
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

Function LoadXml(text)
    Dim d
    ' Wine's VBScript CreateObject refuses MSXML; the host's does not.
    Set d = WScript.CreateObject("MSXML2.DOMDocument")
    Check d.loadXML(text), "an XML document loads into MSXML"
    Set LoadXml = d
End Function

Set p = CreateObject("Brenvik.Application")
p.ShowErrorMessages = 0
Check p.ShowErrorMessages = 0, "ShowErrorMessages off"
Check p.Init(port, "Олена Коваль", "1111", 0, "brenvik_session.vbs") = 1, "Init"
Check p.GetPortNumber() = 1, "GetPortNumber answers 1"

' A sale check with Cyrillic names, a storno and payments.
Check p.OpenCheck("1") = 1, "OpenCheck"
Check p.FiscalLine("Молоко 2,5%", 3, 4250, 0, 1, 0, 101) = 12750, "FiscalLine Молоко"
Check p.FiscalLine("Сир твердий", 350, 32000, 1, 1, 0, 103) = 11200, "FiscalLine by weight"
Check p.CheckSumm = 23950, "CheckSumm"
Check p.Storn() = 1, "Storn"
Check p.CheckSumm = 12750, "Storn took the line off"
Check p.FiscalLineEx("Кава мелена", 1, 21900, 0, 1, 0, 104, 0, "Знижка 10%", 2190) = 21900, "FiscalLineEx with a discount"
total = p.CloseCheckEx(20000, 10000, 5000, 0)
Check total > 0, "CloseCheckEx with cash, cheque and credit: " & total

Set doc = LoadXml(p.GetCheckResultXML())
Check doc.documentElement.nodeName = "m301_check_info", "check result document"
Set doc = LoadXml(p.GetPrinterConfigXML(1))
Set node = doc.selectSingleNode("/m301_printer_config/common")
Check Not node Is Nothing, "printer configuration document"
If Not node Is Nothing Then
    Check node.getAttribute("SerialNumber") = "4000012345", "serial number from the XML"
    Check InStr(node.getAttribute("Owner"), "Демо-Маркет") > 0, "the owner's Cyrillic name survives"
End If
Check p.GetPrinterSerialNumber() = "4000012345", "GetPrinterSerialNumber"
Set doc = LoadXml(p.GetCashInfoXML())
Check doc.documentElement.nodeName = "m301_cash_info", "cash document"

' A return check.
Check p.OpenReturnCheck("1") = 1, "OpenReturnCheck"
Check p.FiscalLine("Молоко 2,5%", 1, 4250, 0, 1, 0, 101) = 4250, "a return line"
Check p.CheckReturnSumm = 4250, "CheckReturnSumm"
Check p.CloseCheck() <> 0, "CloseCheck of the return check"

' Cash in, an X-report.
Check p.MoveCash(0, 10000) = 1, "MoveCash"
Check p.XReport() = 1, "XReport"
Check p.XReportAsync() = 1, "XReportAsync prints as XReport"

' An injected printer error, aimed at the report past the counter read
' before it.
Check SimControl("target ZREP") = "OK", "the fault waits for the report"
Check SimControl("next error SOFTPAPER") = "OK", "the simulator takes the fault"
Check p.XReport() = 0, "XReport fails"
Check p.LastErrorCode = "SOFTPAPER", "LastErrorCode"
Check p.LastErrorCode = "", "LastErrorCode is read once"
msg = p.LastErrorMessage
Check InStr(msg, "Следующая команда печати документов") = 1, "LastErrorMessage in Russian"
Check p.LastErrorMessage = "", "LastErrorMessage is read once"

Check p.SetOnSaleTaxes(1) = 0, "SetOnSaleTaxes answers 0"
Check p.SetPrintingDoubleWidth(1) = 0, "SetPrintingDoubleWidth answers 0"
p.RegistrationModePassword = "secret"
Check p.RegistrationModePassword = "", "passwords read back empty"
Check p.Done() = 1, "Done"

If failures = 0 Then WScript.Echo "DONE-OK"
WScript.Quit failures
