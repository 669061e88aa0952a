// What the printer prints: receipt layout helpers and the register reports.
#include <cstdio>

#include "sim/printer_impl.h"
#include "sim/text.h"

namespace m301sim {

namespace {
const char* const kTaxLetters[8] = {"А", "Б", "В", "Г", "Д", "Е", "Ж", "З"};

std::string RateText(int rate) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%02d%%", rate / 100, rate % 100);
    return buf;
}
}  // namespace

std::string Printer::Impl::TwoColumns(const std::string& left, const std::string& right) const {
    const size_t used = Utf8Length(left) + Utf8Length(right);
    const size_t gap = used + 1 > Width() ? 1 : Width() - used;
    return left + std::string(gap, ' ') + right;
}

std::string Printer::Impl::Centered(const std::string& s) const {
    const size_t len = Utf8Length(s);
    return len >= Width() ? s : std::string((Width() - len) / 2, ' ') + s;
}

std::vector<std::string> Printer::Impl::Wrap(const std::string& s) const {
    std::vector<std::string> lines;
    std::string rest = s;
    while (Utf8Length(rest) > Width()) {
        const std::string headPart = Utf8Head(rest, Width());
        lines.push_back(headPart);
        rest = rest.substr(headPart.size());
    }
    lines.push_back(rest);
    return lines;
}

std::string Printer::Impl::LineLetters(int taxMask) const {
    std::string letters;
    for (int k = 0; k < 8; ++k)
        if (taxMask & (1 << k)) letters += kTaxLetters[k];
    return letters;
}

std::vector<std::string> Printer::Impl::Header() const {
    std::vector<std::string> lines;
    lines.push_back(Centered(config.owner));
    if (!head.empty()) lines.push_back(Centered(head));
    lines.push_back(TwoColumns("ЗН " + config.serialNumber, "ФН " + config.fiscalNumber));
    lines.push_back("ПН " + config.taxNumber);
    if (!config.fiscalized) lines.push_back(Centered("НЕФІСКАЛЬНИЙ РЕЖИМ"));
    return lines;
}

void Printer::Impl::PrintDocument(const std::vector<std::string>& lines, Outcome& out) {
    std::string doc;
    for (const std::string& l : lines) doc += l + "\n";
    doc += Rule('=') + "\n\n";
    out.printed += static_cast<int>(lines.size()) + 1;
    if (journal) journal(doc);
}

std::vector<std::string> Printer::Impl::RegistersReport(const char* title) const {
    std::vector<std::string> r = Header();
    r.push_back(Centered(title));
    r.push_back(Rule());
    auto side = [&](const char* name, const int64_t* turnover, const int64_t* taxes, int64_t total,
                    int64_t checks) {
        r.push_back(name);
        for (int k = 0; k < 8; ++k) {
            if (!turnover[k] && !taxes[k]) continue;
            const TaxRate& t = config.taxes[k];
            r.push_back(TwoColumns(std::string("  Оборот ") + kTaxLetters[k], Money(turnover[k])));
            r.push_back(TwoColumns(std::string("  ") + (t.kind == '1' ? "Збір " : "ПДВ ") + kTaxLetters[k] + " " +
                                       RateText(t.rate),
                                   Money(taxes[k])));
        }
        if (turnover[8]) r.push_back(TwoColumns("  Без податку", Money(turnover[8])));
        r.push_back(TwoColumns("  Разом", Money(total)));
        r.push_back(TwoColumns("  Чеків", std::to_string(checks)));
    };
    side("ПРОДАЖ", day.saleTurnover, day.saleTax, day.sales, day.saleChecks);
    side("ПОВЕРНЕННЯ", day.returnTurnover, day.returnTax, day.returns, day.returnChecks);
    r.push_back(TwoColumns("Знижки", Money(day.discounts)));
    r.push_back(TwoColumns("Надбавки", Money(day.surcharges)));
    r.push_back("ГОТІВКА");
    r.push_back(TwoColumns("  На початок зміни", Money(day.startCash)));
    r.push_back(TwoColumns("  Службове внесення", Money(day.cashIn)));
    r.push_back(TwoColumns("  Службова видача", Money(day.cashOut)));
    r.push_back(TwoColumns("  Отримано за продаж", Money(day.cashSales)));
    r.push_back(TwoColumns("  Видано за повернення", Money(day.cashReturns)));
    r.push_back(TwoColumns("  В касі", Money(Drawer())));
    r.push_back(Rule());
    if (cashierRegistered) r.push_back("Касир: " + cashier);
    r.push_back(TwoColumns("ДОК № " + std::to_string(lastDoc), Stamp()));
    return r;
}

}  // namespace m301sim
