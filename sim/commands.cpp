// The printer's commands: what each one checks, changes, prints and answers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/printer_impl.h"
#include "sim/text.h"

namespace m301sim {
namespace {

bool Digits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int64_t Value(const std::string& digits) { return std::strtoll(digits.c_str(), nullptr, 10); }

// A number in a fixed-width field, zero-padded (sign first when negative).
std::string Num(int64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(v));
    std::string s = buf;
    if (s.size() > static_cast<size_t>(width)) s = std::string(static_cast<size_t>(width), '9');
    return s;
}

// A text in a fixed-width field of bytes: cut or padded with blanks.
std::string Field(const std::string& s, size_t width) {
    std::string f = s.substr(0, width);
    f.resize(width, ' ');
    return f;
}

std::string TrimLeft(const std::string& s) {
    const size_t p = s.find_first_not_of(' ');
    return p == std::string::npos ? std::string() : s.substr(p);
}

std::string Trim(const std::string& s) {
    std::string t = TrimLeft(s);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

// Half-up rounding of a*b/c for non-negative a.
int64_t RoundDiv(int64_t a, int64_t b, int64_t c) { return (2 * a * b + c) / (2 * c); }

std::string TaxRecord(const TaxRate& t) {
    if (!t.programmed) return "00000000000000";
    return Field(t.date, 8) + "0" + std::string(1, t.kind) + Num(t.rate, 4);
}

std::string QtyText(const Line& l) {
    if (l.piece) return std::to_string(l.qty == 0 ? 1 : l.qty);
    const int64_t q = l.qty == 0 ? 1000 : l.qty;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(q / 1000), static_cast<long long>(q % 1000));
    return buf;
}

}  // namespace

const std::vector<Printer::Impl::CommandInfo>& Printer::Impl::Commands() {
    using K = KeyClass;
    using I = Impl;
    //  name     handler        key            cashier prints fiscal
    static const std::vector<CommandInfo> table = {
        {"CONf", &I::CmdCONf, K::Query, false, false, false},
        {"GLCN", &I::CmdGLCN, K::Query, false, false, false},
        {"CNAL", &I::CmdCNAL, K::Query, false, false, false},
        {"CCAS", &I::CmdCCAS, K::Query, false, false, false},
        {"CFIS", &I::CmdCFIS, K::Query, false, false, false},
        {"GETD", &I::CmdGETD, K::Query, false, false, false},
        {"ARTD", &I::CmdARTD, K::Query, false, false, false},
        {"UPAS", &I::CmdUPAS, K::Any, false, false, true},
        {"PREP", &I::CmdPREP, K::Work, true, true, true},
        {"CANC", &I::CmdCANC, K::Work, false, false, false},
        {"BCHN", &I::CmdBCHN, K::Work, true, false, false},
        {"FISC", &I::CmdFISC, K::Work, true, true, true},
        {"BFIS", &I::CmdBFIS, K::Work, true, true, true},
        {"FICD", &I::CmdFICD, K::Work, true, true, true},
        {"BFCD", &I::CmdBFCD, K::Work, true, true, true},
        {"STRN", &I::CmdSTRN, K::Work, true, true, true},
        {"COMP", &I::CmdCOMP, K::Work, true, true, true},
        {"KASS", &I::CmdKASS, K::Any, false, false, false},
        {"COPY", &I::CmdCOPY, K::Work, true, true, true},
        {"NULL", &I::CmdNULL, K::Work, true, true, true},
        {"CAIO", &I::CmdCAIO, K::Work, true, true, true},
        {"TEXT", &I::CmdTEXT, K::Work, false, false, false},
        {"FINF", &I::CmdFINF, K::Work, false, true, false},
        {"CTXT", &I::CmdCTXT, K::Work, false, false, false},
        {"DBEG", &I::CmdDBEG, K::Work, false, true, false},
        {"PRTX", &I::CmdPRTX, K::Work, false, true, false},
        {"GRBG", &I::CmdGRBG, K::Work, true, true, false},
        {"GREN", &I::CmdGREN, K::Work, true, true, false},
        {"PCOD", &I::CmdPCOD, K::Work, false, true, false},
        {"ZREP", &I::CmdZREP, K::XReport, true, true, true},
        {"NREP", &I::CmdNREP, K::ZReport, true, true, true},
        {"nrep", &I::Cmdnrep, K::ZReport, true, true, true},
        {"FIRN", &I::CmdFIRN, K::ZReport, false, true, true},
        {"FIRP", &I::CmdFIRP, K::ZReport, false, true, true},
        {"ARTZ", &I::CmdARTZ, K::ZReport, false, true, false},
        {"DIZV", &I::CmdDIZV, K::ZReport, false, true, false},
        {"DISp", &I::CmdDISp, K::Any, false, false, false},
        {"DIsp", &I::CmdDIsp, K::Any, false, false, false},
        {"CUTR", &I::CmdCUTR, K::Any, false, false, false},
        {"FEED", &I::CmdFEED, K::Any, false, true, false},
        {"CTIM", &I::CmdCTIM, K::Programming, false, false, false},
        {"ARMO", &I::CmdARMO, K::Programming, false, false, false},
        {"SENC", &I::CmdSENC, K::Programming, false, false, false},
        {"HEAD", &I::CmdHEAD, K::Programming, false, false, false},
        {"BOTM", &I::CmdBOTM, K::Programming, false, false, false},
        {"BOTm", &I::CmdBOTm, K::Programming, false, false, false},
        {"DEPT", &I::CmdDEPT, K::Programming, false, false, false},
        {"TMOD", &I::CmdTMOD, K::Programming, false, false, false},
        {"PPOD", &I::CmdPPOD, K::Programming, false, false, false},
        {"STFL", &I::CmdSTFL, K::Programming, false, false, false},
        {"NPDI", &I::CmdNPDI, K::Programming, false, false, false},
        {"NCDC", &I::CmdNCDC, K::Programming, false, false, false},
        {"ZDNM", &I::CmdZDNM, K::Programming, false, false, false},
        {"NLPR", &I::CmdNLPR, K::Programming, false, false, false},
        {"TABL", &I::CmdTABL, K::Programming, false, false, false},
    };
    return table;
}

// ---- helpers --------------------------------------------------------------

int64_t Printer::Impl::Drawer() const {
    return day.startCash + day.cashIn - day.cashOut + day.cashSales - day.cashReturns;
}

bool Printer::Impl::ShiftExpired() const {
    return shiftOpen && static_cast<int64_t>(Now()) - shiftOpenedAt > kShiftSeconds;
}

void Printer::Impl::OpenShift() {
    if (shiftOpen) return;
    shiftOpen = true;
    shiftOpenedAt = static_cast<int64_t>(Now());
}

void Printer::Impl::ComputeTaxes(Line& line) const {
    for (int k = 0; k < 8; ++k) {
        if (!(line.taxMask & (1 << k))) continue;
        const TaxRate& t = config.taxes[k];
        if (t.kind == '0') {
            line.tax[k] = RoundDiv(line.amount, t.rate, 10000 + t.rate);
            line.included += line.tax[k];
        } else if (t.kind == '1') {
            line.tax[k] = RoundDiv(line.amount, t.rate, 10000);
            line.onsale += line.tax[k];
        } else {
            line.tax[k] = RoundDiv(line.amount, t.rate, 10000);
            line.saleIncluded += line.tax[k];
        }
    }
}

void Printer::Impl::ResetCheck() { check = OpenCheck(); }

// ---- queries --------------------------------------------------------------

void Printer::Impl::CmdCONf(const std::string&, Outcome& out) {
    std::string t = "CONf";
    t += Field(config.serialNumber, 10);
    t += Field(config.fiscalNumber, 10);
    t += Field(NoControls(ToPrinterText(config.owner)), 36);
    t += DateText() + TimeText();
    t += static_cast<char>('0' + (config.keyPosition % 10));
    // The stretches the engine leaves unread carry our own status.
    t += config.fiscalized ? '1' : '0';
    t += check.open ? '1' : '0';
    t += Num(zNumber, 4);
    t += shiftOpen ? '1' : '0';
    t += Field(config.taxNumber, 12);
    t += Num(lastCheck, 12);
    t += "0001";
    t += Field(config.variant, 4);
    t += Field(config.firmwareDate, 8);
    t += std::string(18, '0');
    t += "20000101";
    t += '2';
    t += Field(NoControls(ToPrinterText(config.currencyName)), 3);
    t.resize(static_cast<size_t>(config.confLength - 1), '0');
    out.data.push_back(t);
}

void Printer::Impl::CmdGLCN(const std::string&, Outcome& out) {
    out.data.push_back("GLCN" + Num(lastCheck, 10) + Num(lastDoc, 10) + Num(lastServDoc, 10) +
                       static_cast<char>('0' + config.articleMode) + "0" + (shiftOpen ? "0" : "1") +
                       Num(zNumber, 4));
}

void Printer::Impl::CmdCNAL(const std::string& arg, Outcome& out) {
    if (!arg.empty()) return out.Fail("SOFTPARAM");
    std::string t = "CNAL";
    for (const TaxRate& r : config.taxes) t += TaxRecord(r);
    out.data.push_back(t);
}

void Printer::Impl::CmdCCAS(const std::string&, Outcome& out) {
    const int64_t v[8] = {day.startCash, day.cashIn,  day.cashOut,     day.cashSales,
                          day.cashReturns, Drawer(), day.checkIncome, day.checkOutcome};
    std::string t = "CCAS";
    for (int64_t x : v) t += Num(x, 11);
    out.data.push_back(t);
}

void Printer::Impl::CmdCFIS(const std::string&, Outcome& out) {
    std::string t = "CFIS" + Num(day.sales, 12);
    for (int k = 0; k < 9; ++k) t += Num(day.saleTurnover[k], 12);
    t += Num(day.returns, 12);
    for (int k = 0; k < 9; ++k) t += Num(day.returnTurnover[k], 12);
    out.data.push_back(t);
}

void Printer::Impl::CmdGETD(const std::string&, Outcome& out) { out.data.push_back("GETD" + DateText() + TimeText()); }

namespace {
// "C345" -> 12345; -1 when the code is malformed.
int64_t DecodeShortArticle(const std::string& code) {
    if (code.size() != 4 || !Digits(code.substr(1))) return -1;
    int64_t thousands;
    if (code[0] >= '0' && code[0] <= '9')
        thousands = code[0] - '0';
    else if (code[0] >= 'A' && code[0] <= 'K')
        thousands = 10 + (code[0] - 'A');
    else
        return -1;
    return thousands * 1000 + Value(code.substr(1));
}

std::string EncodeShortArticle(int64_t article) {
    const int64_t th = article / 1000;
    const char first = th < 10 ? static_cast<char>('0' + th) : static_cast<char>('A' + (th - 10));
    return std::string(1, first) + Num(article % 1000, 3);
}
}  // namespace

void Printer::Impl::CmdARTD(const std::string& arg, Outcome& out) {
    int64_t article = -1;
    if (arg.size() == 9 && Digits(arg)) {
        if (config.articleMode != 2) return out.Fail("SOFTARTMODE");
        article = Value(arg);
    } else {
        article = DecodeShortArticle(arg);
    }
    if (article < 0) return out.Fail("SOFTPARAM");
    const auto it = articles.find(article);
    if (it == articles.end()) return out.Fail("SOFTBADART");
    const Article& a = it->second;
    std::string t = "ARTD";
    t += config.articleMode == 2 ? Num(a.slot, 4) : EncodeShortArticle(article);
    t += Field(ToPrinterText(a.name), 24);
    t += a.piece ? '0' : '1';
    for (int k = 0; k < 8; ++k) t += (a.taxMask & (1 << k)) ? '1' : '0';
    t += Num(a.soldQty, 10) + Num(a.saleSum, 10);
    if (config.articleMode == 2) t += Num(article, 9);
    out.data.push_back(t);
}

// ---- cashier and check ----------------------------------------------------

void Printer::Impl::CmdUPAS(const std::string& arg, Outcome& out) {
    std::string name;
    if (!config.password.empty()) {
        if (arg.compare(0, config.password.size(), config.password) != 0) return out.Fail("SOFTUPAS");
        name = arg.substr(config.password.size());
    } else {
        size_t p = 0;
        while (p < arg.size() && arg[p] >= '0' && arg[p] <= '9') ++p;
        name = arg.substr(p);
    }
    cashier = FromPrinterText(Trim(name));
    cashierRegistered = true;
}

void Printer::Impl::CmdPREP(const std::string& arg, Outcome& out) {
    if (check.open) return out.Fail("SOFTPROTOC");
    if (ShiftExpired()) return out.Fail("SOFT24HOUR");
    OpenShift();
    ResetCheck();
    check.open = true;
    check.department = FromPrinterText(Trim(arg));
    out.printed += static_cast<int>(Header().size()) + 2;
}

void Printer::Impl::CmdCANC(const std::string&, Outcome& out) {
    if (!check.open) return;
    std::vector<std::string> doc = Header();
    doc.push_back(Rule());
    doc.insert(doc.end(), check.body.begin(), check.body.end());
    doc.push_back(Rule());
    doc.push_back(Centered("ЧЕК АНУЛЬОВАНО"));
    ++lastDoc;
    doc.push_back(TwoColumns("ДОК № " + std::to_string(lastDoc), Stamp()));
    PrintDocument(doc, out);
    ResetCheck();
}

void Printer::Impl::CmdBCHN(const std::string& arg, Outcome& out) {
    if (!check.open) return out.Fail("SOFTPROTOC");
    check.returnRef = FromPrinterText(Trim(arg));
}

void Printer::Impl::CmdFISC(const std::string& a, Outcome& o) { SaleLine(a, false, false, o); }
void Printer::Impl::CmdBFIS(const std::string& a, Outcome& o) { SaleLine(a, true, false, o); }
void Printer::Impl::CmdFICD(const std::string& a, Outcome& o) { SaleLine(a, false, true, o); }
void Printer::Impl::CmdBFCD(const std::string& a, Outcome& o) { SaleLine(a, true, true, o); }

void Printer::Impl::SaleLine(const std::string& arg, bool isReturn, bool longFormat, Outcome& out) {
    if (!check.open) return out.Fail("SOFTPROTOC");
    if (ShiftExpired()) return out.Fail("SOFT24HOUR");
    if (longFormat && config.articleMode != 2) return out.Fail("SOFTARTMODE");
    if (check.lines.size() >= kMaxCheckLines) return out.Fail("SOFTOVART");

    // Positions count from the command name, as the engine lays them out.
    const std::string t = "FISC" + arg;
    const size_t nameWidth = longFormat ? 24 : 12;
    const size_t fixedEnd = longFormat ? 88 : 116;
    if (t.size() < fixedEnd) return out.Fail("SOFTPARAM");
    size_t pos = 4;
    auto take = [&](size_t n) {
        const std::string f = t.substr(pos, n);
        pos += n;
        return f;
    };
    const std::string nameHead = take(nameWidth);
    const std::string sumS = take(9), priceS = take(9), qtyS = take(longFormat ? 6 : 5);
    const char pieceC = t[pos++];
    const char typeC = t[pos++];
    Line line;
    line.isReturn = isReturn;
    if (longFormat) {
        for (int s = 0; s < 2; ++s) {
            const auto c = static_cast<unsigned char>(t[pos++]);
            if (c == '0') continue;
            const int k = c - 0x80;
            if (k < 0 || k > 7) return out.Fail("SOFTPARAM");
            if (!config.taxes[k].programmed) return out.Fail("SOFTCHECK");
            line.taxMask |= 1 << k;
        }
        const std::string art = take(9);
        if (!Digits(art)) return out.Fail("SOFTPARAM");
        line.article = Value(art);
    } else {
        for (int k = 0; k < 8; ++k) {
            const std::string slot = take(6);
            if (slot == "000000") continue;
            if (static_cast<unsigned char>(slot[0]) != 0x80 + k) return out.Fail("SOFTPARAM");
            // The narrow printer has no eighth slot: it is always zeros.
            if (k == 7 && config.variant == "vTTs") return out.Fail("SOFTPARAM");
            const TaxRate& r = config.taxes[k];
            if (!r.programmed || slot.substr(1) != TaxRecord(r).substr(9)) return out.Fail("SOFTCHECK");
            line.taxMask |= 1 << k;
        }
        line.article = DecodeShortArticle(take(4));
        if (line.article < 0) return out.Fail("SOFTPARAM");
    }
    const char sign = t[pos++];
    const std::string discName = take(13), discS = take(9);
    const std::string continuation = t.substr(pos);
    if (!Digits(sumS) || !Digits(priceS) || !Digits(qtyS) || !Digits(discS) || (pieceC != '0' && pieceC != '1') ||
        typeC < '0' || typeC > '2' || (sign != '-' && sign != '+' && sign != '0'))
        return out.Fail("SOFTPARAM");

    line.sum = Value(sumS);
    line.price = Value(priceS);
    line.qty = Value(qtyS);
    line.piece = pieceC == '1';
    line.discount = sign == '-' ? -Value(discS) : sign == '+' ? Value(discS) : 0;
    line.discountName = FromPrinterText(Trim(discName));
    // A name that fits its head is right-aligned in it; a longer one fills
    // the head and goes on in a continuation of the layout's length: up to
    // 104 characters (long), 43 or 36 on vTTs (short piece goods), exactly
    // 30 or 23 and a full stop (short weighed goods).
    const bool narrow = config.variant == "vTTs";
    std::string nameBytes = TrimLeft(nameHead);
    if (continuation.empty()) {
        if (nameHead.back() == ' ' && !nameBytes.empty()) return out.Fail("SOFTPARAM");
    } else if (longFormat || line.piece) {
        const size_t most = longFormat ? 104 : narrow ? 36 : 43;
        if (continuation.size() > most) return out.Fail("SOFTPARAM");
        nameBytes = nameHead + continuation;
    } else {
        const size_t width = narrow ? 23 : 30;
        if (continuation.size() != width + 1 || continuation.back() != '.') return out.Fail("SOFTPARAM");
        nameBytes = nameHead + continuation.substr(0, width);
    }
    while (!nameBytes.empty() && nameBytes.back() == ' ') nameBytes.pop_back();
    line.name = FromPrinterText(nameBytes);

    // The printer checks the sum against price and quantity itself.
    int64_t expected;
    if (line.piece) {
        expected = (line.qty == 0 ? 1 : line.qty) * line.price;
    } else {
        expected = RoundDiv(line.qty == 0 ? 1000 : line.qty, line.price, 1000);
    }
    if (line.sum != expected && !(!line.piece && std::llabs(line.sum - expected) <= 1)) return out.Fail("SOFTCHECK");
    if (line.discount < 0 && -line.discount > line.sum) return out.Fail("SOFTBADDISC");
    line.amount = line.sum + line.discount;

    if (line.article != 0 && config.articleMode != 0) {
        const std::string aname = Utf8Head(line.name, 24);
        const auto it = articles.find(line.article);
        if (it != articles.end()) {
            const Article& a = it->second;
            if (a.name != aname || a.piece != line.piece || a.taxMask != line.taxMask) return out.Fail("SOFTDIFART");
        } else {
            if (articles.size() >= kMaxArticles) return out.Fail("SOFTOVER");
            Article a;
            a.name = aname;
            a.piece = line.piece;
            a.taxMask = line.taxMask;
            a.slot = static_cast<int64_t>(articles.size()) + 1;
            articles[line.article] = a;
        }
    }

    ComputeTaxes(line);
    CheckSide& side = isReturn ? check.ret : check.sale;
    side.amount += line.amount;
    side.onsale += line.onsale;
    side.included += line.included;
    side.saleIncluded += line.saleIncluded;
    check.lines.push_back(line);
    check.lastLineValid = true;

    const size_t before = check.body.size();
    if (isReturn) check.body.push_back("ПОВЕРНЕННЯ");
    for (const std::string& l : Wrap(line.name)) check.body.push_back(l);
    check.body.push_back(TwoColumns("  " + QtyText(line) + " x " + Money(line.price),
                                    Money(line.sum) + " " + (line.taxMask ? LineLetters(line.taxMask) : "-")));
    if (line.discount != 0) {
        const std::string label = !line.discountName.empty() ? line.discountName
                                  : line.discount < 0        ? "Знижка"
                                                             : "Надбавка";
        check.body.push_back(TwoColumns("  " + label, Money(line.discount)));
    }
    if (line.onsale) check.body.push_back(TwoColumns("  Збір", Money(line.onsale)));
    out.printed += static_cast<int>(check.body.size() - before);
    // Every line, short or long, sale or return, is answered with its
    // on-sale taxes under the FISC tag, the one the engine reads.
    out.data.push_back("FISC" + Num(line.onsale, 10));
}

void Printer::Impl::CmdSTRN(const std::string&, Outcome& out) {
    if (!check.open || !check.lastLineValid || check.lines.empty()) return out.Fail("SOFTPROTOC");
    const Line line = check.lines.back();
    check.lines.pop_back();
    CheckSide& side = line.isReturn ? check.ret : check.sale;
    side.amount -= line.amount;
    side.onsale -= line.onsale;
    side.included -= line.included;
    side.saleIncluded -= line.saleIncluded;
    check.lastLineValid = false;
    check.body.push_back(TwoColumns("СТОРНО " + Utf8Head(line.name, Width() - 20), Money(-line.amount)));
    out.printed += 1;
}

void Printer::Impl::CmdCOMP(const std::string& arg, Outcome& out) {
    if (!check.open || check.lines.empty()) return out.Fail("SOFTPROTOC");
    if (ShiftExpired()) return out.Fail("SOFT24HOUR");
    if (arg.size() != 60 || !Digits(arg)) return out.Fail("SOFTPARAM");
    int64_t a[6];
    for (int i = 0; i < 6; ++i) a[i] = Value(arg.substr(static_cast<size_t>(i) * 10, 10));
    const CheckSide& s = check.sale;
    const CheckSide& r = check.ret;
    // The first two amounts are the check's own registers to the kopeck,
    // both without their on-sale taxes or both with them: anything else
    // means the application lost track of the check.
    const bool bare = a[0] == s.amount && a[1] == r.amount;
    const bool taxed = a[0] == s.amount + s.onsale && a[1] == r.amount + r.onsale;
    if (!bare && !taxed) return out.Fail("SOFTCHECK");
    const int64_t due = (s.amount + s.onsale) - (r.amount + r.onsale);
    const int64_t nonCash = a[2] + a[3] + a[4];
    const int64_t paid = nonCash + a[5];
    int64_t change = 0;
    if (due >= 0) {
        if (paid < due || nonCash > due) return out.Fail("SOFTCHECK");
        change = paid - due;
    } else if (paid != -due) {
        return out.Fail("SOFTCHECK");
    }

    ++lastCheck;
    ++lastDoc;
    for (const Line& l : check.lines) {
        int64_t* turnover = l.isReturn ? day.returnTurnover : day.saleTurnover;
        int64_t* taxes = l.isReturn ? day.returnTax : day.saleTax;
        if (l.taxMask == 0) turnover[8] += l.amount;
        for (int k = 0; k < 8; ++k) {
            if (!(l.taxMask & (1 << k))) continue;
            turnover[k] += l.amount;
            taxes[k] += l.tax[k];
        }
        if (!l.isReturn) {
            if (l.discount < 0) day.discounts += -l.discount;
            if (l.discount > 0) day.surcharges += l.discount;
        }
        if (l.article != 0 && config.articleMode != 0) {
            auto it = articles.find(l.article);
            if (it != articles.end()) {
                it->second.soldQty += l.isReturn ? -l.qty : l.qty;
                it->second.saleSum += l.isReturn ? -l.amount : l.amount;
            }
        }
    }
    day.sales += s.amount + s.onsale;
    day.returns += r.amount + r.onsale;
    if (due >= 0) {
        for (int i = 0; i < 3; ++i) day.payments[i] += a[2 + i];
        day.payments[3] += a[5] - change;
        day.cashSales += a[5] - change;
        day.checkIncome += due;
        ++day.saleChecks;
    } else {
        day.cashReturns += a[5];
        day.checkOutcome += -due;
        ++day.returnChecks;
    }

    std::vector<std::string> doc = Header();
    const std::string dept = !deptAlias.empty() ? deptAlias : check.department;
    if (!dept.empty()) doc.push_back("Відділ: " + dept);
    doc.push_back("Касир: " + cashier);
    if (!check.returnRef.empty()) doc.push_back("Повернення по чеку № " + check.returnRef);
    doc.insert(doc.end(), check.textBefore.begin(), check.textBefore.end());
    doc.push_back(Rule());
    const size_t bodyStart = doc.size();
    doc.insert(doc.end(), check.body.begin(), check.body.end());
    doc.push_back(Rule());
    if (s.amount || s.onsale || !r.amount) doc.push_back(TwoColumns("СУМА", Money(s.amount + s.onsale)));
    if (r.amount || r.onsale) doc.push_back(TwoColumns("ПОВЕРНЕННЯ", Money(r.amount + r.onsale)));
    for (int k = 0; k < 8; ++k) {
        int64_t tax = 0;
        bool used = false;
        for (const Line& l : check.lines) {
            if (!(l.taxMask & (1 << k))) continue;
            used = true;
            tax += l.isReturn ? -l.tax[k] : l.tax[k];
        }
        if (!used) continue;
        const TaxRate& tr = config.taxes[k];
        char rate[16];
        std::snprintf(rate, sizeof rate, "%d.%02d%%", tr.rate / 100, tr.rate % 100);
        doc.push_back(TwoColumns(std::string(tr.kind == '1' ? "Збір " : "ПДВ ") + LineLetters(1 << k) + " " + rate,
                                 Money(tax)));
    }
    doc.push_back(TwoColumns(due >= 0 ? "ДО СПЛАТИ" : "ДО ВИДАЧІ", Money(due >= 0 ? due : -due)));
    const char* payNames[4] = {"ТАРА", "ЧЕК", "КРЕДИТ", "ГОТІВКА"};
    for (int i = 0; i < 4; ++i)
        if (a[2 + i]) doc.push_back(TwoColumns(payNames[i], Money(a[2 + i])));
    if (change) doc.push_back(TwoColumns("РЕШТА", Money(change)));
    doc.insert(doc.end(), check.textAfter.begin(), check.textAfter.end());
    doc.push_back(Rule());
    doc.push_back(TwoColumns("ЧЕК № " + std::to_string(lastCheck), Stamp()));
    doc.push_back(Centered(config.fiscalized ? "ФІСКАЛЬНИЙ ЧЕК" : "НЕФІСКАЛЬНИЙ ЧЕК"));
    if (!bottom.empty()) doc.push_back(Centered(bottom));
    for (const BottomLine& b : bottomLines)
        if (!b.text.empty()) doc.push_back(Centered(b.text));
    PrintDocument(doc, out);
    out.printed -= static_cast<int>(bodyStart + check.body.size());  // printed while the check was open
    lastCheckPaper = doc;

    out.data.push_back("COMP" + Num(lastCheck, 10) + Num(s.amount + s.onsale, 10) + Num(s.onsale, 10) +
                       Num(s.included, 10) + Num(s.saleIncluded, 10) + Num(r.amount + r.onsale, 10) +
                       Num(r.onsale, 10) + Num(r.included, 10) + Num(r.saleIncluded, 10));
    ResetCheck();
}

void Printer::Impl::CmdKASS(const std::string&, Outcome&) { ++drawerOpenings; }

void Printer::Impl::CmdCOPY(const std::string&, Outcome& out) {
    if (check.open || lastCheckPaper.empty()) return out.Fail("SOFTPROTOC");
    if (lastCheckPaper.size() > kMaxCopyLines) return out.Fail("SOFTCOPY");
    std::vector<std::string> doc{Centered("КОПІЯ")};
    doc.insert(doc.end(), lastCheckPaper.begin(), lastCheckPaper.end());
    doc.push_back(Centered("КОПІЯ"));
    PrintDocument(doc, out);
}

void Printer::Impl::CmdNULL(const std::string&, Outcome& out) {
    if (check.open) return out.Fail("SOFTPROTOC");
    if (ShiftExpired()) return out.Fail("SOFT24HOUR");
    OpenShift();
    ++lastCheck;
    ++lastDoc;
    ++day.saleChecks;
    std::vector<std::string> doc = Header();
    doc.push_back("Касир: " + cashier);
    doc.push_back(Rule());
    doc.push_back(Centered("НУЛЬОВИЙ ЧЕК"));
    doc.push_back(TwoColumns("СУМА", Money(0)));
    doc.push_back(Rule());
    doc.push_back(TwoColumns("ЧЕК № " + std::to_string(lastCheck), Stamp()));
    doc.push_back(Centered(config.fiscalized ? "ФІСКАЛЬНИЙ ЧЕК" : "НЕФІСКАЛЬНИЙ ЧЕК"));
    PrintDocument(doc, out);
}

void Printer::Impl::CmdCAIO(const std::string& arg, Outcome& out) {
    if (arg.size() != 11 || (arg[0] != 'I' && arg[0] != 'O') || !Digits(arg.substr(1))) return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    if (ShiftExpired()) return out.Fail("SOFT24HOUR");
    const int64_t amount = Value(arg.substr(1));
    const bool in = arg[0] == 'I';
    if (!in && amount > Drawer()) return out.Fail("SOFTNEED");
    OpenShift();
    (in ? day.cashIn : day.cashOut) += amount;
    ++lastServDoc;
    ++lastDoc;
    std::vector<std::string> doc = Header();
    doc.push_back("Касир: " + cashier);
    doc.push_back(Rule());
    doc.push_back(TwoColumns(in ? "СЛУЖБОВЕ ВНЕСЕННЯ" : "СЛУЖБОВА ВИДАЧА", Money(amount)));
    doc.push_back(TwoColumns("ГОТІВКА В КАСІ", Money(Drawer())));
    doc.push_back(Rule());
    doc.push_back(TwoColumns("СЛ.ДОК № " + std::to_string(lastServDoc), Stamp()));
    PrintDocument(doc, out);
}

// ---- texts and non-fiscal documents --------------------------------------

void Printer::Impl::CmdTEXT(const std::string& arg, Outcome& out) {
    if (arg.size() < 3 || arg.find_first_not_of("01") < 3) return out.Fail("SOFTPARAM");
    const std::string text = arg.substr(3);
    if (text.size() > Width()) return out.Fail("SOFTPARAM");
    const std::string line = FromPrinterText(text);
    if (check.open) {
        (arg[0] == '0' ? check.textBefore : check.textAfter).push_back(line);
        return;
    }
    if (storedText.size() >= kMaxStoredText) return out.Fail("SOFTOVER");
    storedText.push_back(line);
}

void Printer::Impl::CmdFINF(const std::string& arg, Outcome& out) {
    if (arg.size() > (config.variant == "vTTs" ? 72u : 86u)) return out.Fail("SOFTPARAM");
    const std::vector<std::string> lines = Wrap(FromPrinterText(arg));
    if (check.open) {
        check.body.insert(check.body.end(), lines.begin(), lines.end());
        out.printed += static_cast<int>(lines.size());
        return;
    }
    if (storedText.size() + lines.size() > kMaxStoredText) return out.Fail("SOFTOVER");
    storedText.insert(storedText.end(), lines.begin(), lines.end());
}

void Printer::Impl::CmdCTXT(const std::string&, Outcome&) {
    storedText.clear();
    check.textBefore.clear();
    check.textAfter.clear();
}

void Printer::Impl::CmdDBEG(const std::string& arg, Outcome& out) {
    if (arg != "0" && arg != "1") return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    textDocOpen = true;
}

void Printer::Impl::CmdPRTX(const std::string&, Outcome& out) {
    if (!textDocOpen) return out.Fail("SOFTPROTOC");
    ++lastServDoc;
    ++lastDoc;
    std::vector<std::string> doc = Header();
    doc.push_back(Centered("СЛУЖБОВИЙ ДОКУМЕНТ"));
    doc.push_back(Rule());
    doc.insert(doc.end(), storedText.begin(), storedText.end());
    doc.push_back(Rule());
    doc.push_back(TwoColumns("СЛ.ДОК № " + std::to_string(lastServDoc), Stamp()));
    PrintDocument(doc, out);
    storedText.clear();
    textDocOpen = false;
}

void Printer::Impl::CmdGRBG(const std::string& arg, Outcome& out) {
    if (!check.open) return out.Fail("SOFTPROTOC");
    ++check.groupDepth;
    check.body.push_back("== " + FromPrinterText(arg) + " ==");
    out.printed += 1;
}

void Printer::Impl::CmdGREN(const std::string& arg, Outcome& out) {
    if (!check.open || check.groupDepth == 0) return out.Fail("SOFTPROTOC");
    --check.groupDepth;
    check.body.push_back("== " + FromPrinterText(arg) + " ==");
    out.printed += 1;
}

void Printer::Impl::CmdPCOD(const std::string& arg, Outcome& out) {
    if (arg.size() < 4 || !Digits(arg.substr(0, 3))) return out.Fail("SOFTPARAM");
    if (!check.open) return out.Fail("SOFTPROTOC");
    check.body.push_back(Centered("||| " + FromPrinterText(arg.substr(3)) + " |||"));
    out.printed += 1;
}

// ---- reports --------------------------------------------------------------

void Printer::Impl::CmdZREP(const std::string& arg, Outcome& out) {
    if (arg != "1") return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    ++lastServDoc;
    ++lastDoc;
    PrintDocument(RegistersReport("X-ЗВІТ"), out);
}

void Printer::Impl::CmdNREP(const std::string& arg, Outcome& out) {
    if (!arg.empty()) return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    if (fiscalMemory.size() >= kFiscalMemoryRecords) return out.Fail("SOFTFMFULL");
    ++zNumber;
    ++lastDoc;
    ZRecord z;
    z.number = zNumber;
    z.date = DateText();
    z.time = TimeText();
    z.sales = day.sales;
    z.returns = day.returns;
    z.saleChecks = day.saleChecks;
    z.returnChecks = day.returnChecks;
    std::copy(std::begin(day.saleTurnover), std::end(day.saleTurnover), z.saleTurnover);
    std::copy(std::begin(day.returnTurnover), std::end(day.returnTurnover), z.returnTurnover);
    std::copy(std::begin(day.saleTax), std::end(day.saleTax), z.saleTax);
    std::copy(std::begin(day.returnTax), std::end(day.returnTax), z.returnTax);
    fiscalMemory.push_back(z);
    PrintDocument(RegistersReport(("Z-ЗВІТ № " + Num(zNumber, 4)).c_str()), out);
    const int64_t cash = Drawer();
    day = DayRegisters();
    day.startCash = cash;
    shiftOpen = false;
    for (auto& a : articles) a.second.soldQty = a.second.saleSum = 0;
}

void Printer::Impl::Cmdnrep(const std::string& arg, Outcome& out) {
    if (!arg.empty()) return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    if (shiftOpen) return out.Fail("SOFTNREP");
    OpenShift();
    ++lastDoc;
    std::vector<std::string> doc = Header();
    doc.push_back(Centered("НУЛЬОВИЙ ЗВІТ"));
    doc.push_back(Centered("ВІДКРИТТЯ ЗМІНИ"));
    doc.push_back(Rule());
    if (cashierRegistered) doc.push_back("Касир: " + cashier);
    doc.push_back(TwoColumns("ДОК № " + std::to_string(lastDoc), Stamp()));
    PrintDocument(doc, out);
}

void Printer::Impl::PeriodicalReport(const std::string& title, const std::vector<const ZRecord*>& records,
                                     Outcome& out) {
    ++lastServDoc;
    ++lastDoc;
    std::vector<std::string> doc = Header();
    doc.push_back(Centered("ПЕРІОДИЧНИЙ ЗВІТ"));
    doc.push_back(Centered(title));
    doc.push_back(Rule());
    ZRecord sum;
    for (const ZRecord* z : records) {
        const std::string d = z->date.substr(6, 2) + "." + z->date.substr(4, 2) + "." + z->date.substr(0, 4);
        doc.push_back(TwoColumns("Z № " + Num(z->number, 4), d));
        doc.push_back(TwoColumns("  Продаж", Money(z->sales)));
        doc.push_back(TwoColumns("  Повернення", Money(z->returns)));
        sum.sales += z->sales;
        sum.returns += z->returns;
        for (int k = 0; k < 8; ++k) {
            sum.saleTax[k] += z->saleTax[k];
            sum.returnTax[k] += z->returnTax[k];
        }
    }
    if (records.empty()) doc.push_back(Centered("Записів не знайдено"));
    doc.push_back(Rule());
    doc.push_back(TwoColumns("Z-звітів", std::to_string(records.size())));
    doc.push_back(TwoColumns("Разом продаж", Money(sum.sales)));
    doc.push_back(TwoColumns("Разом повернень", Money(sum.returns)));
    for (int k = 0; k < 8; ++k)
        if (sum.saleTax[k] || sum.returnTax[k])
            doc.push_back(TwoColumns("  Податок " + LineLetters(1 << k), Money(sum.saleTax[k] - sum.returnTax[k])));
    doc.push_back(TwoColumns("СЛ.ДОК № " + std::to_string(lastServDoc), Stamp()));
    PrintDocument(doc, out);
}

void Printer::Impl::CmdFIRN(const std::string& arg, Outcome& out) {
    int64_t first = 1, last = INT64_MAX;
    if (!arg.empty()) {
        if (arg.size() != 8 || !Digits(arg)) return out.Fail("SOFTPARAM");
        first = Value(arg.substr(0, 4));
        last = Value(arg.substr(4));
        if (first == 0 || last < first) return out.Fail("SOFTPARAM");
    }
    if (check.open) return out.Fail("SOFTPROTOC");
    std::vector<const ZRecord*> picked;
    for (const ZRecord& z : fiscalMemory)
        if (z.number >= first && z.number <= last) picked.push_back(&z);
    PeriodicalReport(arg.empty() ? "ПОВНИЙ, ЗА НОМЕРАМИ"
                                 : "Z № " + arg.substr(0, 4) + " - " + arg.substr(4),
                     picked, out);
}

void Printer::Impl::CmdFIRP(const std::string& arg, Outcome& out) {
    std::string from = "00000000", to = "99999999";
    if (!arg.empty()) {
        if (arg.size() != 16 || !Digits(arg)) return out.Fail("SOFTPARAM");
        from = arg.substr(0, 8);
        to = arg.substr(8);
        for (const std::string* d : {&from, &to}) {
            const int64_t m = Value(d->substr(4, 2)), dd = Value(d->substr(6, 2));
            if (m < 1 || m > 12 || dd < 1 || dd > 31) return out.Fail("SOFTPARAM");
        }
        if (to < from) return out.Fail("SOFTPARAM");
    }
    if (check.open) return out.Fail("SOFTPROTOC");
    std::vector<const ZRecord*> picked;
    for (const ZRecord& z : fiscalMemory)
        if (z.date >= from && z.date <= to) picked.push_back(&z);
    PeriodicalReport(arg.empty() ? "ПОВНИЙ, ЗА ДАТАМИ" : "З " + from + " ПО " + to, picked, out);
}

void Printer::Impl::CmdARTZ(const std::string&, Outcome& out) {
    if (check.open) return out.Fail("SOFTPROTOC");
    ++lastServDoc;
    ++lastDoc;
    std::vector<std::string> doc = Header();
    doc.push_back(Centered("ЗВІТ ПО ТОВАРАХ"));
    doc.push_back(Rule());
    for (const auto& [code, a] : articles) {
        if (!a.soldQty && !a.saleSum) continue;
        doc.push_back(std::to_string(code) + " " + a.name);
        Line l;
        l.piece = a.piece;
        l.qty = a.soldQty;
        doc.push_back(TwoColumns("  " + QtyText(l), Money(a.saleSum)));
    }
    doc.push_back(Rule());
    doc.push_back(TwoColumns("СЛ.ДОК № " + std::to_string(lastServDoc), Stamp()));
    PrintDocument(doc, out);
}

void Printer::Impl::CmdDIZV(const std::string&, Outcome& out) {
    if (check.open) return out.Fail("SOFTPROTOC");
    ++lastServDoc;
    ++lastDoc;
    std::vector<std::string> doc = Header();
    doc.push_back(Centered("ЗВІТ ПО ЗНИЖКАХ"));
    doc.push_back(Rule());
    doc.push_back(TwoColumns("Знижки", Money(day.discounts)));
    doc.push_back(TwoColumns("Надбавки", Money(day.surcharges)));
    doc.push_back(Rule());
    doc.push_back(TwoColumns("СЛ.ДОК № " + std::to_string(lastServDoc), Stamp()));
    PrintDocument(doc, out);
}

// ---- devices ---------------------------------------------------------------

void Printer::Impl::CmdDISp(const std::string& arg, Outcome& out) {
    if (arg.empty()) {
        display.clear();
        return;
    }
    if (arg.size() != 12 || arg.compare(0, 2, "13") != 0) return out.Fail("SOFTPARAM");
    const std::string amount = Trim(arg.substr(2));
    if (!Digits(amount)) return out.Fail("SOFTPARAM");
    display = Money(Value(amount));
}

void Printer::Impl::CmdDIsp(const std::string& arg, Outcome&) { externalDisplay = FromPrinterText(arg); }

void Printer::Impl::CmdCUTR(const std::string& arg, Outcome& out) {
    if (arg.size() != 3 || arg.find_first_not_of("01") != std::string::npos) return out.Fail("SOFTPARAM");
    if (arg[0] == '1' && journal) journal(std::string(arg[2] == '1' ? "- - - - (відрізано частково) - - - -\n\n"
                                                                    : "- - - - - - (відрізано) - - - - - -\n\n"));
}

void Printer::Impl::CmdFEED(const std::string& arg, Outcome& out) {
    if (!Digits(arg) || arg.size() > 3 || Value(arg) > 255) return out.Fail("SOFTPARAM");
    const int64_t n = Value(arg);
    out.printed += static_cast<int>(n);
    if (journal && n > 0) journal(std::string(static_cast<size_t>(n), '\n'));
}

// ---- settings --------------------------------------------------------------

void Printer::Impl::CmdCTIM(const std::string& arg, Outcome& out) {
    if (arg.size() != 6 || !Digits(arg)) return out.Fail("SOFTPARAM");
    const int64_t h = Value(arg.substr(0, 2)), m = Value(arg.substr(2, 2)), s = Value(arg.substr(4, 2));
    if (h > 23 || m > 59 || s > 59) return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    const std::time_t now = Now();
    std::tm tm{};
    localtime_r(&now, &tm);
    clockOffset += (h * 3600 + m * 60 + s) - (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
}

void Printer::Impl::CmdARMO(const std::string& arg, Outcome& out) {
    if (arg.size() != 1 || arg[0] < '0' || arg[0] > '2') return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    if (shiftOpen) return out.Fail("SOFTNREP");
    const int mode = arg[0] - '0';
    if (mode != config.articleMode) articles.clear();
    config.articleMode = mode;
}

void Printer::Impl::CmdSENC(const std::string& arg, Outcome& out) {
    if (arg.empty() || arg.size() > 3) return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    if (shiftOpen) return out.Fail("SOFTNREP");
    config.currencyName = FromPrinterText(arg);
}

void Printer::Impl::CmdHEAD(const std::string& arg, Outcome& out) {
    if (arg.size() > Width()) return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    head = FromPrinterText(Trim(arg));
}

void Printer::Impl::CmdBOTM(const std::string& arg, Outcome& out) {
    if (arg.size() > Width()) return out.Fail("SOFTPARAM");
    if (check.open) return out.Fail("SOFTPROTOC");
    bottom = FromPrinterText(Trim(arg));
}

void Printer::Impl::CmdBOTm(const std::string& arg, Outcome& out) {
    if (arg.empty()) {
        for (BottomLine& b : bottomLines) b = BottomLine();
        return;
    }
    if (arg[0] < '0' || arg[0] > '9') return out.Fail("SOFTPARAM");
    BottomLine& b = bottomLines[arg[0] - '0'];
    if (arg.size() == 1) {
        b = BottomLine();
        return;
    }
    if (arg.size() < 3 || (arg[1] != '0' && arg[1] != '1') || arg[2] < '0' || arg[2] > '9' ||
        arg.size() - 3 > Width())
        return out.Fail("SOFTPARAM");
    b.journal = arg[1] == '1';
    b.mode = arg[2] - '0';
    b.text = FromPrinterText(arg.substr(3));
}

void Printer::Impl::CmdDEPT(const std::string& arg, Outcome&) { deptAlias = FromPrinterText(Trim(arg)); }

void Printer::Impl::CmdTMOD(const std::string& arg, Outcome& out) {
    if (arg.size() != 1 || arg[0] < '0' || arg[0] > '3') return out.Fail("SOFTPARAM");
    tmod = arg[0] - '0';
}

void Printer::Impl::CmdPPOD(const std::string& arg, Outcome& out) {
    if (!arg.empty() && (!Digits(arg) || arg.size() > 3)) return out.Fail("SOFTPARAM");
    ppod = arg.empty() ? 0 : static_cast<int>(Value(arg));
}

void Printer::Impl::CmdSTFL(const std::string&, Outcome&) { lineMode = 1; }

void Printer::Impl::CmdNPDI(const std::string& arg, Outcome& out) {
    if (arg != "0" && arg != "1") return out.Fail("SOFTPARAM");
    npdi = arg[0] - '0';
}

void Printer::Impl::CmdNCDC(const std::string& arg, Outcome& out) {
    if (arg != "0" && arg != "1") return out.Fail("SOFTPARAM");
    ncdc = arg[0] - '0';
}

void Printer::Impl::CmdZDNM(const std::string& arg, Outcome&) { discountTotalsName = FromPrinterText(arg); }

void Printer::Impl::CmdNLPR(const std::string& arg, Outcome& out) {
    if (arg.size() != 2) return out.Fail("SOFTPARAM");
    for (char c : arg) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80 || b > 0x87) return out.Fail("SOFTPARAM");
    }
    nlpr = FromPrinterText(arg);
}

void Printer::Impl::CmdTABL(const std::string& arg, Outcome& out) {
    if (!arg.empty() && arg != "B") return out.Fail("SOFTPARAM");
    tableMode = arg.empty() ? 0 : 1;
}

}  // namespace m301sim
