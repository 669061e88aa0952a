// A whole sale through the Brenvik engine, the way a cash-register program
// drives it: connect, open a check, sell, close, read the result, print an
// X-report, disconnect.
//
// The engine speaks code page 1251 (as it does inside the Windows server);
// this program talks to people in UTF-8, so every text crosses that edge
// through iconv.
//
// Usage: brenvik_demo [PORT]   (default 3; on Linux, COM3 is
// $BRENVIK_PORTS_DIR/com3, the link the simulator makes)
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/platform.h"
#include "engine/printer_engine.h"

namespace {

std::string Convert(const char* from, const char* to, const std::string& text) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string in = text;
    std::string out(in.size() * 4 + 4, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
        // A character the other side has no letter for: show a question mark.
        if (outLeft == 0) break;
        *outPtr++ = '?';
        --outLeft;
        ++inPtr;
        --inLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// People's text (UTF-8) into the engine's code page, and back.
std::string ToEngine(const std::string& utf8) { return Convert("UTF-8", "CP1251", utf8); }
std::string ToPeople(const char* cp1251) { return Convert("CP1251", "UTF-8", cp1251 ? cp1251 : ""); }

// printf pads by bytes; Cyrillic letters take two in UTF-8.
std::string Pad(const std::string& utf8, size_t width) {
    size_t letters = 0;
    for (unsigned char c : utf8) letters += (c & 0xC0) != 0x80;
    return letters >= width ? utf8 : utf8 + std::string(width - letters, ' ');
}

std::string Trim(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

brenvik::PrinterEngine* engine = nullptr;

void Step(const char* what) { std::printf("\n== %s\n", what); }

// What went wrong, in the engine's own words (read once: the engine clears
// both after they have been read).
void ShowError() {
    std::string code = ToPeople(engine->GetLastErrorCode());
    std::string message = ToPeople(engine->GetLastErrorMessage());
    std::printf("   printer error %u %s: %s\n", engine->ErrorNumber, code.c_str(), message.c_str());
}

bool Check(const char* call, int32_t result) {
    std::printf("   %s -> %d\n", Pad(call, 58).c_str(), result);
    if (result == 0) ShowError();
    return result != 0;
}

struct Goods {
    const char* name;  // UTF-8
    int32_t qty;       // pieces, or grams for goods sold by weight
    int32_t price;     // kopecks per piece or per kilogram
    int32_t weighed;
    int32_t discount;  // kopecks off the line, 0 for none
    const char* discountName;
};

std::string Money(int32_t kopecks) {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%02d", kopecks / 100, std::abs(kopecks % 100));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int32_t port = argc > 1 ? std::atoi(argv[1]) : 3;
    static brenvik::PrinterEngine printer(brenvik::NativePlatform());
    engine = &printer;
    // A program without a desktop: errors are shown here, not in boxes.
    engine->SetShowErrorMessages(0);

    std::printf("Brenvik: driver for the Maria 301 MTM fiscal printer\n");
    std::printf("Demo: one sale check, its result and an X-report, on COM%d.\n", port);
    std::printf("(Every call below is an engine operation the automation server exposes.)\n");

    Step("Init: open the port, wake the printer, read its configuration, register the cashier");
    const std::string cashier = ToEngine("Олена Коваль");
    if (!Check("Init(port, \"Олена Коваль\", \"1111\", 0, \"\")",
               engine->Init(port, cashier.c_str(), "1111", 0, ""))) {
        std::printf("\nNo printer answered. Is the simulator running (examples/run-demo.sh)?\n");
        return 1;
    }
    std::printf("   serial number %s, owner \"%s\"\n", engine->GetPrinterSerialNumber(),
                Trim(ToPeople(engine->Owner)).c_str());
    std::printf("   printer clock (GetPrinterTime) %s\n", engine->GetPrinterTime());

    Step("OpenCheck: a new sale check in department 1");
    if (!Check("OpenCheck(\"1\")", engine->OpenCheck("1"))) return 1;

    Step("FiscalLine / FiscalLineEx: the goods (tax index 1, the first programmed rate)");
    const Goods goods[] = {
        {"Хліб житній", 2, 1850, 0, 0, ""},
        {"Сир твердий (ваговий)", 350, 32000, 1, 0, ""},
        {"Кава мелена", 1, 21900, 0, 2190, "Знижка 10%"},
        {"Молоко 2,5%", 3, 4250, 0, 0, ""},
    };
    int article = 101;
    for (const Goods& g : goods) {
        const std::string name = ToEngine(g.name);
        int32_t sum;
        char call[160];
        if (g.discount != 0) {
            const std::string discountName = ToEngine(g.discountName);
            sum = engine->FiscalLineEx(name.c_str(), g.qty, g.price, g.weighed, 1, 0, article, 0,
                                       discountName.c_str(), g.discount);
            std::snprintf(call, sizeof call, "FiscalLineEx(\"%s\", %d x %s, -%s)", g.name, g.qty,
                          Money(g.price).c_str(), Money(g.discount).c_str());
        } else {
            sum = engine->FiscalLine(name.c_str(), g.qty, g.price, g.weighed, 1, 0, article);
            std::snprintf(call, sizeof call, "FiscalLine(\"%s\", %d%s x %s)", g.name, g.qty,
                          g.weighed ? " g" : "", Money(g.price).c_str());
        }
        std::printf("   %s -> line sum %s\n", Pad(call, 58).c_str(), Money(sum).c_str());
        if (sum == 0) ShowError();
        ++article;
    }
    std::printf("   running total (GetCheckSum): %s\n", Money(engine->GetCheckSum()).c_str());

    Step("CloseCheck: the whole total paid in cash; the drawer opens");
    const int32_t total = engine->CloseCheck();
    std::printf("   %s -> %s\n", Pad("CloseCheck()", 58).c_str(), Money(total).c_str());
    if (total == 0) ShowError();

    Step("GetCheckResult / GetCheckResultXML: the printer's own sums of the closed check");
    std::printf("   (check number; total; on-sale taxes; included taxes; ...; in kopecks)\n");
    std::printf("   %s\n", ToPeople(engine->GetCheckResult()).c_str());
    std::printf("   %s\n", ToPeople(engine->GetCheckResultXML()).c_str());

    Step("GetCashInfoXML: the drawer's registers");
    std::printf("   %s\n", ToPeople(engine->GetCashInfoXML()).c_str());

    Step("XReport: the shift report, printed without closing the shift");
    Check("XReport()", engine->XReport());

    Step("Done: close the port");
    Check("Done()", engine->Done());
    return 0;
}
