// Class Maria301 ("BrenvikPlus.Maria301"): IMaria301, whose methods return
// HRESULTs. A command answers S_OK when the engine returned 1 and E_FAIL
// otherwise; a method with a value stores it first and then answers by the
// engine's success rule for the last exchange (error 0 or 35).
#include "server/server_module_win32.h"
#include "server/text_bridge_win32.h"

namespace brenvik {
namespace {

class Maria301Object final : public DispatchObject<IMaria301> {
public:
    explicit Maria301Object(IUnknown* outer) : DispatchObject<IMaria301>(outer) {}

    // ---- Link and connection -----------------------------------------------
    HRESULT STDMETHODCALLTYPE Init(LONG port, BSTR name, BSTR password, LONG showStatus,
                                   BSTR) override {
        return Command([&] {
            // The caller's application name is never handed on.
            return Engine().Init(port, TextArg<cut::kCashier>(name), TextArg<cut::kPassword>(password), showStatus, "");
        });
    }
    HRESULT STDMETHODCALLTYPE GetPortNumber(LONG* port) override {
        // The engine keeps no port number; answer what IBrenvik answers.
        if (port != nullptr) *port = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Done() override {
        return Command([] { return Engine().Done(); });
    }
    HRESULT STDMETHODCALLTYPE LockPrinter(LONG timeout) override {
        return Command([&] { return Engine().LockPrinter(timeout); });
    }
    HRESULT STDMETHODCALLTYPE UnlockPrinter() override {
        return Command([] { return Engine().UnlockPrinter(); });
    }
    HRESULT STDMETHODCALLTYPE LowSendMessageToPrinter(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LowGetNextPendingPrinterMessage(LONG, BSTR* message) override {
        if (message != nullptr) *message = SysAllocStringLen(nullptr, 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetShowPrinterStatus(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetCheckMessagesMode(LONG mode) override {
        return Command([&] { return Engine().SetCheckMessagesMode(mode); });
    }

    // ---- Check and sale operations -------------------------------------------
    HRESULT STDMETHODCALLTYPE OpenCheck(BSTR department) override {
        return Command([&] { return Engine().OpenCheck(TextArg<cut::kDepartment>(department)); });
    }
    HRESULT STDMETHODCALLTYPE SetReturnCheckNumber(LONG number) override {
        return Command([&] { return Engine().SetReturnCheckNumber(number); });
    }
    HRESULT STDMETHODCALLTYPE OpenReturnCheck(BSTR department) override {
        return Command([&] { return Engine().OpenReturnCheck(TextArg<cut::kDepartment>(department)); });
    }
    HRESULT STDMETHODCALLTYPE LongName(BSTR name) override {
        return Command([&] { return Engine().LongName(TextArg<cut::kLongName>(name)); });
    }
    HRESULT STDMETHODCALLTYPE SetCurrentCheckDirection(LONG direction) override {
        return Command([&] { return Engine().SetCurrentCheckDirection(direction); });
    }
    HRESULT STDMETHODCALLTYPE FiscalLine(BSTR name, LONG qty, LONG price, LONG dividual,
                                         LONG tax1, LONG tax2, LONG article,
                                         LONG* lineSum) override {
        return Value(lineSum, [&] {
            return Engine().FiscalLine(TextArg<cut::kFiscalLineName>(name), qty, price, dividual, tax1, tax2,
                                       article);
        });
    }
    HRESULT STDMETHODCALLTYPE FiscalLineEx(BSTR name, LONG qty, LONG price, LONG dividual,
                                           LONG tax1, LONG tax2, LONG article,
                                           LONG discountDirection, BSTR discountName,
                                           LONG discount, LONG* lineSum) override {
        return Value(lineSum, [&] {
            return Engine().FiscalLineEx(TextArg<cut::kFiscalLineExName>(name), qty, price, dividual, tax1, tax2,
                                         article, discountDirection, TextArg<cut::kDiscountName>(discountName),
                                         discount);
        });
    }
    HRESULT STDMETHODCALLTYPE FreeTextLine(LONG before, LONG journal, LONG bold,
                                           BSTR text) override {
        return Command([&] { return Engine().FreeTextLine(before, journal, bold, TextArg<cut::kFreeText>(text)); });
    }
    HRESULT STDMETHODCALLTYPE ClearFreeTextLines() override {
        return Command([] { return Engine().ClearFreeTextLines(); });
    }
    HRESULT STDMETHODCALLTYPE CloseCheck(LONG* checkSum) override {
        return Value(checkSum, [] { return Engine().CloseCheck(); });
    }
    HRESULT STDMETHODCALLTYPE CloseCheckEx(LONG cash, LONG payCheck, LONG credit, LONG packing,
                                           LONG* checkSum) override {
        return Value(checkSum, [&] { return Engine().CloseCheckEx(cash, payCheck, credit, packing); });
    }
    HRESULT STDMETHODCALLTYPE AbortCheck() override {
        return Command([] { return Engine().AbortCheck(); });
    }
    HRESULT STDMETHODCALLTYPE CheckCopy() override {
        return Command([] { return Engine().CheckCopy(); });
    }
    HRESULT STDMETHODCALLTYPE SetOnSaleTaxesPrintMode(LONG mode) override {
        return Command([&] { return Engine().SetOnSaleTaxesPrintMode(mode); });
    }
    HRESULT STDMETHODCALLTYPE MoveCash(LONG direction, LONG sum) override {
        return Command([&] { return Engine().MoveCash(direction, sum); });
    }
    HRESULT STDMETHODCALLTYPE SetTaxesCalcMode(LONG onTotal) override {
        return Command([&] { return Engine().SetTaxesCalcMode(onTotal); });
    }
    HRESULT STDMETHODCALLTYPE SetArticleMode(LONG mode) override {
        return Command([&] { return Engine().SetArticleMode(mode); });
    }
    HRESULT STDMETHODCALLTYPE SetReturnCheckNumberStr(BSTR numbers) override {
        return Command([&] { return Engine().SetReturnCheckNumberStr(TextArg<cut::kReturnNumbers>(numbers)); });
    }
    HRESULT STDMETHODCALLTYPE SetLinePrintingOn() override {
        return Command([] { return Engine().SetLinePrintingOn(); });
    }
    HRESULT STDMETHODCALLTYPE SetCheckBottomLineEx(LONG index, LONG journal, LONG mode,
                                                   BSTR text) override {
        return Command([&] {
            return Engine().SetCheckBottomLineEx(index, journal, mode, TextArg<cut::kBottomLine>(text));
        });
    }
    HRESULT STDMETHODCALLTYPE SetDiscountPrintMode(LONG mode) override {
        return Command([&] { return Engine().SetDiscountPrintMode(mode); });
    }
    HRESULT STDMETHODCALLTYPE SetContinousPaperPrintMode(LONG continous) override {
        return Command([&] { return Engine().SetContinousPaperPrintMode(continous); });
    }
    HRESULT STDMETHODCALLTYPE OpenGoodsGroup(BSTR name) override {
        return Command([&] { return Engine().OpenGoodsGroup(TextArg<cut::kGoodsGroup>(name)); });
    }
    HRESULT STDMETHODCALLTYPE CloseGoodsGroup(BSTR discountName, BSTR upcountName) override {
        return Command([&] {
            return Engine().CloseGoodsGroup(TextArg<cut::kTotalsName>(discountName),
                                            TextArg<cut::kTotalsName>(upcountName));
        });
    }
    HRESULT STDMETHODCALLTYPE SetCurrentCurrency(BSTR name) override {
        return Command([&] { return Engine().SetCurrentCurrency(TextArg<cut::kCurrency>(name)); });
    }
    HRESULT STDMETHODCALLTYPE Storn() override {
        return Command([] { return Engine().Storn(); });
    }
    HRESULT STDMETHODCALLTYPE SetDiscountUpcountTotalsName(BSTR discountName,
                                                           BSTR upcountName) override {
        return Command([&] {
            return Engine().SetDiscountUpcountTotalsName(TextArg<cut::kTotalsName>(discountName),
                                                         TextArg<cut::kTotalsName>(upcountName));
        });
    }
    HRESULT STDMETHODCALLTYPE SetDoubledTaxCalcMode(LONG tax1, LONG tax2) override {
        return Command([&] { return Engine().SetDoubledTaxCalcMode(tax1, tax2); });
    }
    HRESULT STDMETHODCALLTYPE PrintBarcode(LONG type, LONG below, LONG journal,
                                           BSTR barcode) override {
        return Command([&] {
            return Engine().PrintBarcode(type, below, journal, TextArg<cut::kBarcode>(barcode));
        });
    }

    // ---- Information queries ---------------------------------------------------
    HRESULT STDMETHODCALLTYPE GetPrinterSerialNumber(BSTR* serial) override {
        // A stored value: no exchange, so always S_OK.
        if (serial != nullptr) *serial = Text([] { return Engine().GetPrinterSerialNumber(); });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPrinterConfigXML(LONG refresh, BSTR* xml) override {
        return TextValue(xml, [&] { return Engine().GetPrinterConfigXML(refresh); });
    }
    HRESULT STDMETHODCALLTYPE GetPrinterConfig(BSTR* config) override {
        return TextValue(config, [] { return Engine().GetPrinterConfig(); });
    }
    HRESULT STDMETHODCALLTYPE GetPrinterKeyPosition(LONG* position) override {
        // Filled from the same query IBrenvik makes, so that the caller
        // gets the key position and not whatever its variable held.
        return Value(position, [] { return Engine().GetPrinterKeyPosition(); });
    }
    HRESULT STDMETHODCALLTYPE GetArticleInfoXML(LONG article, BSTR* info) override {
        return TextValue(info, [&] { return Engine().GetArticleInfoXML(article); });
    }
    HRESULT STDMETHODCALLTYPE GetArticleInfo(LONG article, BSTR* info) override {
        return TextValue(info, [&] { return Engine().GetArticleInfo(article); });
    }
    HRESULT STDMETHODCALLTYPE GetPrinterTime(BSTR* time) override {
        return TextValue(time, [] { return Engine().GetPrinterTime(); });
    }
    HRESULT STDMETHODCALLTYPE GetCashInfoXML(BSTR* info) override {
        return TextValue(info, [] { return Engine().GetCashInfoXML(); });
    }
    HRESULT STDMETHODCALLTYPE GetCashInfo(BSTR* info) override {
        return TextValue(info, [] { return Engine().GetCashInfo(); });
    }
    HRESULT STDMETHODCALLTYPE GetFiscalInfoXML(BSTR* info) override {
        return TextValue(info, [] { return Engine().GetFiscalInfoXML(); });
    }
    HRESULT STDMETHODCALLTYPE GetFiscalInfo(BSTR* info) override {
        return TextValue(info, [] { return Engine().GetFiscalInfo(); });
    }
    HRESULT STDMETHODCALLTYPE GetTaxesInfoXML(BSTR* info) override {
        return TextValue(info, [] { return Engine().GetTaxesInfoXML(); });
    }
    HRESULT STDMETHODCALLTYPE GetTaxesInfo(BSTR* info) override {
        return TextValue(info, [] { return Engine().GetTaxesInfo(); });
    }
    HRESULT STDMETHODCALLTYPE GetCheckResult(BSTR* result) override {
        return TextValue(result, [] { return Engine().GetCheckResult(); });
    }
    HRESULT STDMETHODCALLTYPE GetCheckResultXML(BSTR* result) override {
        return TextValue(result, [] { return Engine().GetCheckResultXML(); });
    }
    HRESULT STDMETHODCALLTYPE GetDocumentsInfo(BSTR* info) override {
        return TextValue(info, [] { return Engine().GetDocumentsInfo(); });
    }
    HRESULT STDMETHODCALLTYPE GetDocumentsInfoXML(BSTR* info) override {
        return TextValue(info, [] { return Engine().GetDocumentsInfoXML(); });
    }

    // ---- Documents, reports and printer settings ---------------------------------
    HRESULT STDMETHODCALLTYPE OpenTextDocument() override {
        return Command([] { return Engine().OpenTextDocument(); });
    }
    HRESULT STDMETHODCALLTYPE CloseTextDocument(LONG journal) override {
        return Command([&] { return Engine().CloseTextDocument(journal); });
    }
    HRESULT STDMETHODCALLTYPE NullCheck() override {
        return Command([] { return Engine().NullCheck(); });
    }
    HRESULT STDMETHODCALLTYPE XReport() override {
        return Command([] { return Engine().XReport(); });
    }
    HRESULT STDMETHODCALLTYPE ZReport() override {
        return Command([] { return Engine().ZReport(); });
    }
    HRESULT STDMETHODCALLTYPE XReportAsync() override {
        return Command([] { return Engine().XReportAsync(); });
    }
    HRESULT STDMETHODCALLTYPE ZReportAsync() override {
        return Command([] { return Engine().ZReportAsync(); });
    }
    HRESULT STDMETHODCALLTYPE ArticleReport() override {
        return Command([] { return Engine().ArticleReport(); });
    }
    HRESULT STDMETHODCALLTYPE DiscountReport() override {
        return Command([] { return Engine().DiscountReport(); });
    }
    HRESULT STDMETHODCALLTYPE PeriodicalFiscalReport(LONG first, LONG last) override {
        return Command([&] { return Engine().PeriodicalFiscalReport(first, last); });
    }
    HRESULT STDMETHODCALLTYPE PeriodicalFiscalReportDate(DATE from, DATE to) override {
        return Command([&] {
            char fromText[kDateTextSize];
            char toText[kDateTextSize];
            DateToEngineText(from, fromText);
            DateToEngineText(to, toText);
            return Engine().PeriodicalFiscalReportDate(fromText, toText);
        });
    }
    HRESULT STDMETHODCALLTYPE PrintZeroZReport() override {
        return Command([] { return Engine().PrintZeroZReport(); });
    }
    HRESULT STDMETHODCALLTYPE Feed(LONG lines) override {
        return Command([&] { return Engine().Feed(lines); });
    }
    HRESULT STDMETHODCALLTYPE SetPrintingDoubleWidth(LONG on) override {
        return Command([&] { return Engine().SetPrintingDoubleWidth(on); });
    }
    HRESULT STDMETHODCALLTYPE SetTableMode(LONG on) override {
        return Command([&] { return Engine().SetTableMode(on); });
    }
    HRESULT STDMETHODCALLTYPE PutToDisplay(BSTR line1, BSTR line2) override {
        return Command([&] {
            return Engine().PutToDisplay(TextArg<cut::kDisplayLine>(line1), TextArg<cut::kDisplayLine>(line2));
        });
    }
    HRESULT STDMETHODCALLTYPE OpenCashBox() override {
        return Command([] { return Engine().OpenCashBox(); });
    }
    HRESULT STDMETHODCALLTYPE CutAndBeep(LONG cutter, LONG beep, LONG partialCut) override {
        return Command([&] { return Engine().CutAndBeep(cutter, beep, partialCut); });
    }
    HRESULT STDMETHODCALLTYPE SetInternalTime(LONG hours, LONG minutes, LONG seconds) override {
        return Command([&] { return Engine().SetInternalTime(hours, minutes, seconds); });
    }
    HRESULT STDMETHODCALLTYPE SetDeptAlias(BSTR alias) override {
        return Command([&] { return Engine().SetDeptAlias(TextArg<cut::kDeptAlias>(alias)); });
    }
    HRESULT STDMETHODCALLTYPE SetCheckHeadLine(BSTR text) override {
        return Command([&] { return Engine().SetCheckHeadLine(TextArg<cut::kHeadLine>(text)); });
    }
    HRESULT STDMETHODCALLTYPE SetCheckBottomLine(BSTR text) override {
        return Command([&] { return Engine().SetCheckBottomLine(TextArg<cut::kBottomLine>(text)); });
    }
    HRESULT STDMETHODCALLTYPE PutToExternalDisplay(BSTR text, LONG clear) override {
        return Command([&] { return Engine().PutToExternalDisplay(TextArg<cut::kExternalDisplay>(text), clear); });
    }

    // ---- Stored values and settings: always S_OK -------------------------------
    HRESULT STDMETHODCALLTYPE GetCheckSum(LONG* sum) override {
        return Stored(sum, [] { return Engine().GetCheckSum(); });
    }
    HRESULT STDMETHODCALLTYPE GetCheckOnSaleTaxes(LONG* taxes) override {
        return Stored(taxes, [] { return Engine().GetCheckOnSaleTaxes(); });
    }
    HRESULT STDMETHODCALLTYPE GetCheckReturnSum(LONG* sum) override {
        return Stored(sum, [] { return Engine().GetCheckReturnSum(); });
    }
    HRESULT STDMETHODCALLTYPE GetCheckReturnOnSaleTaxes(LONG* taxes) override {
        return Stored(taxes, [] { return Engine().GetCheckReturnOnSaleTaxes(); });
    }
    HRESULT STDMETHODCALLTYPE SetShowErrorMessages(LONG show) override {
        Engine().SetShowErrorMessages(show);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLastErrorMessage(BSTR* message) override {
        // A null pointer must not consume the read-once message.
        if (message != nullptr) *message = Text([] { return Engine().GetLastErrorMessage(); });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetRegistrationModePassword(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetReportsModePassword(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetProgrammingModePassword(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetLastErrorCode(BSTR* code) override {
        if (code != nullptr) *code = Text([] { return Engine().GetLastErrorCode(); });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLastLineTaxes(LONG* taxes) override {
        return Stored(taxes, [] { return Engine().GetLastLineTaxes(); });
    }

private:
    template <class Body>
    static HRESULT Command(Body body) {
        return Guarded<HRESULT>(E_FAIL, [&] { return body() == 1 ? S_OK : E_FAIL; });
    }
    static HRESULT BySuccessRule() { return Engine().Succeeded() ? S_OK : E_FAIL; }
    // The value is stored whatever the outcome; a null pointer only loses it.
    template <class Body>
    static HRESULT Value(LONG* out, Body body) {
        return Guarded<HRESULT>(E_FAIL, [&] {
            const LONG value = static_cast<LONG>(body());
            if (out != nullptr) *out = value;
            return BySuccessRule();
        });
    }
    template <class Body>
    static BSTR Text(Body body) {
        return Guarded<BSTR>(nullptr, [&] { return FromEngineText(body()); });
    }
    template <class Body>
    static HRESULT TextValue(BSTR* out, Body body) {
        return Guarded<HRESULT>(E_FAIL, [&] {
            BSTR value = Text(body);
            if (out != nullptr) {
                *out = value;
            } else {
                SysFreeString(value);
            }
            return BySuccessRule();
        });
    }
    template <class Body>
    static HRESULT Stored(LONG* out, Body body) {
        if (out != nullptr) *out = Guarded<LONG>(0, [&] { return static_cast<LONG>(body()); });
        return S_OK;
    }
};

}  // namespace

HRESULT CreateMaria301(IUnknown* outer, REFIID iid, void** object) {
    return CreateObject<Maria301Object>(outer, iid, object);
}

}  // namespace brenvik
