// The data pass: fixed-width fields out of the printer's data replies.
// Every field is read only as far as the received bytes go.
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/printer_engine.h"

namespace brenvik {

namespace {

struct Field {
    size_t offset;
    size_t width;
    char* dest;  // width + 1 bytes
};

class Reply {
public:
    explicit Reply(const std::vector<uint8_t>& q) : q_(q) {}

    bool At(size_t p, const char* tag) const {
        size_t n = std::strlen(tag);
        return p + n <= q_.size() && std::memcmp(q_.data() + p, tag, n) == 0;
    }

    // Copies `width` bytes from p+offset into dest; a reply that ends early
    // fills the field as far as it goes and leaves the rest empty.
    void Take(size_t p, size_t offset, size_t width, char* dest) const {
        std::memset(dest, 0, width);
        size_t from = p + offset;
        if (from >= q_.size()) return;
        size_t n = q_.size() - from < width ? q_.size() - from : width;
        std::memcpy(dest, q_.data() + from, n);
    }

    void Take(size_t p, const Field* fields, size_t count) const {
        for (size_t i = 0; i < count; ++i) Take(p, fields[i].offset, fields[i].width, fields[i].dest);
    }

    // Bytes from p up to (not including) the next 0xFE; false when the
    // reply ends before one.
    bool UpToEnd(size_t p, std::string& out) const {
        out.clear();
        for (size_t i = p; i < q_.size(); ++i) {
            if (q_[i] == 0xFE) return true;
            out += static_cast<char>(q_[i]);
        }
        return false;
    }

private:
    const std::vector<uint8_t>& q_;
};

}  // namespace

void PrinterEngine::DataPass() {
    const Reply r(RxQueue);
    for (size_t p = 0; p < RxQueue.size() && dataReplySwitch_; ++p) {
        if (r.At(p, "CON") && (r.At(p + 3, "F") || r.At(p + 3, "f"))) {
            const Field fields[] = {
                {4, 10, SerialNumber},   {14, 10, FiscalNumber},  {24, 36, Owner},
                {60, 8, PrinterDate},    {68, 6, PrinterTime},    {74, 1, KeyPosition},
                {94, 12, CheckNumber},   {110, 4, PrinterVariant}, {114, 8, FirmwareDate},
                {140, 8, CurrencyDate},  {148, 1, DecPointPosition}, {149, 3, CurrencyName},
            };
            r.Take(p, fields, sizeof fields / sizeof fields[0]);
            if (r.UpToEnd(p, sCONf)) {
                if (sCONf.size() != 153 && sCONf.size() != 165) CONfReplyBad = 101;
                WriteLog("sCONf=%s", sCONf.c_str());
            } else {
                WriteLog("E: CONf Catch Ошибка чтения параметров регистратора");
            }
            dataReplySwitch_ = false;  // nothing after a configuration is data
            break;
        }
        if (r.At(p, "CNAL")) {
            for (size_t k = 0; k < 8; ++k) r.Take(p, 4 + 14 * k, 14, TaxRateTable[k]);
            if (r.UpToEnd(p, TaxReplyText)) {
                if (TaxReplyText.size() != 117) CNALReplyBad = 100;
            } else {
                WriteLog("E: CNAL Catch Ошибка чтения налоговых ставок");
            }
        }
        if (r.At(p, "COMP")) r.Take(p, 4, 90, CheckResultText);
        if (r.At(p, "GETD")) {
            r.Take(p, 4, 8, PrinterDate);
            r.Take(p, 12, 6, PrinterTime);
        }
        if (r.At(p, "ARTD")) {
            std::memset(ArticleInfoText, 0, sizeof ArticleInfoText);
            r.Take(p, 4, LongArticles ? 66 : 57, ArticleInfoText);
        }
        if (r.At(p, "GLCN") && T3PlusFirmware) {
            const Field fields[] = {
                {4, 10, LastCheckNumber}, {14, 10, LastDocNumber},   {24, 10, LastServDocNumber},
                {34, 1, ArticleMode},     {36, 1, FiscalReportMade}, {37, 4, LastZReportNumber},
                {4, 37, DocumentNumbersText},
            };
            r.Take(p, fields, sizeof fields / sizeof fields[0]);
            WriteLog("Номер последнего фискального чека=%s", LastCheckNumber);
            WriteLog("Номер последнего Z-отчета=%s", LastZReportNumber);
        }
        if (r.At(p, "CCAS")) r.Take(p, 4, 88, CashInfoText);
        if (r.At(p, "CFIS")) r.Take(p, 4, 240, FiscalInfoText);
        if (r.At(p, "FISC")) {
            r.Take(p, 4, 10, LastLineTaxes);
            int32_t& taxes = CheckDirection == 1 ? CheckReturnOnSaleTaxes : CheckOnSaleTaxes;
            taxes = WrapAdd(taxes, LeadingInteger(LastLineTaxes));
        }
    }
}

}  // namespace brenvik
