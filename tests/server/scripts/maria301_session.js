// A whole session through BrenvikPlus.Maria301 (IMaria301) from JScript:
// a failing method throws, with E_FAIL in the error's number.
// cscript //nologo maria301_session.js PORT, under a 1252 ANSI code page.
var failures = 0;
var port = parseInt(WScript.Arguments(0), 10);
var E_FAIL = -2147467259;  // 0x80004005

function check(ok, what) {
    WScript.Echo((ok ? "ok   " : "FAIL ") + what);
    if (!ok) failures++;
}

function simControl(line) {
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    if (fso.FileExists("C:\\sim-answer.txt")) fso.DeleteFile("C:\\sim-answer.txt");
    var f = fso.CreateTextFile("C:\\sim-request.tmp", true);
    f.Write(line);
    f.Close();
    fso.MoveFile("C:\\sim-request.tmp", "C:\\sim-request.txt");
    // No WScript.Sleep: Wine's cscript ends the script there. Poll for up
    // to ten seconds instead; the driver answers in milliseconds.
    var until = new Date().getTime() + 10000;
    while (new Date().getTime() < until) {
        if (fso.FileExists("C:\\sim-answer.txt")) {
            f = fso.OpenTextFile("C:\\sim-answer.txt");
            var answer = f.AtEndOfStream ? "" : f.ReadLine();
            f.Close();
            if (answer != "") {
                fso.DeleteFile("C:\\sim-answer.txt");
                return answer.replace(/\s+$/, "");
            }
        }
    }
    return "";
}

// The HRESULT a call failed with, or 0.
function failure(call) {
    try {
        call();
        return 0;
    } catch (e) {
        return e.number;
    }
}

var m = new ActiveXObject("BrenvikPlus.Maria301");
var b = new ActiveXObject("Brenvik.Application");
m.SetShowErrorMessages(0);
check(failure(function () { m.Init(port, "\u041e\u043b\u0435\u043d\u0430", "1111", 0, ""); }) == 0, "Init through Maria301");

// The check through the other object.
check(b.OpenCheck("1") == 1, "OpenCheck through Brenvik.Application");
check(m.FiscalLine("\u041c\u043e\u043b\u043e\u043a\u043e 2,5%", 3, 4250, 0, 1, 0, 101) == 12750, "FiscalLine: ThisLineSum");
check(m.FiscalLineEx("\u041a\u0430\u0432\u0430 \u043c\u0435\u043b\u0435\u043d\u0430", 1, 21900, 0, 1, 0, 104, 0, "\u0417\u043d\u0438\u0436\u043a\u0430 10%", 2190) == 21900,
      "FiscalLineEx with a discount");
check(m.GetCheckSum() == b.CheckSumm, "GetCheckSum and CheckSumm agree");
check(failure(function () { m.Storn(); }) == 0, "Storn");
check(m.GetCheckSum() == 12750, "Storn took the line off");
var total = m.CloseCheckEx(20000, 0, 0, 0);
check(total == 12750, "CloseCheckEx: " + total);

var doc = new ActiveXObject("MSXML2.DOMDocument");
check(doc.loadXML(m.GetCheckResultXML()), "GetCheckResultXML loads into MSXML");
check(doc.documentElement.nodeName == "m301_check_info", "... as m301_check_info");
check(doc.loadXML(m.GetFiscalInfoXML()), "GetFiscalInfoXML loads");
check(doc.documentElement.nodeName == "m301_fiscal_info", "... as m301_fiscal_info");

check(failure(function () { m.OpenReturnCheck("1"); }) == 0, "OpenReturnCheck");
check(m.FiscalLine("\u041c\u043e\u043b\u043e\u043a\u043e 2,5%", 1, 4250, 0, 1, 0, 101) == 4250, "a return line");
check(m.GetCheckReturnSum() == 4250, "GetCheckReturnSum");
m.CloseCheck();
check(failure(function () { m.XReport(); }) == 0, "XReport");
check(failure(function () { m.XReportAsync(); }) == 0, "XReportAsync");

check(simControl("target ZREP") == "OK", "the fault waits for the report, past the counter read before it");
check(simControl("next error SOFTPAPER") == "OK", "the simulator takes the fault");
check(failure(function () { m.XReport(); }) == E_FAIL, "XReport throws E_FAIL");
check(m.GetLastErrorCode() == "SOFTPAPER", "GetLastErrorCode");
check(m.GetLastErrorMessage().indexOf("\u0421\u043b\u0435\u0434\u0443\u044e\u0449\u0430\u044f \u043a\u043e\u043c\u0430\u043d\u0434\u0430 \u043f\u0435\u0447\u0430\u0442\u0438 \u0434\u043e\u043a\u0443\u043c\u0435\u043d\u0442\u043e\u0432") == 0,
      "GetLastErrorMessage in Russian");
check(failure(function () { m.SetPrintingDoubleWidth(1); }) == E_FAIL, "SetPrintingDoubleWidth throws E_FAIL");
check(m.GetPortNumber() == 1, "GetPortNumber");
check(failure(function () { m.Done(); }) == 0, "Done");

if (failures == 0) WScript.Echo("DONE-OK");
WScript.Quit(failures);
