// The printer's fiscal memory, counters and programmed settings in a file.
//
// Plain text, one entry a line ("key value..."), ending with a line that
// carries a checksum of everything before it, so that a damaged or edited
// file is noticed and refused instead of silently starting a new printer.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include "sim/printer_impl.h"

namespace m301sim {
namespace {

const char kMagic[] = "m301sim-state 1";

uint64_t Fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            ++i;
            out += s[i] == 'n' ? '\n' : s[i];
        } else {
            out += s[i];
        }
    }
    return out;
}

struct Reader {
    std::istringstream in;
    bool ok = true;
    explicit Reader(const std::string& s) : in(s) {}
    int64_t Int() {
        long long v = 0;
        if (!(in >> v)) ok = false;
        return v;
    }
    std::string Word() {
        std::string w;
        if (!(in >> w)) ok = false;
        return w;
    }
    std::string Rest() {
        std::string r;
        std::getline(in, r);
        if (!r.empty() && r[0] == ' ') r.erase(0, 1);
        return Unescape(r);
    }
    void Ints(int64_t* v, int n) {
        for (int i = 0; i < n; ++i) v[i] = Int();
    }
};

void Ints(std::ostringstream& o, const int64_t* v, int n) {
    for (int i = 0; i < n; ++i) o << ' ' << v[i];
}

}  // namespace

std::string Printer::Impl::Serialize() const {
    std::ostringstream o;
    o << kMagic << "\n";
    o << "serial " << Escape(config.serialNumber) << "\n";
    o << "fiscal " << Escape(config.fiscalNumber) << "\n";
    o << "taxnumber " << Escape(config.taxNumber) << "\n";
    o << "owner " << Escape(config.owner) << "\n";
    o << "firmware " << Escape(config.firmwareDate) << "\n";
    o << "variant " << Escape(config.variant) << "\n";
    o << "currency " << Escape(config.currencyName) << "\n";
    o << "articlemode " << config.articleMode << "\n";
    o << "fiscalized " << (config.fiscalized ? 1 : 0) << "\n";
    for (int k = 0; k < 8; ++k) {
        const TaxRate& t = config.taxes[k];
        o << "tax " << k << ' ' << (t.programmed ? 1 : 0) << ' ' << t.date << ' ' << t.kind << ' ' << t.rate << "\n";
    }
    o << "counters " << lastCheck << ' ' << lastDoc << ' ' << lastServDoc << ' ' << zNumber << "\n";
    o << "shift " << (shiftOpen ? 1 : 0) << ' ' << shiftOpenedAt << "\n";
    o << "clock " << clockOffset << "\n";
    o << "day";
    Ints(o, day.saleTurnover, 9);
    Ints(o, day.returnTurnover, 9);
    Ints(o, day.saleTax, 8);
    Ints(o, day.returnTax, 8);
    const int64_t rest[] = {day.sales,     day.returns,     day.discounts,   day.surcharges, day.startCash,
                            day.cashIn,    day.cashOut,     day.cashSales,   day.cashReturns, day.checkIncome,
                            day.checkOutcome, day.saleChecks, day.returnChecks};
    Ints(o, rest, 13);
    Ints(o, day.payments, 4);
    o << "\n";
    for (const ZRecord& z : fiscalMemory) {
        o << "z " << z.number << ' ' << z.date << ' ' << z.time << ' ' << z.sales << ' ' << z.returns << ' '
          << z.saleChecks << ' ' << z.returnChecks;
        Ints(o, z.saleTurnover, 9);
        Ints(o, z.returnTurnover, 9);
        Ints(o, z.saleTax, 8);
        Ints(o, z.returnTax, 8);
        o << "\n";
    }
    for (const auto& [code, a] : articles)
        o << "article " << code << ' ' << (a.piece ? 1 : 0) << ' ' << a.taxMask << ' ' << a.soldQty << ' '
          << a.saleSum << ' ' << a.slot << ' ' << Escape(a.name) << "\n";
    for (const std::string& l : lastCheckPaper) o << "paper " << Escape(l) << "\n";
    o << "head " << Escape(head) << "\n";
    o << "bottom " << Escape(bottom) << "\n";
    for (int i = 0; i < 10; ++i)
        if (!bottomLines[i].text.empty())
            o << "bottomline " << i << ' ' << (bottomLines[i].journal ? 1 : 0) << ' ' << bottomLines[i].mode << ' '
              << Escape(bottomLines[i].text) << "\n";
    o << "dept " << Escape(deptAlias) << "\n";
    o << "modes " << tmod << ' ' << ppod << ' ' << npdi << ' ' << ncdc << ' ' << tableMode << ' ' << lineMode << "\n";
    const std::string text = o.str();
    char end[40];
    std::snprintf(end, sizeof end, "end %016llx\n", static_cast<unsigned long long>(Fnv1a(text)));
    return text + end;
}

bool Printer::Impl::Deserialize(const std::string& text, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (text.compare(0, sizeof kMagic - 1, kMagic) != 0 || text.size() <= sizeof kMagic ||
        text[sizeof kMagic - 1] != '\n')
        return fail("not a m301sim state file (the first line is not \"" + std::string(kMagic) + "\")");
    const size_t endPos = text.rfind("\nend ");
    if (endPos == std::string::npos) return fail("the file is cut short (no end line)");
    const std::string content = text.substr(0, endPos + 1);
    char expected[40];
    std::snprintf(expected, sizeof expected, "end %016llx\n", static_cast<unsigned long long>(Fnv1a(content)));
    if (text.substr(endPos + 1) != expected) return fail("the checksum does not match: the file was damaged or edited");

    Impl fresh(config);  // parse into a copy: nothing changes unless all is well
    std::istringstream lines(content);
    std::string line;
    std::getline(lines, line);  // magic
    int lineNo = 1;
    while (std::getline(lines, line)) {
        ++lineNo;
        Reader r(line);
        const std::string key = r.Word();
        if (key == "serial") fresh.config.serialNumber = r.Rest();
        else if (key == "fiscal") fresh.config.fiscalNumber = r.Rest();
        else if (key == "taxnumber") fresh.config.taxNumber = r.Rest();
        else if (key == "owner") fresh.config.owner = r.Rest();
        else if (key == "firmware") fresh.config.firmwareDate = r.Rest();
        else if (key == "variant") fresh.config.variant = r.Rest();
        else if (key == "currency") fresh.config.currencyName = r.Rest();
        else if (key == "articlemode") fresh.config.articleMode = static_cast<int>(r.Int());
        else if (key == "fiscalized") fresh.config.fiscalized = r.Int() != 0;
        else if (key == "tax") {
            const int64_t k = r.Int();
            if (k < 0 || k > 7) return fail("line " + std::to_string(lineNo) + ": bad tax slot");
            TaxRate& t = fresh.config.taxes[k];
            t.programmed = r.Int() != 0;
            t.date = r.Word();
            const std::string kind = r.Word();
            t.kind = kind.empty() ? '0' : kind[0];
            t.rate = static_cast<int>(r.Int());
        } else if (key == "counters") {
            fresh.lastCheck = r.Int();
            fresh.lastDoc = r.Int();
            fresh.lastServDoc = r.Int();
            fresh.zNumber = r.Int();
        } else if (key == "shift") {
            fresh.shiftOpen = r.Int() != 0;
            fresh.shiftOpenedAt = r.Int();
        } else if (key == "clock") {
            fresh.clockOffset = r.Int();
        } else if (key == "day") {
            DayRegisters& d = fresh.day;
            r.Ints(d.saleTurnover, 9);
            r.Ints(d.returnTurnover, 9);
            r.Ints(d.saleTax, 8);
            r.Ints(d.returnTax, 8);
            int64_t rest[13];
            r.Ints(rest, 13);
            int64_t* dst[] = {&d.sales,     &d.returns,     &d.discounts,   &d.surcharges, &d.startCash,
                              &d.cashIn,    &d.cashOut,     &d.cashSales,   &d.cashReturns, &d.checkIncome,
                              &d.checkOutcome, &d.saleChecks, &d.returnChecks};
            for (int i = 0; i < 13; ++i) *dst[i] = rest[i];
            r.Ints(d.payments, 4);
        } else if (key == "z") {
            ZRecord z;
            z.number = r.Int();
            z.date = r.Word();
            z.time = r.Word();
            z.sales = r.Int();
            z.returns = r.Int();
            z.saleChecks = r.Int();
            z.returnChecks = r.Int();
            r.Ints(z.saleTurnover, 9);
            r.Ints(z.returnTurnover, 9);
            r.Ints(z.saleTax, 8);
            r.Ints(z.returnTax, 8);
            fresh.fiscalMemory.push_back(z);
        } else if (key == "article") {
            const int64_t code = r.Int();
            Article a;
            a.piece = r.Int() != 0;
            a.taxMask = static_cast<int>(r.Int());
            a.soldQty = r.Int();
            a.saleSum = r.Int();
            a.slot = r.Int();
            a.name = r.Rest();
            fresh.articles[code] = a;
        } else if (key == "paper") {
            fresh.lastCheckPaper.push_back(r.Rest());
        } else if (key == "head") {
            fresh.head = r.Rest();
        } else if (key == "bottom") {
            fresh.bottom = r.Rest();
        } else if (key == "bottomline") {
            const int64_t i = r.Int();
            if (i < 0 || i > 9) return fail("line " + std::to_string(lineNo) + ": bad bottom line index");
            fresh.bottomLines[i].journal = r.Int() != 0;
            fresh.bottomLines[i].mode = static_cast<int>(r.Int());
            fresh.bottomLines[i].text = r.Rest();
        } else if (key == "dept") {
            fresh.deptAlias = r.Rest();
        } else if (key == "modes") {
            fresh.tmod = static_cast<int>(r.Int());
            fresh.ppod = static_cast<int>(r.Int());
            fresh.npdi = static_cast<int>(r.Int());
            fresh.ncdc = static_cast<int>(r.Int());
            fresh.tableMode = static_cast<int>(r.Int());
            fresh.lineMode = static_cast<int>(r.Int());
        } else {
            return fail("line " + std::to_string(lineNo) + ": unknown entry \"" + key + "\"");
        }
        if (!r.ok) return fail("line " + std::to_string(lineNo) + ": malformed \"" + key + "\" entry");
    }

    config = fresh.config;
    lastCheck = fresh.lastCheck;
    lastDoc = fresh.lastDoc;
    lastServDoc = fresh.lastServDoc;
    zNumber = fresh.zNumber;
    shiftOpen = fresh.shiftOpen;
    shiftOpenedAt = fresh.shiftOpenedAt;
    clockOffset = fresh.clockOffset;
    day = fresh.day;
    fiscalMemory = fresh.fiscalMemory;
    articles = fresh.articles;
    lastCheckPaper = fresh.lastCheckPaper;
    head = fresh.head;
    bottom = fresh.bottom;
    for (int i = 0; i < 10; ++i) bottomLines[i] = fresh.bottomLines[i];
    deptAlias = fresh.deptAlias;
    tmod = fresh.tmod;
    ppod = fresh.ppod;
    npdi = fresh.npdi;
    ncdc = fresh.ncdc;
    tableMode = fresh.tableMode;
    lineMode = fresh.lineMode;
    return true;
}

bool Printer::Impl::Save(std::string* error) {
    if (statePath.empty()) return true;
    const std::string tmp = statePath + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << Serialize();
        if (!f) {
            if (error) *error = "cannot write the state file " + tmp + ": " + std::strerror(errno);
            return false;
        }
    }
    // rename() replaces the old file in one step: a crash leaves either one.
    if (std::rename(tmp.c_str(), statePath.c_str()) != 0) {
        if (error) *error = "cannot replace the state file " + statePath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Printer::AttachStateFile(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    const int statErrno = errno;
    std::ifstream f(path, std::ios::binary);
    if (exists) {
        if (!f) {
            if (error) *error = "cannot read the state file " + path;
            return false;
        }
        std::ostringstream s;
        s << f.rdbuf();
        std::string why;
        if (!impl_->Deserialize(s.str(), &why)) {
            if (error) *error = "the state file " + path + " is damaged: " + why + "; refusing to start (move it away to begin afresh)";
            return false;
        }
    } else if (statErrno != ENOENT) {
        if (error) *error = "cannot read the state file " + path + ": " + std::strerror(statErrno);
        return false;
    }
    impl_->statePath = path;
    if (!impl_->Save(error)) {
        impl_->statePath.clear();
        return false;
    }
    return true;
}

}  // namespace m301sim
