// A whole session through Brenvik.Application (IBrenvik) from JScript,
// run where the ANSI code page is 1252: every Cyrillic text is a \u escape,
// and the server must still hand the printer code page 1251.
// cscript //nologo brenvik_session.js PORT
var failures = 0;
var port = parseInt(WScript.Arguments(0), 10);

function check(ok, what) {
    WScript.Echo((ok ? "ok   " : "FAIL ") + what);
    if (!ok) failures++;
}

// The simulator's control socket, through the test driver.
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

function loadXml(text) {
    var doc = new ActiveXObject("MSXML2.DOMDocument");
    check(doc.loadXML(text), "an XML document loads into MSXML");
    return doc;
}

var p = new ActiveXObject("Brenvik.Application");
p.ShowErrorMessages = 0;
check(p.Init(port, "\u041e\u043b\u0435\u043d\u0430 \u041a\u043e\u0432\u0430\u043b\u044c", "1111", 0, "brenvik_session.js") == 1, "Init");

check(p.OpenCheck("1") == 1, "OpenCheck");
check(p.FiscalLine("\u041c\u043e\u043b\u043e\u043a\u043e 2,5%", 3, 4250, 0, 1, 0, 101) == 12750, "FiscalLine \u041c\u043e\u043b\u043e\u043a\u043e");
check(p.FiscalLine("\u0425\u043b\u0456\u0431 \u0436\u0438\u0442\u043d\u0456\u0439", 2, 1850, 0, 1, 0, 102) == 3700, "FiscalLine \u0425\u043b\u0456\u0431");
check(p.CheckSumm == 16450, "CheckSumm");
check(p.Storn() == 1, "Storn");
check(p.CheckSumm == 12750, "Storn took the line off");
var total = p.CloseCheckEx(5000, 5000, 5000, 0);
check(total > 0, "CloseCheckEx with cash, cheque and credit: " + total);

var doc = loadXml(p.GetCheckResultXML());
check(doc.documentElement.nodeName == "m301_check_info", "check result document");
doc = loadXml(p.GetPrinterConfigXML(0));
var common = doc.selectSingleNode("/m301_printer_config/common");
check(common != null && common.getAttribute("SerialNumber") == "4000012345", "serial number from the XML");
check(common != null && common.getAttribute("Owner").indexOf("\u0414\u0435\u043c\u043e-\u041c\u0430\u0440\u043a\u0435\u0442") >= 0,
      "the owner's Cyrillic name survives a 1252 system");
doc = loadXml(p.GetFiscalInfoXML());
check(doc.documentElement.nodeName == "m301_fiscal_info", "fiscal document");

check(p.OpenReturnCheck("1") == 1, "OpenReturnCheck");
check(p.FiscalLine("\u041c\u043e\u043b\u043e\u043a\u043e 2,5%", 1, 4250, 0, 1, 0, 101) == 4250, "a return line");
check(p.CheckReturnSumm == 4250, "CheckReturnSumm");
check(p.CloseCheck() != 0, "CloseCheck of the return check");
check(p.XReport() == 1, "XReport");

check(simControl("next error SOFTPAPER") == "OK", "the simulator takes the fault");
check(p.FiscalLine("\u0425\u043b\u0456\u0431", 1, 100, 0, 1, 0, 1) == 0, "a refused line answers 0");
check(p.LastErrorCode == "SOFTPAPER", "LastErrorCode");
var msg = p.LastErrorMessage;
check(msg.indexOf("\u0421\u043b\u0435\u0434\u0443\u044e\u0449\u0430\u044f \u043a\u043e\u043c\u0430\u043d\u0434\u0430 \u043f\u0435\u0447\u0430\u0442\u0438 \u0434\u043e\u043a\u0443\u043c\u0435\u043d\u0442\u043e\u0432") == 0, "LastErrorMessage in Russian");
check(p.LastErrorMessage == "", "read once");
check(p.Done() == 1, "Done");

if (failures == 0) WScript.Echo("DONE-OK");
WScript.Quit(failures);
