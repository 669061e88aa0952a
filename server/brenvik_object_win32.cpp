// Class Brenvik ("Brenvik.Application"): IBrenvik, whose methods return
// the engine's result itself. Every member converts its arguments, calls
// the one engine and converts the result back; nothing else.
#include "server/server_module_win32.h"
#include "server/text_bridge_win32.h"

namespace brenvik {
namespace {

// Failure values for a member whose body threw: 0, NULL, E_FAIL.
constexpr LONG kNoResult = 0;

BSTR EmptyBstr() { return SysAllocStringLen(nullptr, 0); }

class BrenvikObject final : public DispatchObject<IBrenvik> {
public:
    explicit BrenvikObject(IUnknown* outer) : DispatchObject<IBrenvik>(outer) {}

    // ---- Properties --------------------------------------------------------
    HRESULT STDMETHODCALLTYPE get_CheckSumm(LONG* value) override {
        return GetLong(value, [] { return Engine().GetCheckSum(); });
    }
    HRESULT STDMETHODCALLTYPE get_CheckOnSaleTaxes(LONG* value) override {
        return GetLong(value, [] { return Engine().GetCheckOnSaleTaxes(); });
    }
    HRESULT STDMETHODCALLTYPE get_CheckReturnSumm(LONG* value) override {
        return GetLong(value, [] { return Engine().GetCheckReturnSum(); });
    }
    HRESULT STDMETHODCALLTYPE get_CheckReturnOnSaleTaxes(LONG* value) override {
        return GetLong(value, [] { return Engine().GetCheckReturnOnSaleTaxes(); });
    }
    HRESULT STDMETHODCALLTYPE put_ShowStatusDialogs(LONG*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_ShowErrorMessages(LONG* value) override {
        return GetLong(value, [] { return Engine().GetShowErrorMessages(); });
    }
    HRESULT STDMETHODCALLTYPE put_ShowErrorMessages(LONG value) override {
        Engine().SetShowErrorMessages(value);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_LastErrorMessage(BSTR* value) override {
        return GetText(value, [] { return Engine().GetLastErrorMessage(); });
    }
    HRESULT STDMETHODCALLTYPE get_RegistrationModePassword(BSTR* value) override {
        return EmptyText(value);
    }
    HRESULT STDMETHODCALLTYPE put_RegistrationModePassword(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_ReportModePassword(BSTR* value) override { return EmptyText(value); }
    HRESULT STDMETHODCALLTYPE put_ReportModePassword(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_ProgrammingModePassword(BSTR* value) override {
        return EmptyText(value);
    }
    HRESULT STDMETHODCALLTYPE put_ProgrammingModePassword(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_LastErrorCode(BSTR* value) override {
        return GetText(value, [] { return Engine().GetLastErrorCode(); });
    }
    HRESULT STDMETHODCALLTYPE get_LastLineTaxes(LONG* value) override {
        return GetLong(value, [] { return Engine().GetLastLineTaxes(); });
    }

    // ---- Link and connection -----------------------------------------------
    LONG STDMETHODCALLTYPE Init(LONG port, BSTR name, BSTR password, LONG showStatus,
                                BSTR) override {
        return Call([&] {
            // The caller's application name is never handed on.
            return Engine().Init(port, TextArg<cut::kCashier>(name), TextArg<cut::kPassword>(password), showStatus, "");
        });
    }
    LONG STDMETHODCALLTYPE InitEx(LONG port, BSTR name, BSTR password, LONG showStatus,
                                  BSTR application, BSTR remoteHost) override {
        return Call([&] {
            return Engine().InitEx(port, TextArg<cut::kInitExCashier>(name), TextArg<cut::kPassword>(password),
                                   showStatus, TextArg<cut::kApplicationName>(application),
                                   TextArg<cut::kRemoteHostName>(remoteHost));
        });
    }
    LONG STDMETHODCALLTYPE GetPortNumber() override { return 1; }
    LONG STDMETHODCALLTYPE Done() override {
        return Call([] { return Engine().Done(); });
    }
    LONG STDMETHODCALLTYPE LockPrinter(LONG timeout) override {
        return Call([&] { return Engine().LockPrinter(timeout); });
    }
    LONG STDMETHODCALLTYPE UnlockPrinter() override {
        return Call([] { return Engine().UnlockPrinter(); });
    }
    LONG STDMETHODCALLTYPE LowSendMessageToPrinter(BSTR) override { return 1; }
    BSTR STDMETHODCALLTYPE LowGetNextPendingPrinterMessage(LONG) override { return EmptyBstr(); }
    LONG STDMETHODCALLTYPE SetShowPrinterStatus(LONG) override { return 1; }
    LONG STDMETHODCALLTYPE SetCheckMessagesMode(LONG mode) override {
        return Call([&] { return Engine().SetCheckMessagesMode(mode); });
    }

    // ---- Check and sale operations -------------------------------------------
    LONG STDMETHODCALLTYPE OpenCheck(BSTR department) override {
        return Call([&] { return Engine().OpenCheck(TextArg<cut::kDepartment>(department)); });
    }
    LONG STDMETHODCALLTYPE SetReturnCheckNumber(LONG number) override {
        return Call([&] { return Engine().SetReturnCheckNumber(number); });
    }
    LONG STDMETHODCALLTYPE OpenReturnCheck(BSTR department) override {
        return Call([&] { return Engine().OpenReturnCheck(TextArg<cut::kDepartment>(department)); });
    }
    LONG STDMETHODCALLTYPE LongName(BSTR name) override {
        return Call([&] { return Engine().LongName(TextArg<cut::kLongName>(name)); });
    }
    LONG STDMETHODCALLTYPE SetCurrentCheckDirection(LONG direction) override {
        return Call([&] { return Engine().SetCurrentCheckDirection(direction); });
    }
    LONG STDMETHODCALLTYPE FiscalLine(BSTR name, LONG qty, LONG price, LONG dividual, LONG tax1,
                                      LONG tax2, LONG article) override {
        return Call([&] {
            return Engine().FiscalLine(TextArg<cut::kFiscalLineName>(name), qty, price, dividual, tax1, tax2,
                                       article);
        });
    }
    LONG STDMETHODCALLTYPE FiscalLineEx(BSTR name, LONG qty, LONG price, LONG dividual, LONG tax1,
                                        LONG tax2, LONG article, LONG discountDirection,
                                        BSTR discountName, LONG discount) override {
        return Call([&] {
            return Engine().FiscalLineEx(TextArg<cut::kFiscalLineExName>(name), qty, price, dividual, tax1, tax2,
                                         article, discountDirection, TextArg<cut::kDiscountName>(discountName),
                                         discount);
        });
    }
    LONG STDMETHODCALLTYPE FreeTextLine(LONG before, LONG journal, LONG doubleStrike,
                                        BSTR text) override {
        return Call([&] {
            return Engine().FreeTextLine(before, journal, doubleStrike, TextArg<cut::kFreeText>(text));
        });
    }
    LONG STDMETHODCALLTYPE ClearFreeTextLines() override {
        return Call([] { return Engine().ClearFreeTextLines(); });
    }
    LONG STDMETHODCALLTYPE CloseCheck() override {
        return Call([] { return Engine().CloseCheck(); });
    }
    LONG STDMETHODCALLTYPE CloseCheckEx(LONG cash, LONG payCheck, LONG credit,
                                        LONG packing) override {
        return Call([&] { return Engine().CloseCheckEx(cash, payCheck, credit, packing); });
    }
    LONG STDMETHODCALLTYPE AbortCheck() override {
        return Call([] { return Engine().AbortCheck(); });
    }
    LONG STDMETHODCALLTYPE CheckCopy() override {
        return Call([] { return Engine().CheckCopy(); });
    }
    LONG STDMETHODCALLTYPE SetOnSaleTaxes(LONG) override { return 0; }
    LONG STDMETHODCALLTYPE MoveCash(LONG direction, LONG sum) override {
        return Call([&] { return Engine().MoveCash(direction, sum); });
    }
    LONG STDMETHODCALLTYPE SetTaxesCalcMode(LONG onTotal) override {
        return Call([&] { return Engine().SetTaxesCalcMode(onTotal); });
    }
    LONG STDMETHODCALLTYPE SetArticleMode(LONG mode) override {
        return Call([&] { return Engine().SetArticleMode(mode); });
    }
    LONG STDMETHODCALLTYPE SetReturnCheckNumberStr(BSTR numbers) override {
        return Call([&] { return Engine().SetReturnCheckNumberStr(TextArg<cut::kReturnNumbers>(numbers)); });
    }
    LONG STDMETHODCALLTYPE SetLinePrintingOn() override {
        return Call([] { return Engine().SetLinePrintingOn(); });
    }
    LONG STDMETHODCALLTYPE SetCheckBottomLineEx(LONG index, LONG journal, LONG mode,
                                                BSTR text) override {
        return Call([&] {
            return Engine().SetCheckBottomLineEx(index, journal, mode, TextArg<cut::kBottomLine>(text));
        });
    }
    LONG STDMETHODCALLTYPE SetDiscountPrintMode(LONG mode) override {
        return Call([&] { return Engine().SetDiscountPrintMode(mode); });
    }
    LONG STDMETHODCALLTYPE SetContinousPaperPrintMode(LONG continous) override {
        return Call([&] { return Engine().SetContinousPaperPrintMode(continous); });
    }
    LONG STDMETHODCALLTYPE OpenGoodsGroup(BSTR name) override {
        return Call([&] { return Engine().OpenGoodsGroup(TextArg<cut::kGoodsGroup>(name)); });
    }
    LONG STDMETHODCALLTYPE CloseGoodsGroup(BSTR discountName, BSTR upcountName) override {
        return Call([&] {
            return Engine().CloseGoodsGroup(TextArg<cut::kTotalsName>(discountName),
                                            TextArg<cut::kTotalsName>(upcountName));
        });
    }
    LONG STDMETHODCALLTYPE SetCurrentCurrency(BSTR name) override {
        return Call([&] { return Engine().SetCurrentCurrency(TextArg<cut::kCurrency>(name)); });
    }
    LONG STDMETHODCALLTYPE Storn() override {
        return Call([] { return Engine().Storn(); });
    }
    LONG STDMETHODCALLTYPE SetDiscountUpcountTotalsName(BSTR discountName,
                                                        BSTR upcountName) override {
        return Call([&] {
            return Engine().SetDiscountUpcountTotalsName(TextArg<cut::kTotalsName>(discountName),
                                                         TextArg<cut::kTotalsName>(upcountName));
        });
    }
    LONG STDMETHODCALLTYPE SetDoubledTaxCalcMode(LONG tax1, LONG tax2) override {
        return Call([&] { return Engine().SetDoubledTaxCalcMode(tax1, tax2); });
    }
    LONG STDMETHODCALLTYPE PrintBarcode(LONG type, LONG below, LONG journal,
                                        BSTR barcode) override {
        return Call([&] {
            return Engine().PrintBarcode(type, below, journal, TextArg<cut::kBarcode>(barcode));
        });
    }

    // ---- Information queries ---------------------------------------------------
    BSTR STDMETHODCALLTYPE GetPrinterSerialNumber() override {
        return Text([] { return Engine().GetPrinterSerialNumber(); });
    }
    BSTR STDMETHODCALLTYPE GetPrinterConfigXML(LONG refresh) override {
        return Text([&] { return Engine().GetPrinterConfigXML(refresh); });
    }
    BSTR STDMETHODCALLTYPE GetPrinterConfig() override {
        return Text([] { return Engine().GetPrinterConfig(); });
    }
    LONG STDMETHODCALLTYPE GetPrinterKeyPosition() override {
        return Call([] { return Engine().GetPrinterKeyPosition(); });
    }
    BSTR STDMETHODCALLTYPE GetArticleInfoXML(LONG article) override {
        return Text([&] { return Engine().GetArticleInfoXML(article); });
    }
    BSTR STDMETHODCALLTYPE GetArticleInfo(LONG article) override {
        return Text([&] { return Engine().GetArticleInfo(article); });
    }
    BSTR STDMETHODCALLTYPE GetPrinterTime() override {
        return Text([] { return Engine().GetPrinterTime(); });
    }
    BSTR STDMETHODCALLTYPE GetCashInfoXML() override {
        return Text([] { return Engine().GetCashInfoXML(); });
    }
    BSTR STDMETHODCALLTYPE GetCashInfo() override {
        return Text([] { return Engine().GetCashInfo(); });
    }
    BSTR STDMETHODCALLTYPE GetFiscalInfoXML() override {
        return Text([] { return Engine().GetFiscalInfoXML(); });
    }
    BSTR STDMETHODCALLTYPE GetFiscalInfo() override {
        return Text([] { return Engine().GetFiscalInfo(); });
    }
    BSTR STDMETHODCALLTYPE GetTaxesInfoXML() override {
        return Text([] { return Engine().GetTaxesInfoXML(); });
    }
    BSTR STDMETHODCALLTYPE GetTaxesInfo() override {
        return Text([] { return Engine().GetTaxesInfo(); });
    }
    BSTR STDMETHODCALLTYPE GetCheckResult() override {
        return Text([] { return Engine().GetCheckResult(); });
    }
    BSTR STDMETHODCALLTYPE GetCheckResultXML() override {
        return Text([] { return Engine().GetCheckResultXML(); });
    }
    BSTR STDMETHODCALLTYPE GetDocumentsInfo() override {
        return Text([] { return Engine().GetDocumentsInfo(); });
    }
    BSTR STDMETHODCALLTYPE GetDocumentsInfoXML() override {
        return Text([] { return Engine().GetDocumentsInfoXML(); });
    }

    // ---- Documents, reports and printer settings ---------------------------------
    LONG STDMETHODCALLTYPE OpenTextDocument() override {
        return Call([] { return Engine().OpenTextDocument(); });
    }
    LONG STDMETHODCALLTYPE CloseTextDocument(LONG journal) override {
        return Call([&] { return Engine().CloseTextDocument(journal); });
    }
    LONG STDMETHODCALLTYPE NullCheck() override {
        return Call([] { return Engine().NullCheck(); });
    }
    LONG STDMETHODCALLTYPE XReport() override {
        return Call([] { return Engine().XReport(); });
    }
    LONG STDMETHODCALLTYPE ZReport() override {
        return Call([] { return Engine().ZReport(); });
    }
    LONG STDMETHODCALLTYPE XReportAsync() override {
        return Call([] { return Engine().XReportAsync(); });
    }
    LONG STDMETHODCALLTYPE ZReportAsync() override {
        return Call([] { return Engine().ZReportAsync(); });
    }
    LONG STDMETHODCALLTYPE ArticleReport() override {
        return Call([] { return Engine().ArticleReport(); });
    }
    LONG STDMETHODCALLTYPE DiscountReport() override {
        return Call([] { return Engine().DiscountReport(); });
    }
    LONG STDMETHODCALLTYPE PeriodicalFiscalReport(LONG first, LONG last) override {
        return Call([&] { return Engine().PeriodicalFiscalReport(first, last); });
    }
    LONG STDMETHODCALLTYPE PeriodicalFiscalReportDate(DATE from, DATE to) override {
        return Call([&] {
            char fromText[kDateTextSize];
            char toText[kDateTextSize];
            DateToEngineText(from, fromText);
            DateToEngineText(to, toText);
            return Engine().PeriodicalFiscalReportDate(fromText, toText);
        });
    }
    LONG STDMETHODCALLTYPE PrintZeroZReport() override {
        return Call([] { return Engine().PrintZeroZReport(); });
    }
    LONG STDMETHODCALLTYPE Feed(LONG lines) override {
        return Call([&] { return Engine().Feed(lines); });
    }
    LONG STDMETHODCALLTYPE SetPrintingDoubleWidth(LONG doubleWidth) override {
        return Call([&] { return Engine().SetPrintingDoubleWidth(doubleWidth); });
    }
    LONG STDMETHODCALLTYPE SetTableMode(LONG mode) override {
        return Call([&] { return Engine().SetTableMode(mode); });
    }
    LONG STDMETHODCALLTYPE PutToDisplay(BSTR line1, BSTR line2) override {
        return Call([&] {
            return Engine().PutToDisplay(TextArg<cut::kDisplayLine>(line1), TextArg<cut::kDisplayLine>(line2));
        });
    }
    LONG STDMETHODCALLTYPE OpenCashBox() override {
        return Call([] { return Engine().OpenCashBox(); });
    }
    LONG STDMETHODCALLTYPE CutAndBeep(LONG cutter, LONG beep, LONG partialCut) override {
        return Call([&] { return Engine().CutAndBeep(cutter, beep, partialCut); });
    }
    LONG STDMETHODCALLTYPE SetInternalTime(LONG hours, LONG minutes, LONG seconds) override {
        return Call([&] { return Engine().SetInternalTime(hours, minutes, seconds); });
    }
    LONG STDMETHODCALLTYPE SetDeptAlias(BSTR alias) override {
        return Call([&] { return Engine().SetDeptAlias(TextArg<cut::kDeptAlias>(alias)); });
    }
    LONG STDMETHODCALLTYPE SetCheckHeadLine(BSTR text) override {
        return Call([&] { return Engine().SetCheckHeadLine(TextArg<cut::kHeadLine>(text)); });
    }
    LONG STDMETHODCALLTYPE SetCheckBottomLine(BSTR text) override {
        return Call([&] { return Engine().SetCheckBottomLine(TextArg<cut::kBottomLine>(text)); });
    }
    LONG STDMETHODCALLTYPE PutToExternalDisplay(BSTR text, LONG clear) override {
        return Call([&] { return Engine().PutToExternalDisplay(TextArg<cut::kExternalDisplay>(text), clear); });
    }

private:
    template <class Body>
    static LONG Call(Body body) {
        return Guarded<LONG>(kNoResult, [&] { return static_cast<LONG>(body()); });
    }
    template <class Body>
    static BSTR Text(Body body) {
        return Guarded<BSTR>(nullptr, [&] { return FromEngineText(body()); });
    }
    // Accessors answer S_OK; a null pointer is not written to and, for the
    // read-once texts, does not consume the engine's value.
    template <class Body>
    static HRESULT GetLong(LONG* value, Body body) {
        if (value == nullptr) return S_OK;
        *value = Guarded<LONG>(0, [&] { return static_cast<LONG>(body()); });
        return S_OK;
    }
    template <class Body>
    static HRESULT GetText(BSTR* value, Body body) {
        if (value == nullptr) return S_OK;
        *value = Text(body);
        return S_OK;
    }
    static HRESULT EmptyText(BSTR* value) {
        if (value != nullptr) *value = EmptyBstr();
        return S_OK;
    }
};

}  // namespace

HRESULT CreateBrenvik(IUnknown* outer, REFIID iid, void** object) {
    return CreateObject<BrenvikObject>(outer, iid, object);
}

}  // namespace brenvik
