// Single-command operations: one printer command each, built from the
// arguments, converted to the printer's code page where it carries user
// text, and judged by ErrorNumber alone.
#include <cstring>
#include <string>

#include "engine/commands/command_text.h"
#include "engine/commands/text_limits.h"
#include "engine/printer_engine.h"

namespace brenvik {

using commands::CommandText;
using commands::Text;

namespace {

bool IsVariantTTs(const char* variant) { return std::strcmp(variant, "vTTs") == 0; }

// Tax 1 to 8 is the Cyrillic capital А to З (0xC0 to 0xC7); an index
// outside 2 to 8 names the first tax.
char DoubledTaxLetter(int32_t index) {
    return static_cast<char>(index >= 2 && index <= 8 ? 0xC0 + (index - 1) : 0xC0);
}

}  // namespace

int32_t PrinterEngine::SimpleCommand(const char* logLine, const char* text) {
    if (Connected) {
        WriteLog("%s", logLine);
        SendCommand(text);
    }
    return BoolResult();
}

uint32_t PrinterEngine::ReadArticle(int32_t article) {
    if (!Connected) return ErrorNumber;
    WriteLog("F:ARTD(%i) Запрос регистра учета реализации артикула.", article);
    CommandText text;
    if (LongArticles) {
        // "%09i" of a negative or ten-digit article is no article number.
        if (article < 0 || article > 999999999) return RaiseError(kErrFieldOverflow);
        text.Add("ARTD%09i", article);
    } else {
        char code[5] = {};
        if (!EncodeShortArticle(article, code)) return RaiseError(kErrFieldOverflow);
        text.Add("ARTD%s", code);
    }
    SendCommand(text.Data());
    return ErrorNumber;
}

const char* PrinterEngine::GetArticleInfo(int32_t article) {
    WriteLog("F:GetArticleInfo(%i)", article);
    ReadArticle(article);
    if (!Succeeded()) return kEmptyText;
    WriteLog("F:GetArticleInfo()=%s", ArticleInfoText);
    return ArticleInfoText;
}

const char* PrinterEngine::GetTaxesInfo() {
    ReadTaxRates();
    if (!Succeeded()) return kEmptyText;
    // Without the tag in front and the block's length byte at the end.
    if (TaxReplyText.size() < 5) return ToResult("");
    return ToResult(TaxReplyText.substr(4, TaxReplyText.size() - 5).c_str());
}

int32_t PrinterEngine::SetCheckMessagesMode(int32_t mode) {
    if (!Connected) return BoolResult();
    WriteLog("F:TMOD(%i) Определение набора служебных сообщений на чеке", mode);
    CommandText text;
    text.Add("TMOD%i", mode >= 0 && mode <= 3 ? mode : 0);
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::LongName(const char* name) {
    if (!Connected) return BoolResult();
    WriteLog("F:FINF(%s) Печать нефискального текста", Text(name));
    CommandText text;
    text.Add("FINF");
    text.AddCut(name, IsVariantTTs(PrinterVariant) ? text_layout::kNarrowLongNameText : text_layout::kLongNameText);
    ToPrinterCodePage(text.Data());
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::FreeTextLine(int32_t placeBeforeFiscalPart, int32_t printOnJornal,
                                    int32_t doubleStrike, const char* message) {
    if (!Connected) return BoolResult();
    // The printer's flag means "after the fiscal part", hence the inversion.
    const int after = placeBeforeFiscalPart != 1 ? 1 : 0;
    const int journal = printOnJornal != 0 ? 1 : 0;
    const int bold = doubleStrike != 0 ? 1 : 0;
    WriteLog("F:TEXT(%i, %i, %i, %s) Печать фискального текста", after, journal, bold, Text(message));
    CommandText text;
    text.Add("TEXT%i%i%i", after, journal, bold);
    text.AddCut(message, IsVariantTTs(PrinterVariant) ? text_layout::kNarrowPrintedLine : text_layout::kPrintedLine);
    ToPrinterCodePage(text.Data());
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::ClearFreeTextLines() {
    return SimpleCommand("F:CTXT() Очистка текстовых массивов", "CTXT");
}

int32_t PrinterEngine::SetOnSaleTaxesPrintMode(int32_t mode) {
    if (!Connected) return BoolResult();
    CommandText text;
    if (mode > 0) {
        text.Add("PPOD%i", mode);
    } else {
        text.Add("PPOD");
    }
    WriteLog("F:PPOD(%i) Определение режима печати информации о наложенных налогах.", mode);
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::SetLinePrintingOn() {
    return SimpleCommand("F:STFL() Установка режима «построчной» печати чека", "STFL");
}

int32_t PrinterEngine::SetCheckBottomLineEx(int32_t lineIndex, int32_t printOnJornal,
                                            int32_t printMode, const char* lineText) {
    if (!Connected) return BoolResult();
    const char* line = Text(lineText);
    if (lineIndex == -1) {
        // Clears the extra bottom lines; this form logs after sending.
        SendCommand("BOTm");
        WriteLog("F:BOTm() Программирование нескольких необязательных заключительных строк на "
                 "чеке.");
        return BoolResult();
    }
    CommandText text;
    if (line[0] != '\0') {
        WriteLog("F:BOTm(%i, %i, %i, %s) Программирование нескольких необязательных заключительных "
                 "строк на чеке.",
                 lineIndex, printOnJornal, printMode, line);
        text.Add("BOTm%i%i%i%s", lineIndex, printOnJornal, printMode, line);
        ToPrinterCodePage(text.Data());
    } else {
        WriteLog("F:BOTm(%i) Программирование нескольких необязательных заключительных строк на "
                 "чеке.",
                 lineIndex);
        text.Add("BOTm%i", lineIndex);
    }
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::SetDiscountPrintMode(int32_t printMode) {
    if (!Connected) return BoolResult();
    WriteLog("F:NPDI() Управление печатью информации о скидках-надбавках в чеке.");
    SendCommand(printMode == 1 ? "NPDI1" : "NPDI0");
    return BoolResult();
}

int32_t PrinterEngine::SetContinousPaperPrintMode(int32_t continousPaper) {
    if (!Connected) return BoolResult();
    WriteLog("F:NCDC() Управление печатью документов на непрерывной ленте.");
    SendCommand(continousPaper == 1 ? "NCDC1" : "NCDC0");
    return BoolResult();
}

int32_t PrinterEngine::SetCurrentCurrency(const char* currencyName) {
    if (!Connected) return BoolResult();
    WriteLog("F:SENC() Установка наименования национальной денежной единицы");
    CommandText text;
    text.Add("SENC%s", Text(currencyName));
    ToPrinterCodePage(text.Data());
    SendCommand(text.Data());
    return BoolResult();
}

// GRBG, GREN and ZDNM go out in code page 1251 as the caller gave them.
int32_t PrinterEngine::OpenGoodsGroup(const char* groupName) {
    if (!Connected) return BoolResult();
    WriteLog("F:GRBG(%s) Открытие новой группы фискальных позиций в пределах чека.", Text(groupName));
    CommandText text;
    text.Add("GRBG%s", Text(groupName));
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::CloseGoodsGroup(const char* discountTotalsName, const char* upcountTotalsName) {
    if (!Connected) return BoolResult();
    WriteLog("F:GRBG(%s,%s) Закрытие группы фискальных позиций в пределах чека. ",
             Text(discountTotalsName), Text(upcountTotalsName));
    CommandText text;
    text.Add("GREN%s%s", Text(discountTotalsName), Text(upcountTotalsName));
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::SetDiscountUpcountTotalsName(const char* discountTotalsName,
                                                    const char* upcountTotalsName) {
    if (!Connected) return BoolResult();
    WriteLog("F:ZDNM(%s,%s) Установка наименования итогов по скидкам-надбавкам в чеке.",
             Text(discountTotalsName), Text(upcountTotalsName));
    CommandText text;
    text.Add("ZDNM%s%s", Text(discountTotalsName), Text(upcountTotalsName));
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::SetDoubledTaxCalcMode(int32_t tax1Index, int32_t tax2Index) {
    if (!Connected) return BoolResult();
    WriteLog("F:NLPR(%i, %i) Управление двумя налогами", tax1Index, tax2Index);
    CommandText text;
    text.Add("NLPR%c%c", DoubledTaxLetter(tax1Index), DoubledTaxLetter(tax2Index));
    ToPrinterCodePage(text.Data());
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::PrintBarcode(int32_t barcodeType, int32_t placeBelowFiscalPart,
                                    int32_t printOnJornal, const char* barcode) {
    if (!Connected) return BoolResult();
    WriteLog("F:PCOD(%i,%i,%i,%s) Штрихкодовые символы «Код128» в чеке ", barcodeType,
             placeBelowFiscalPart, printOnJornal, Text(barcode));
    CommandText text;
    text.Add("PCOD%i%i%i%s", barcodeType, placeBelowFiscalPart, printOnJornal, Text(barcode));
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::SetArticleMode(int32_t articleMode) {
    if (!Connected) return BoolResult();
    WriteLog("F:ARMO(%i) Установка режима работы артикульной таблицы", articleMode);
    SendCommand(articleMode == 1 ? "ARMO1" : articleMode == 2 ? "ARMO2" : "ARMO0");
    return BoolResult();
}

int32_t PrinterEngine::SetTableMode(int32_t tableMode) {
    // The one command sent without looking at Connected: with the link down
    // it fails the way SendCommand fails on a closed port.
    const int on = tableMode != 0 ? 1 : 0;
    WriteLog("F:TABL(%i) Управление видом представления фискальной информации на чеке", on);
    SendCommand(on ? "TABLB" : "TABL");
    return BoolResult();
}

int32_t PrinterEngine::SetDeptAlias(const char* alias) {
    if (!Connected) return BoolResult();
    WriteLog("F:DEPT(%s) Программирование мнемоники торгового отдела", Text(alias));
    CommandText text;
    text.Add("DEPT%s", Text(alias));
    ToPrinterCodePage(text.Data());
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::SetCheckHeadLine(const char* headLine) {
    if (!Connected) return BoolResult();
    WriteLog("F:HEAD(%s) Программирование заголовочной информационной строки на чеке", Text(headLine));
    CommandText text;
    text.Add("HEAD%s", Text(headLine));
    ToPrinterCodePage(text.Data());
    SendCommand(text.Data());
    return BoolResult();
}

int32_t PrinterEngine::SetCheckBottomLine(const char* bottomLine) {
    if (!Connected) return BoolResult();
    WriteLog("F:BOTM(%s) Программирование необязательной заключительной строки на чеке",
             Text(bottomLine));
    CommandText text;
    text.Add("BOTM%s", Text(bottomLine));
    ToPrinterCodePage(text.Data());
    SendCommand(text.Data());
    return BoolResult();
}

// Accepted for compatibility: the printer computes on-sale taxes itself.
int32_t PrinterEngine::SetTaxesCalcMode(int32_t) { return 1; }

// The printer has no double-width mode for this call.
int32_t PrinterEngine::SetPrintingDoubleWidth(int32_t) { return 0; }

}  // namespace brenvik
