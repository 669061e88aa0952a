// A sale check through Brenvik.Application from JScript:
//   cscript //nologo sale.js 3
// IBrenvik methods return their result: 0 means failure, and the reason
// is in the LastErrorCode and LastErrorMessage properties.
var port = WScript.Arguments.length > 0 ? parseInt(WScript.Arguments(0), 10) : 3;
var printer = new ActiveXObject("Brenvik.Application");
printer.ShowErrorMessages = 0;

function fail(what) {
    WScript.Echo(what + " failed: " + printer.LastErrorCode + " " + printer.LastErrorMessage);
    printer.AbortCheck();
    printer.Done();
    WScript.Quit(1);
}

if (!printer.Init(port, "\u041e\u043b\u0435\u043d\u0430", "1111", 0, "sale.js")) fail("Init");
if (!printer.OpenCheck("1")) fail("OpenCheck");
// 2 pieces of rye bread ("Khlib zhytnii") at 18.50 with tax A (index 1),
// article 102. The file is plain ASCII: \u escapes carry the Cyrillic
// letters, so it reads the same whatever the system's code page.
if (!printer.FiscalLine("\u0425\u043b\u0456\u0431 \u0436\u0438\u0442\u043d\u0456\u0439", 2, 1850, 0, 1, 0, 102))
    fail("FiscalLine");
var total = printer.CloseCheckEx(5000, 0, 0, 0);  // 50.00 in cash
if (!total) fail("CloseCheckEx");
WScript.Echo("Check total: " + (total / 100).toFixed(2));

// The check's sums as XML, read with MSXML.
var xml = new ActiveXObject("MSXML2.DOMDocument");
if (xml.loadXML(printer.GetCheckResultXML()))
    WScript.Echo("Result document: " + xml.documentElement.nodeName);
printer.Done();
