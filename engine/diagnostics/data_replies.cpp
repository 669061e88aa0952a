// The data pass: fixed-width fields out of the printer's data replies.
// A tag counts only where a block begins (right after its 0xFD), so text
// inside an article name or a free-text line is never taken for data, and
// a field is read only when it lies inside its own block: one that does
// not fit is left empty rather than filled with the next block's bytes.
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

// One block of the reply: its text runs from the tag to the length byte,
// which stands just before the end byte 0xFE.
class DataBlock {
public:
    DataBlock(const std::vector<uint8_t>& q, size_t p) : q_(q), p_(p) {
        for (size_t i = p; i < q.size(); ++i) {
            if (q[i] == 0xFE) {
                end_ = i;
                complete_ = true;
                break;
            }
        }
    }

    // A block that has not ended in what was received is no block yet.
    bool Complete() const { return complete_; }
    // The text without the length byte.
    size_t TextLength() const { return end_ > p_ ? end_ - p_ - 1 : 0; }

    // `width` bytes at `offset` into dest, or the empty field when they do
    // not lie inside the block.
    void Take(size_t offset, size_t width, char* dest) const {
        std::memset(dest, 0, width);
        if (!complete_ || offset + width > TextLength()) return;
        std::memcpy(dest, q_.data() + p_ + offset, width);
    }

    void Take(const Field* fields, size_t count) const {
        for (size_t i = 0; i < count; ++i) Take(fields[i].offset, fields[i].width, fields[i].dest);
    }

    // The bytes from the tag up to (not including) the end byte: the text
    // and its length byte; as far as the reply goes when it never ends.
    void Raw(std::string& out) const {
        const size_t stop = complete_ ? end_ : q_.size();
        out.assign(reinterpret_cast<const char*>(q_.data() + p_), stop - p_);
    }

private:
    const std::vector<uint8_t>& q_;
    size_t p_;
    size_t end_ = 0;
    bool complete_ = false;
};

bool TagAt(const std::vector<uint8_t>& q, size_t p, const char* tag) {
    return p > 0 && q[p - 1] == 0xFD && p + 4 <= q.size() && std::memcmp(q.data() + p, tag, 4) == 0;
}

}  // namespace

void PrinterEngine::DataPass() {
    const std::vector<uint8_t>& q = RxQueue;
    for (size_t p = 1; p < q.size() && dataReplySwitch_; ++p) {
        if (q[p - 1] != 0xFD) continue;  // tags begin blocks
        if (p + 4 <= q.size() && std::memcmp(q.data() + p, "CON", 3) == 0 &&
            (q[p + 3] == 'F' || q[p + 3] == 'f')) {
            const DataBlock b(q, p);
            if (b.Complete()) {
                const Field fields[] = {
                    {4, 10, SerialNumber},   {14, 10, FiscalNumber},    {24, 36, Owner},
                    {60, 8, PrinterDate},    {68, 6, PrinterTime},      {74, 1, KeyPosition},
                    {94, 12, CheckNumber},   {110, 4, PrinterVariant},  {114, 8, FirmwareDate},
                    {140, 8, CurrencyDate},  {148, 1, DecPointPosition}, {149, 3, CurrencyName},
                };
                b.Take(fields, sizeof fields / sizeof fields[0]);
                b.Raw(sCONf);
                if (sCONf.size() != 153 && sCONf.size() != 165) CONfReplyBad = 101;
                WriteLog("sCONf=%s", sCONf.c_str());
                blocksSeen_ |= kBlockConf;
            } else {
                WriteLog("E: CONf Catch Ошибка чтения параметров регистратора");
            }
            dataReplySwitch_ = false;  // nothing after a configuration is data
            break;
        }
        if (TagAt(q, p, "CNAL")) {
            const DataBlock b(q, p);
            if (b.Complete()) {
                for (size_t k = 0; k < 8; ++k) b.Take(4 + 14 * k, 14, TaxRateTable[k]);
                b.Raw(TaxReplyText);
                if (TaxReplyText.size() != 117) CNALReplyBad = 100;
            } else {
                WriteLog("E: CNAL Catch Ошибка чтения налоговых ставок");
            }
            continue;
        }
        const DataBlock b(q, p);
        if (!b.Complete()) continue;
        if (TagAt(q, p, "COMP")) {
            b.Take(4, 90, CheckResultText);
            if (CheckResultText[0] != '\0') {
                // The number of the check just closed: what an uncertain
                // closing is measured against next time.
                b.Take(4, 10, LastCheckNumber);
                blocksSeen_ |= kBlockComp;
            }
        } else if (TagAt(q, p, "GETD")) {
            b.Take(4, 8, PrinterDate);
            b.Take(12, 6, PrinterTime);
        } else if (TagAt(q, p, "ARTD")) {
            std::memset(ArticleInfoText, 0, sizeof ArticleInfoText);
            b.Take(4, LongArticles ? 66 : 57, ArticleInfoText);
        } else if (TagAt(q, p, "GLCN") && T3PlusFirmware) {
            const Field fields[] = {
                {4, 10, LastCheckNumber}, {14, 10, LastDocNumber},   {24, 10, LastServDocNumber},
                {34, 1, ArticleMode},     {36, 1, FiscalReportMade}, {37, 4, LastZReportNumber},
                {4, 37, DocumentNumbersText},
            };
            b.Take(fields, sizeof fields / sizeof fields[0]);
            if (DocumentNumbersText[0] != '\0') blocksSeen_ |= kBlockGlcn;
            WriteLog("Номер последнего фискального чека=%s", LastCheckNumber);
            WriteLog("Номер последнего Z-отчета=%s", LastZReportNumber);
        } else if (TagAt(q, p, "CCAS")) {
            b.Take(4, 88, CashInfoText);
            if (CashInfoText[0] != '\0') blocksSeen_ |= kBlockCcas;
        } else if (TagAt(q, p, "CFIS")) {
            b.Take(4, 240, FiscalInfoText);
            if (FiscalInfoText[0] != '\0') blocksSeen_ |= kBlockCfis;
        } else if (TagAt(q, p, "FISC")) {
            b.Take(4, 10, LastLineTaxes);
            int32_t& taxes = CheckDirection == 1 ? CheckReturnOnSaleTaxes : CheckOnSaleTaxes;
            taxes = WrapAdd(taxes, LeadingInteger(LastLineTaxes));
        }
    }
}

}  // namespace brenvik
