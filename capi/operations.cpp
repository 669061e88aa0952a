// The C API's operations: the check, its settings, documents, reports,
// cash, clock and service. Each converts its texts first (nothing is sent
// when one is refused), then runs one engine operation.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#include "brenvik/brenvik.h"
#include "codepage/cp1251.h"
#include "capi/handle.h"
#include "engine/commands/text_limits.h"

using brenvik::PrinterEngine;
using brenvik::TextLimits;
using brenvik::capi::ToEngineText;

namespace {

// A UTF-8 argument with its name and its limit in the printer's table
// (or a fixed limit); `value` receives the 1251 text.
struct TextArg {
    TextArg(const char* n, const char* text, size_t TextLimits::*field) : name(n), utf8(text), limit(field) {}
    TextArg(const char* n, const char* text, size_t fixedLimit) : name(n), utf8(text), fixed(fixedLimit) {}
    const char* name;
    const char* utf8;
    size_t TextLimits::*limit = nullptr;
    size_t fixed = 0;
    std::string value;
};

// The connected printer's limits; the widest while there is none (the
// call is then refused for that anyway).
const TextLimits& LimitsOf(const brenvik_printer& p) {
    return p.Connected() ? brenvik::TextLimitsOf(*p.engine) : brenvik::kWidestTextLimits;
}

// Converts every text, then runs `op` on the connected engine and reports
// its outcome. `exchange` false: the operation talks to nobody, so only a
// refusal of its own counts.
template <class Op>
brenvik_status Run(brenvik_printer* p, std::initializer_list<TextArg*> texts, Op&& op, bool exchange = true) {
    if (p == nullptr) return BRENVIK_E_ARGUMENT;
    std::lock_guard<std::mutex> lock(p->mutex);
    try {
        const TextLimits& limits = LimitsOf(*p);
        for (TextArg* t : texts) {
            const size_t limit = t->limit != nullptr ? limits.*(t->limit) : t->fixed;
            if (!ToEngineText(*p, t->name, t->utf8, limit, t->value)) return p->Status();
        }
        if (!p->Connected()) return p->Fail(BRENVIK_E_STATE, "not connected to a printer");
        const int32_t result = op(*p->engine);
        if (!exchange) {
            return result != 0 ? p->Ok() : p->Fail(BRENVIK_E_UNSUPPORTED, "not supported by the printer");
        }
        return p->FromEngine();
    } catch (const std::bad_alloc&) {
        return p->Fail(BRENVIK_E_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return p->Fail(BRENVIK_E_INTERNAL, std::string("internal failure: ") + e.what());
    } catch (...) {
        return p->Fail(BRENVIK_E_INTERNAL, "internal failure");
    }
}

template <class Op>
brenvik_status Run(brenvik_printer* p, Op&& op) {
    return Run(p, {}, std::forward<Op>(op));
}

// Amounts come as int64_t; the printer's registers hold 32 bits, and a
// value past them is refused rather than wrapped.
brenvik_status AmountsFit(brenvik_printer* p, std::initializer_list<std::pair<const char*, int64_t>> amounts) {
    for (const auto& a : amounts) {
        if (a.second >= INT32_MIN && a.second <= INT32_MAX) continue;
        if (p == nullptr) return BRENVIK_E_ARGUMENT;
        std::lock_guard<std::mutex> lock(p->mutex);
        return p->Fail(BRENVIK_E_ARGUMENT,
                       std::string(a.first) + ": out of range (the printer's registers go up to 2147483647 kopecks)",
                       a.first);
    }
    return BRENVIK_OK;
}

// The name is refused over what the printer's line carries for its kind of
// goods: the line would otherwise print it cut.
brenvik_status Sale(brenvik_printer* p, const char* name, int32_t quantity, int64_t price, int32_t weighed,
                    int32_t tax1, int32_t tax2, int32_t article, int32_t direction, const char* discountName,
                    int64_t amount, int64_t* lineSum) {
    if (lineSum != nullptr) *lineSum = 0;
    if (AmountsFit(p, {{"price", price}, {"amount", amount}}) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    TextArg goods{"name", name, weighed != 0 ? &TextLimits::weighedName : &TextLimits::pieceName};
    TextArg discount{"discount_name", discountName, &TextLimits::discountName};
    return Run(p, {&goods, &discount}, [&](PrinterEngine& e) {
        const int32_t sum = e.FiscalLineEx(goods.value.c_str(), quantity, static_cast<int32_t>(price),
                                           weighed != 0 ? 1 : 0, tax1, tax2, article, direction,
                                           discount.value.c_str(), static_cast<int32_t>(amount));
        if (lineSum != nullptr && e.Succeeded()) *lineSum = sum;
        return sum;
    });
}

}  // namespace

extern "C" {

// ---- The check -------------------------------------------------------------

brenvik_status brenvik_open_check(brenvik_printer* printer, const char* department) {
    TextArg d{"department", department, &TextLimits::department};
    return Run(printer, {&d}, [&](PrinterEngine& e) { return e.OpenCheck(d.value.c_str()); });
}

brenvik_status brenvik_open_return_check(brenvik_printer* printer, const char* department) {
    TextArg d{"department", department, &TextLimits::department};
    return Run(printer, {&d}, [&](PrinterEngine& e) { return e.OpenReturnCheck(d.value.c_str()); });
}

brenvik_status brenvik_set_check_direction(brenvik_printer* printer, int32_t return_check) {
    return Run(printer, {}, [&](PrinterEngine& e) { return e.SetCurrentCheckDirection(return_check); }, false);
}

brenvik_status brenvik_set_return_check_number(brenvik_printer* printer, int32_t number) {
    return Run(printer, [&](PrinterEngine& e) { return e.SetReturnCheckNumber(number); });
}

brenvik_status brenvik_set_return_check_numbers(brenvik_printer* printer, const char* numbers) {
    TextArg n{"numbers", numbers, &TextLimits::returnNumbers};
    return Run(printer, {&n}, [&](PrinterEngine& e) { return e.SetReturnCheckNumberStr(n.value.c_str()); });
}

brenvik_status brenvik_long_name(brenvik_printer* printer, const char* name) {
    TextArg n{"name", name, &TextLimits::longName};
    return Run(printer, {&n}, [&](PrinterEngine& e) { return e.LongName(n.value.c_str()); });
}

brenvik_status brenvik_fiscal_line(brenvik_printer* printer, const char* name, int32_t quantity, int64_t price,
                                   int32_t weighed, int32_t tax1, int32_t tax2, int32_t article,
                                   int64_t* line_sum) {
    return Sale(printer, name, quantity, price, weighed, tax1, tax2, article, 2, "", 0, line_sum);
}

brenvik_status brenvik_fiscal_line_ex(brenvik_printer* printer, const char* name, int32_t quantity, int64_t price,
                                      int32_t weighed, int32_t tax1, int32_t tax2, int32_t article,
                                      int32_t direction, const char* discount_name, int64_t amount,
                                      int64_t* line_sum) {
    return Sale(printer, name, quantity, price, weighed, tax1, tax2, article, direction, discount_name, amount,
                line_sum);
}

brenvik_status brenvik_storno(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.Storn(); });
}

brenvik_status brenvik_free_text_line(brenvik_printer* printer, int32_t before_fiscal_part, int32_t on_journal,
                                      int32_t bold, const char* text) {
    TextArg t{"text", text, &TextLimits::freeText};
    return Run(printer, {&t}, [&](PrinterEngine& e) {
        return e.FreeTextLine(before_fiscal_part, on_journal, bold, t.value.c_str());
    });
}

brenvik_status brenvik_clear_free_text_lines(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.ClearFreeTextLines(); });
}

brenvik_status brenvik_close_check(brenvik_printer* printer, int64_t* check_sum) {
    if (check_sum != nullptr) *check_sum = 0;
    return Run(printer, [&](PrinterEngine& e) {
        const int32_t sum = e.CloseCheck();
        if (check_sum != nullptr && e.Succeeded()) *check_sum = sum;
        return sum;
    });
}

brenvik_status brenvik_close_check_ex(brenvik_printer* printer, int64_t cash, int64_t card, int64_t credit,
                                      int64_t packing, int64_t* check_sum) {
    if (check_sum != nullptr) *check_sum = 0;
    if (AmountsFit(printer, {{"cash", cash}, {"card", card}, {"credit", credit}, {"packing", packing}}) != BRENVIK_OK)
        return BRENVIK_E_ARGUMENT;
    return Run(printer, [&](PrinterEngine& e) {
        const int32_t sum = e.CloseCheckEx(static_cast<int32_t>(cash), static_cast<int32_t>(card),
                                           static_cast<int32_t>(credit), static_cast<int32_t>(packing));
        if (check_sum != nullptr && e.Succeeded()) *check_sum = sum;
        return sum;
    });
}

brenvik_status brenvik_abort_check(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.AbortCheck(); });
}

brenvik_status brenvik_check_copy(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.CheckCopy(); });
}

// ---- Check settings --------------------------------------------------------

brenvik_status brenvik_set_check_messages_mode(brenvik_printer* printer, int32_t mode) {
    return Run(printer, [&](PrinterEngine& e) { return e.SetCheckMessagesMode(mode); });
}
brenvik_status brenvik_set_on_sale_taxes_print_mode(brenvik_printer* printer, int32_t mode) {
    return Run(printer, [&](PrinterEngine& e) { return e.SetOnSaleTaxesPrintMode(mode); });
}
brenvik_status brenvik_set_line_printing_on(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.SetLinePrintingOn(); });
}
brenvik_status brenvik_set_check_bottom_line_ex(brenvik_printer* printer, int32_t line_index, int32_t on_journal,
                                                int32_t print_mode, const char* text) {
    TextArg t{"text", text, &TextLimits::bottomLine};
    return Run(printer, {&t}, [&](PrinterEngine& e) {
        return e.SetCheckBottomLineEx(line_index, on_journal, print_mode, t.value.c_str());
    });
}
brenvik_status brenvik_set_discount_print_mode(brenvik_printer* printer, int32_t mode) {
    return Run(printer, [&](PrinterEngine& e) { return e.SetDiscountPrintMode(mode); });
}
brenvik_status brenvik_set_continuous_paper_mode(brenvik_printer* printer, int32_t continuous) {
    return Run(printer, [&](PrinterEngine& e) { return e.SetContinousPaperPrintMode(continuous); });
}
brenvik_status brenvik_set_currency(brenvik_printer* printer, const char* currency) {
    TextArg c{"currency", currency, &TextLimits::currency};
    return Run(printer, {&c}, [&](PrinterEngine& e) { return e.SetCurrentCurrency(c.value.c_str()); });
}
brenvik_status brenvik_open_goods_group(brenvik_printer* printer, const char* group_name) {
    TextArg g{"group_name", group_name, &TextLimits::goodsGroup};
    return Run(printer, {&g}, [&](PrinterEngine& e) { return e.OpenGoodsGroup(g.value.c_str()); });
}
brenvik_status brenvik_close_goods_group(brenvik_printer* printer, const char* discount_totals_name,
                                         const char* upcount_totals_name) {
    TextArg d{"discount_totals_name", discount_totals_name, &TextLimits::totalsName};
    TextArg u{"upcount_totals_name", upcount_totals_name, &TextLimits::totalsName};
    return Run(printer, {&d, &u},
               [&](PrinterEngine& e) { return e.CloseGoodsGroup(d.value.c_str(), u.value.c_str()); });
}
brenvik_status brenvik_set_totals_names(brenvik_printer* printer, const char* discount_totals_name,
                                        const char* upcount_totals_name) {
    TextArg d{"discount_totals_name", discount_totals_name, &TextLimits::totalsName};
    TextArg u{"upcount_totals_name", upcount_totals_name, &TextLimits::totalsName};
    return Run(printer, {&d, &u}, [&](PrinterEngine& e) {
        return e.SetDiscountUpcountTotalsName(d.value.c_str(), u.value.c_str());
    });
}
brenvik_status brenvik_set_doubled_tax_calc_mode(brenvik_printer* printer, int32_t tax1, int32_t tax2) {
    return Run(printer, [&](PrinterEngine& e) { return e.SetDoubledTaxCalcMode(tax1, tax2); });
}
brenvik_status brenvik_print_barcode(brenvik_printer* printer, int32_t barcode_type, int32_t below_fiscal_part,
                                     int32_t on_journal, const char* barcode) {
    TextArg b{"barcode", barcode, &TextLimits::barcode};
    return Run(printer, {&b}, [&](PrinterEngine& e) {
        return e.PrintBarcode(barcode_type, below_fiscal_part, on_journal, b.value.c_str());
    });
}
brenvik_status brenvik_set_article_mode(brenvik_printer* printer, int32_t mode) {
    return Run(printer, [&](PrinterEngine& e) { return e.SetArticleMode(mode); });
}
brenvik_status brenvik_set_table_mode(brenvik_printer* printer, int32_t on) {
    return Run(printer, [&](PrinterEngine& e) { return e.SetTableMode(on); });
}
brenvik_status brenvik_set_dept_alias(brenvik_printer* printer, const char* alias) {
    TextArg a{"alias", alias, &TextLimits::deptAlias};
    return Run(printer, {&a}, [&](PrinterEngine& e) { return e.SetDeptAlias(a.value.c_str()); });
}
brenvik_status brenvik_set_check_head_line(brenvik_printer* printer, const char* text) {
    TextArg t{"text", text, &TextLimits::headLine};
    return Run(printer, {&t}, [&](PrinterEngine& e) { return e.SetCheckHeadLine(t.value.c_str()); });
}
brenvik_status brenvik_set_check_bottom_line(brenvik_printer* printer, const char* text) {
    TextArg t{"text", text, &TextLimits::bottomLine};
    return Run(printer, {&t}, [&](PrinterEngine& e) { return e.SetCheckBottomLine(t.value.c_str()); });
}

// ---- Documents, reports, cash, clock, service --------------------------------

brenvik_status brenvik_open_text_document(brenvik_printer* printer) {
    return Run(printer, {}, [](PrinterEngine& e) { return e.OpenTextDocument(); }, false);
}
brenvik_status brenvik_close_text_document(brenvik_printer* printer, int32_t on_journal) {
    return Run(printer, [&](PrinterEngine& e) { return e.CloseTextDocument(on_journal); });
}
brenvik_status brenvik_x_report(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.XReport(); });
}
brenvik_status brenvik_z_report(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.ZReport(); });
}
brenvik_status brenvik_zero_z_report(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.PrintZeroZReport(); });
}
brenvik_status brenvik_article_report(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.ArticleReport(); });
}
brenvik_status brenvik_discount_report(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.DiscountReport(); });
}
brenvik_status brenvik_fiscal_report_numbers(brenvik_printer* printer, int32_t first_z, int32_t last_z) {
    if (printer != nullptr && (first_z < 0 || first_z > 9999 || last_z < 0 || last_z > 9999)) {
        std::lock_guard<std::mutex> lock(printer->mutex);
        return printer->Fail(BRENVIK_E_ARGUMENT, "Z-report numbers are 1 to 9999 (both 0: all)", "first_z");
    }
    return Run(printer, [&](PrinterEngine& e) { return e.PeriodicalFiscalReport(first_z, last_z); });
}
brenvik_status brenvik_fiscal_report_dates(brenvik_printer* printer, const brenvik_datetime* from,
                                           const brenvik_datetime* to) {
    char first[16] = {};
    char last[16] = {};
    if (from != nullptr && to != nullptr) {
        const bool valid = from->year >= 1 && from->year <= 9999 && from->month >= 1 && from->month <= 12 &&
                           from->day >= 1 && from->day <= 31 && to->year >= 1 && to->year <= 9999 &&
                           to->month >= 1 && to->month <= 12 && to->day >= 1 && to->day <= 31;
        if (!valid && printer != nullptr) {
            std::lock_guard<std::mutex> lock(printer->mutex);
            return printer->Fail(BRENVIK_E_ARGUMENT, "dates: year 1-9999, month 1-12, day 1-31", "from");
        }
        std::snprintf(first, sizeof first, "%04d%02d%02d", from->year, from->month, from->day);
        std::snprintf(last, sizeof last, "%04d%02d%02d", to->year, to->month, to->day);
    }
    return Run(printer, [&](PrinterEngine& e) { return e.PeriodicalFiscalReportDate(first, last); });
}
brenvik_status brenvik_null_check(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.NullCheck(); });
}
brenvik_status brenvik_move_cash(brenvik_printer* printer, int32_t direction, int64_t amount) {
    if (printer != nullptr && amount < 0) {
        std::lock_guard<std::mutex> lock(printer->mutex);
        return printer->Fail(BRENVIK_E_ARGUMENT, "amount: must not be negative", "amount");
    }
    if (AmountsFit(printer, {{"amount", amount}}) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Run(printer, [&](PrinterEngine& e) { return e.MoveCash(direction, static_cast<int32_t>(amount)); });
}
brenvik_status brenvik_cash_in(brenvik_printer* printer, int64_t amount) {
    return brenvik_move_cash(printer, 1, amount);
}
brenvik_status brenvik_cash_out(brenvik_printer* printer, int64_t amount) {
    return brenvik_move_cash(printer, 0, amount);
}
brenvik_status brenvik_set_time(brenvik_printer* printer, int32_t hours, int32_t minutes, int32_t seconds) {
    if (printer != nullptr &&
        (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59)) {
        std::lock_guard<std::mutex> lock(printer->mutex);
        return printer->Fail(BRENVIK_E_ARGUMENT, "time: hours 0-23, minutes and seconds 0-59", "hours");
    }
    return Run(printer, [&](PrinterEngine& e) { return e.SetInternalTime(hours, minutes, seconds); });
}
brenvik_status brenvik_feed(brenvik_printer* printer, int32_t lines) {
    return Run(printer, [&](PrinterEngine& e) { return e.Feed(lines); });
}
brenvik_status brenvik_open_cash_box(brenvik_printer* printer) {
    return Run(printer, [](PrinterEngine& e) { return e.OpenCashBox(); });
}
brenvik_status brenvik_cut_and_beep(brenvik_printer* printer, int32_t cut, int32_t beep, int32_t partial_cut) {
    return Run(printer, [&](PrinterEngine& e) { return e.CutAndBeep(cut, beep, partial_cut); });
}
brenvik_status brenvik_put_to_display(brenvik_printer* printer, const char* line1, const char* line2) {
    TextArg a{"line1", line1, &TextLimits::displayLine};
    TextArg b{"line2", line2, &TextLimits::displayLine};
    return Run(printer, {&a, &b}, [&](PrinterEngine& e) { return e.PutToDisplay(a.value.c_str(), b.value.c_str()); });
}
brenvik_status brenvik_put_to_external_display(brenvik_printer* printer, const char* text, int32_t clear_before) {
    TextArg t{"text", text, &TextLimits::externalDisplay};
    return Run(printer, {&t}, [&](PrinterEngine& e) { return e.PutToExternalDisplay(t.value.c_str(), clear_before); });
}

brenvik_status brenvik_raw(brenvik_printer* printer, const char* command, char** reply) {
    if (reply != nullptr) *reply = nullptr;
    TextArg c{"command", command, brenvik::kMaxCommandText};
    const brenvik_status status = Run(printer, {&c}, [&](PrinterEngine& e) {
        e.KeepLastReply = 1;
        e.LastReply.clear();
        std::string wire = c.value;  // the printer's own code page on the wire
        PrinterEngine::ToPrinterCodePage(&wire[0]);
        e.WriteLog("F:%s() raw command", wire.substr(0, 4).c_str());
        e.SendCommand(wire.c_str());
        // A raw command may have closed a check or printed a zero one: the
        // last check number is asked anew before it is relied on.
        e.LastCheckNumber[0] = '\0';
        e.KeepLastReply = 0;
        if (reply != nullptr) {
            // One line per block: the text between the start byte (0xFD)
            // and the length byte that precedes the end byte (0xFE).
            std::string text;
            const std::vector<uint8_t>& r = e.LastReply;
            for (size_t i = 0; i < r.size(); ++i) {
                if (r[i] != 0xFD) continue;
                size_t end = i + 1;
                while (end < r.size() && r[end] != 0xFE) ++end;
                const size_t stop = end < r.size() ? end - 1 : end;  // drop the length byte
                if (stop > i + 1) text.append(r.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                              r.begin() + static_cast<std::ptrdiff_t>(stop));
                text += '\n';
                i = end;
            }
            while (!text.empty() && text.back() == '\n') text.pop_back();
            *reply = brenvik::capi::Duplicate(brenvik::text::Cp1251ToUtf8(text));
        }
        return 1;
    });
    return status;
}

}  // extern "C"
