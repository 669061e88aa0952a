// The printer on the wire: wake-up, block framing, reply assembly, faults,
// the control commands and the state line for tests.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/printer_impl.h"
#include "sim/text.h"

namespace m301sim {
namespace {

constexpr char kStart = '\xFD';
constexpr char kEnd = '\xFE';

// Bytes sent before a reply by "next noise", and over and over by a
// babbling printer: none of them is a block byte, a flow-control byte (0x00,
// 0x11, 0x13), a wake-up byte or part of a status word.
const char kNoise[] = "\x2A\x07\x5A\xB1\x3F\x08\x7E\xC4";
constexpr size_t kNoiseSize = sizeof kNoise - 1;
// Junk glued to a reply's READY block by "next babble after", so that the
// READY never arrives followed by exactly two bytes.
constexpr size_t kBabbleGlue = 16;

bool AllDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ToLong(const std::string& s, long& v) {
    if (!AllDigits(s) || s.size() > 9) return false;
    v = std::strtol(s.c_str(), nullptr, 10);
    return true;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

}  // namespace

std::string Frame(const std::string& text) {
    std::string block(1, kStart);
    block += text;
    block += static_cast<char>((text.size() + 1) & 0xFF);
    block += kEnd;
    return block;
}

std::string Flatten(const Reply& reply) {
    std::string out;
    for (const Chunk& c : reply) out += c.bytes;
    return out;
}

bool ParseTaxRate(const std::string& text, TaxRate& out) {
    TaxRate t;
    if (text == "off" || text == "none") {
        out = t;
        return true;
    }
    std::string rate = text, kind = "0";
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
        rate = text.substr(0, colon);
        kind = text.substr(colon + 1);
    }
    if (kind == "included") kind = "0";
    if (kind == "on-sale") kind = "1";
    if (kind == "sale-included") kind = "2";
    if (kind.size() != 1 || kind[0] < '0' || kind[0] > '2') return false;
    long whole = 0, cents = 0;
    const size_t dot = rate.find('.');
    if (!ToLong(rate.substr(0, dot), whole)) return false;
    if (dot != std::string::npos) {
        std::string frac = rate.substr(dot + 1);
        if (frac.size() == 1) frac += '0';
        if (frac.size() != 2 || !ToLong(frac, cents)) return false;
    }
    if (whole > 99) return false;
    t.programmed = true;
    t.date = "20240101";
    t.kind = kind[0];
    t.rate = static_cast<int>(whole * 100 + cents);
    out = t;
    return true;
}

// ---------------------------------------------------------------------------

Printer::Impl::Impl(const Config& c) : config(c) {
    clock = [] { return std::time(nullptr); };
    ticks = [] { return std::chrono::steady_clock::now(); };
}

std::time_t Printer::Impl::Now() const { return clock() + static_cast<std::time_t>(clockOffset); }

std::string Printer::Impl::DateText() const {
    const std::time_t t = Now();
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

std::string Printer::Impl::TimeText() const {
    const std::time_t t = Now();
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string Printer::Impl::Stamp() const {
    const std::string d = DateText(), t = TimeText();
    return d.substr(6, 2) + "." + d.substr(4, 2) + "." + d.substr(0, 4) + " " + t.substr(0, 2) + ":" +
           t.substr(2, 2) + ":" + t.substr(4, 2);
}

std::string Printer::Impl::Block(std::string text) const {
    // The engine's side of the line runs XON/XOFF: a length byte of 0x13
    // would be swallowed and stop its output, so such a text gets a blank.
    if (config.guardFlowControl) {
        const unsigned len = (text.size() + 1) & 0xFF;
        if (len == 0x11 || len == 0x13 || len == 0x00) text += ' ';
    }
    return Frame(text);
}

Reply Printer::Impl::Feed(const std::string& bytes) {
    Reply reply;
    if (babbling) return reply;  // it hears nothing while it talks
    if (!bytes.empty()) {
        // Bytes that come after the receive time-out has passed find the
        // block already refused, even when nobody polled in between.
        reply = ReceiveTimeout();
        lastByte = ticks();
    }
    for (char ch : bytes) {
        if (inBlock) {
            if (ch != kEnd) {
                if (body.size() < kMaxBlockBody)
                    body += ch;
                else
                    overflow = true;
                continue;
            }
            if (next.loseEnd && Targets(body)) {
                // The end byte is lost on the line: the block stays open
                // until the receive time-out refuses it.
                next.loseEnd = false;
                targetEndLost = !next.target.empty();
                if (trace) trace("<- end byte lost");
                continue;
            }
            inBlock = false;
            Reply r = Answer(body);
            reply.insert(reply.end(), r.begin(), r.end());
            body.clear();
            overflow = false;
            if (babbling) return reply;  // the rest of the bytes go unheard
            continue;
        }
        if (ch == kStart) {
            inBlock = true;
            wakeCount = 0;
            body.clear();
            continue;
        }
        if (ch == 'U') {
            if (handshake && ++wakeCount >= 5) {
                wakeCount = 0;
                if (trace) trace("<- wake-up, answered READY");
                reply.push_back({Ready(), 0});
            }
            continue;
        }
        if (ch != '\0' && ch != '\x11' && ch != '\x13') wakeCount = 0;
    }
    return reply;
}

long Printer::Impl::MsUntilReceiveTimeout() const {
    if (!inBlock) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(lastByte + kReceiveTimeout - ticks());
    return std::max(0L, static_cast<long>(left.count()) + 1);
}

Reply Printer::Impl::ReceiveTimeout() {
    if (!inBlock || ticks() - lastByte < kReceiveTimeout) return {};
    inBlock = false;
    overflow = false;
    body.clear();
    ++commandCount;
    // Faults that wait for a command stay pending, unless it was the
    // target whose end byte went missing.
    Faults f;
    if (next.target.empty() || targetEndLost) std::swap(f, next);
    targetEndLost = false;
    if (trace) trace("<- unfinished block: SOFTTXTOUT");
    if (f.babble) StartBabbling();
    if (f.silent || f.babble == 1) return {};
    std::string bytes = Block("SOFTTXTOUT") + Ready();
    if (f.babble == 2) bytes += Babble(kBabbleGlue);
    return Shape(std::move(bytes), f, 0);
}

bool Printer::Impl::Targets(const std::string& text) const {
    return next.target.empty() || text.compare(0, next.target.size(), next.target) == 0;
}

void Printer::Impl::StartBabbling() {
    babbling = true;
    // What was on its way in is lost with the printer's attention.
    inBlock = false;
    overflow = false;
    body.clear();
    wakeCount = 0;
    targetEndLost = false;
    if (trace) trace("-> babbling");
}

std::string Printer::Impl::Babble(size_t n) {
    std::string junk;
    if (!babbling) return junk;
    junk.reserve(n);
    for (size_t i = 0; i < n; ++i, babbleAt = (babbleAt + 1) % kNoiseSize) junk += kNoise[babbleAt];
    return junk;
}

Outcome Printer::Impl::Execute(const CommandInfo& info, const std::string& text) {
    Outcome out;
    const int key = config.keyPosition;
    const bool off = key != 1 && key != 2 && key != 4 && key != 8;
    if (info.key != KeyClass::Query && off) {
        out.Fail("SOFTSYSLOC");
        return out;
    }
    switch (info.key) {
        case KeyClass::Work:
            if (key != 1) out.Fail("SOFTSLWORK");
            break;
        case KeyClass::XReport:
            if (key != 1 && key != 2) out.Fail("SOFTSLZREP");
            break;
        case KeyClass::ZReport:
            if (key != 1 && key != 4) out.Fail("SOFTSLNREP");
            break;
        case KeyClass::Programming:
            // Settings and the clock only under the programming key: work
            // does not open them, or a till could reprogram the printer.
            if (key != 8) out.Fail("SOFTSLPROG");
            break;
        default:
            break;
    }
    if (!out.errors.empty()) return out;
    if (info.cashier && !cashierRegistered) {
        out.Fail("SOFTUPAS");
        return out;
    }
    if (info.prints && paperOut) {
        out.Fail("SOFTPAPER");
        return out;
    }
    (this->*info.handler)(text.substr(4), out);
    return out;
}

Reply Printer::Impl::Answer(const std::string& block) {
    ++commandCount;
    std::string text;
    const char* refusal = nullptr;
    if (overflow || block.empty() || block.size() > kMaxBlockBody) {
        refusal = "SOFTBLOCK";
    } else {
        text = block.substr(0, block.size() - 1);
        if (static_cast<unsigned char>(block.back()) != ((text.size() + 1) & 0xFF)) refusal = "SOFTBLOCK";
    }
    const CommandInfo* info = nullptr;
    if (!refusal) {
        if (text.size() >= 4) {
            for (const CommandInfo& c : Commands())
                if (text.compare(0, 4, c.name) == 0) info = &c;
        }
        if (!info) refusal = "SOFTCOMMAN";
    }
    if (trace) trace("<- " + FromPrinterText(NoControls(text)));

    Faults f;
    if (Targets(text)) std::swap(f, next);
    if (f.silent) {
        if (trace) trace("-> (silent)");
        if (f.babble) StartBabbling();
        return {};
    }

    Outcome out;
    bool executed = false;
    if (refusal) {
        out.Fail(refusal);
    } else if (!f.errors.empty()) {
        out.errors = f.errors;
    } else {
        out = Execute(*info, text);
        executed = true;
    }

    std::string bytes;
    const bool isConf = info && std::strcmp(info->name, "CONf") == 0;
    for (const std::string& d : out.data) {
        std::string b = Block(d);
        if (isConf && f.confNoEnd) b.pop_back();
        bytes += b;
    }
    if (out.errors.empty()) {
        bytes += Block(info->fiscal && !config.fiscalized ? "SOFTREGIST" : "DONE");
    } else {
        for (const std::string& w : out.errors) bytes += Block(w);
    }
    if (!f.doneAndError.empty()) bytes += Block(f.doneAndError);
    bytes += Ready();
    if (f.babble) {
        StartBabbling();
        if (f.babble == 1) bytes.clear();
        else bytes += Babble(kBabbleGlue);  // in the same write as the READY
    }

    if (trace) {
        std::string words;
        for (const std::string& w : out.errors) words += " " + w;
        trace("-> " + std::to_string(bytes.size()) + " bytes" + (words.empty() ? " DONE" : words));
    }
    std::string saveError;
    if (executed && info->key != KeyClass::Query && !Save(&saveError))
        std::fprintf(stderr, "m301sim: %s\n", saveError.c_str());  // the printer goes on; the file lags
    return Shape(std::move(bytes), f, static_cast<unsigned>(out.printed) * config.printDelayMs);
}

Reply Printer::Impl::Shape(std::string bytes, const Faults& f, unsigned delayMs) const {
    if (f.noise) bytes.insert(0, kNoise);
    if (f.trailing > 0) bytes += std::string(static_cast<size_t>(f.trailing), '*');
    if (f.cutEnd >= 0) bytes.resize(bytes.size() - std::min(bytes.size(), static_cast<size_t>(f.cutEnd)));
    if (f.cut >= 0 && static_cast<size_t>(f.cut) < bytes.size()) bytes.resize(static_cast<size_t>(f.cut));
    const unsigned delay = delayMs + f.delayMs;
    if (f.splitParts > 1 && bytes.size() > 1) {
        Reply reply;
        const size_t parts = std::min(bytes.size(), static_cast<size_t>(f.splitParts));
        const size_t step = bytes.size() / parts;
        size_t pos = 0;
        for (size_t k = 0; k < parts; ++k) {
            const size_t len = k + 1 == parts ? bytes.size() - pos : step;
            reply.push_back({bytes.substr(pos, len), k == 0 ? delay : f.splitMs});
            pos += len;
        }
        return reply;
    }
    if (bytes.empty()) return {};
    return {{bytes, delay}};
}

std::string Printer::Impl::Control(const std::string& line) {
    const std::vector<std::string> w = Words(line);
    if (w.empty()) return "ERR empty command";
    long n = 0, m = 0;
    if (w[0] == "state" && w.size() == 1) return StateJson();
    if (w[0] == "clear" && w.size() == 1) {
        next = Faults();
        targetEndLost = false;
        return "OK";
    }
    if (w[0] == "next" && w.size() >= 2) {
        const std::string& what = w[1];
        if (what == "silent" && w.size() == 2) {
            next.silent = true;
        } else if (what == "noise" && w.size() == 2) {
            next.noise = true;
        } else if (what == "cut" && w.size() == 3 && ToLong(w[2], n)) {
            next.cut = n;
        } else if (what == "cut-end" && w.size() == 3 && ToLong(w[2], n)) {
            next.cutEnd = n;
        } else if (what == "delay" && w.size() == 3 && ToLong(w[2], n) && n <= 60000) {
            next.delayMs = static_cast<unsigned>(n);
        } else if (what == "lose-end" && w.size() == 2) {
            next.loseEnd = true;
        } else if (what == "trailing" && w.size() == 3 && ToLong(w[2], n) && n <= 1000) {
            next.trailing = static_cast<int>(n);
        } else if (what == "split" && w.size() == 4 && ToLong(w[2], n) && ToLong(w[3], m) && n >= 1 &&
                   n <= 1000 && m <= 60000) {
            next.splitParts = static_cast<int>(n);
            next.splitMs = static_cast<unsigned>(m);
        } else if (what == "error" && w.size() >= 3) {
            next.errors.assign(w.begin() + 2, w.end());
        } else if (what == "done-and-error" && w.size() == 3) {
            next.doneAndError = w[2];
        } else if (what == "babble" && w.size() == 2) {
            next.babble = 1;
        } else if (what == "babble" && w.size() == 3 && w[2] == "after") {
            next.babble = 2;
        } else {
            return "ERR usage: next silent|cut N|cut-end N|split PARTS MS|delay MS|noise|trailing N|"
                   "lose-end|error WORD...|done-and-error WORD|babble [after]";
        }
        return "OK";
    }
    if (w[0] == "conf-length" && w.size() == 2 && ToLong(w[1], n)) {
        if (n < 5 || n > 252) return "ERR conf-length takes 5 to 252";
        config.confLength = static_cast<int>(n);
        return "OK";
    }
    if (w[0] == "target" && w.size() == 2) {
        if (w[1] == "any") {
            next.target.clear();
            return "OK";
        }
        for (const CommandInfo& c : Commands()) {
            if (w[1] == c.name) {
                next.target = w[1];
                return "OK";
            }
        }
        return "ERR target takes a command name (CONf, NREP, nrep, ...) or any";
    }
    if (w[0] == "babble" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        if (w[1] == "on" && !babbling) StartBabbling();
        babbling = w[1] == "on";
        return "OK";
    }
    if (w[0] == "conf-no-end" && w.size() == 1) {
        next.confNoEnd = true;
        return "OK";
    }
    if (w[0] == "handshake" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        handshake = w[1] == "on";
        wakeCount = 0;
        return "OK";
    }
    if (w[0] == "key" && w.size() == 2 && ToLong(w[1], n) && (n == 0 || n == 1 || n == 2 || n == 4 || n == 8)) {
        config.keyPosition = static_cast<int>(n);
        return "OK";
    }
    if (w[0] == "paper" && w.size() == 2 && (w[1] == "out" || w[1] == "in")) {
        paperOut = w[1] == "out";
        return "OK";
    }
    return "ERR unknown command: " + line;
}

std::string Printer::Impl::StateJson() const {
    std::ostringstream j;
    auto num = [&j](const char* k, int64_t v) { j << ",\"" << k << "\":" << v; };
    auto arr = [&j](const char* k, const int64_t* v, int n) {
        j << ",\"" << k << "\":[";
        for (int i = 0; i < n; ++i) j << (i ? "," : "") << v[i];
        j << "]";
    };
    j << "{\"check_open\":" << (check.open ? "true" : "false");
    num("check_lines", static_cast<int64_t>(check.lines.size()));
    num("check_sales", check.sale.amount);
    num("check_onsale_taxes", check.sale.onsale);
    num("check_returns", check.ret.amount);
    num("check_return_onsale_taxes", check.ret.onsale);
    j << ",\"cashier\":" << (cashierRegistered ? JsonString(cashier) : "null");
    num("key", config.keyPosition);
    j << ",\"paper\":" << (paperOut ? "\"out\"" : "\"in\"");
    j << ",\"handshake\":" << (handshake ? "true" : "false");
    j << ",\"babble\":" << (babbling ? "true" : "false");
    j << ",\"fiscalized\":" << (config.fiscalized ? "true" : "false");
    num("article_mode", config.articleMode);
    j << ",\"shift_open\":" << (shiftOpen ? "true" : "false");
    num("z_number", zNumber);
    num("last_check_number", lastCheck);
    num("last_doc_number", lastDoc);
    num("last_serv_doc_number", lastServDoc);
    num("cash", Drawer());
    num("day_sales", day.sales);
    num("day_returns", day.returns);
    arr("day_sale_turnover", day.saleTurnover, 9);
    arr("day_return_turnover", day.returnTurnover, 9);
    arr("day_sale_taxes", day.saleTax, 8);
    num("day_sale_checks", day.saleChecks);
    num("day_return_checks", day.returnChecks);
    num("day_cash_in", day.cashIn);
    num("day_cash_out", day.cashOut);
    num("fiscal_memory_records", static_cast<int64_t>(fiscalMemory.size()));
    num("articles", static_cast<int64_t>(articles.size()));
    num("drawer_openings", drawerOpenings);
    num("commands", commandCount);
    j << ",\"display\":" << JsonString(display);
    j << ",\"external_display\":" << JsonString(externalDisplay);
    j << "}";
    return j.str();
}

// ---------------------------------------------------------------------------

Printer::Printer(const Config& config) : impl_(new Impl(config)) {}
Printer::~Printer() = default;

Reply Printer::Feed(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->Feed(bytes);
}

std::string Printer::Command(const std::string& text) { return Flatten(Feed(Frame(text))); }

Reply Printer::Poll() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->ReceiveTimeout();
}

bool Printer::Babbling() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->babbling;
}

std::string Printer::Babble(size_t n) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->Babble(n);
}

long Printer::MsUntilPoll() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->MsUntilReceiveTimeout();
}

void Printer::SetTicks(std::function<std::chrono::steady_clock::time_point()> now) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->ticks = std::move(now);
}

std::string Printer::Control(const std::string& line) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::string trimmed = line;
    while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == '\n')) trimmed.pop_back();
    const std::string answer = impl_->Control(trimmed);
    if (impl_->trace) impl_->trace("control: " + trimmed + " -> " + answer.substr(0, 60));
    return answer;
}

std::string Printer::StateJson() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->StateJson();
}

bool Printer::OpenJournal(const std::string& path, std::string* error) {
    auto file = std::make_shared<std::ofstream>(path, std::ios::app | std::ios::binary);
    if (!*file) {
        if (error) *error = "cannot open the journal " + path + ": " + std::strerror(errno);
        return false;
    }
    SetJournalSink([file](const std::string& doc) {
        *file << doc;
        file->flush();
    });
    return true;
}

void Printer::SetJournalSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->journal = std::move(sink);
}

void Printer::SetClock(std::function<std::time_t()> now) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->clock = std::move(now);
}

void Printer::SetTraceSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->trace = std::move(sink);
}

Config Printer::config() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->config;
}

}  // namespace m301sim
