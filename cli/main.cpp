// brenvik: the printer from the command line, for service engineers and
// scripts. Built on the C API only.
//
// Exit codes: 0 success, 1 the printer refused (its error word is printed),
// 2 usage or bad input, 3 no connection, 4 not known whether the printer
// did it (check it before trying again).
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "brenvik/brenvik.h"
#include "cli/completion.h"
#include "cli/console.h"
#include "cli/detect.h"
#include "cli/log_view.h"
#include "json/results.h"

namespace {

using nlohmann::ordered_json;
namespace results = brenvik::results;

enum Exit { kOk = 0, kRefused = 1, kUsage = 2, kNoConnection = 3, kUnknown = 4 };

const char kExitCodes[] =
    "Exit codes: 0 success, 1 the printer refused (its error word is printed),\n"
    "2 usage or bad input (nothing was sent), 3 no connection,\n"
    "4 unknown whether the printer did it: check it before retrying.";

// What the user typed, as a message may show it: any bytes become valid
// UTF-8; control characters and bytes that are not UTF-8 show as \xNN.
std::string Shown(const std::string& text) {
    std::string out;
    char escape[8];
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        size_t length = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 1;
        bool valid = b >= 0x20 && b != 0x7F && (b < 0x80 || length > 1) && i + length <= text.size();
        uint32_t c = length == 1 ? b : b & (0x7F >> length);
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        valid = valid && !(length == 3 && c < 0x800) && !(length == 4 && (c < 0x10000 || c > 0x10FFFF)) &&
                !(c >= 0xD800 && c <= 0xDFFF);
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            std::snprintf(escape, sizeof escape, "\\x%02X", b);
            out += escape;
            ++i;
        }
    }
    return out;
}

// JSON on standard output. The texts are UTF-8 already; the replacing
// handler only keeps a fault of ours from ending the program.
std::string Dump(const ordered_json& doc) { return doc.dump(2, ' ', false, ordered_json::error_handler_t::replace); }

// "waiting for the printer... 3 s" on standard error while an operation
// takes longer than a second, when standard error is a terminal; cleared
// before anything else is written. Nothing at all otherwise.
class Progress {
public:
    void Start() {
        if (!brenvik::cli::ErrorIsTerminal()) return;
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    ~Progress() { Stop(); }

private:
    void Run() {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        bool shown = false;
        for (int seconds = 1; !wake_.wait_until(lock, start + std::chrono::seconds(seconds), [this] { return stop_; });
             ++seconds) {
            std::fprintf(stderr, "\rwaiting for the printer... %d s ", seconds);
            std::fflush(stderr);
            shown = true;
        }
        if (shown) {
            std::fprintf(stderr, "\r%40s\r", "");
            std::fflush(stderr);
        }
    }
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
};

Progress progress;

struct Options {
    std::string device;
    int port = 0;
    std::string cashier;
    std::string password;
    bool json = false;
    std::string lang = "en";  // of the errors' meanings and advice
    std::string logDir;
    double timeoutSeconds = 0;  // CLI11 reads it; only whole milliseconds are used
    bool yes = false;
    int article = 0;
    std::string amount;
    std::string timeValue;
    std::string receiptFile;
    std::string rawText;
};

// Output: text lines for people, or one JSON document (made by
// json/results, the service's language too).
class Out {
public:
    explicit Out(bool json) : json_(json) {}
    ordered_json& Doc() { return doc_; }
    // "label                 text"
    void Line(const std::string& label, const std::string& text) {
        lines_ << label << std::string(label.size() < 22 ? 22 - label.size() : 1, ' ') << text << "\n";
    }
    void Text(const std::string& line) { lines_ << line << "\n"; }
    void Print() const {
        progress.Stop();
        if (json_) {
            std::cout << Dump(doc_) << std::endl;
        } else {
            std::cout << lines_.str();
        }
    }

private:
    bool json_;
    ordered_json doc_ = ordered_json::object();
    std::ostringstream lines_;
};

int ExitFor(brenvik_status status) {
    switch (status) {
    case BRENVIK_OK: return kOk;
    case BRENVIK_E_REFUSED: return kRefused;
    case BRENVIK_E_NO_CONNECTION: return kNoConnection;
    case BRENVIK_E_UNCERTAIN: return kUnknown;
    default: return kUsage;
    }
}

// An engine message on one line: its own line breaks become blanks.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r') c = ' ';
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// An error told for people, from its JSON form: the number and word, the
// meaning, the printer's own words, what to do. For example
//   error 7: No printer answers on the port (Невозможно соединиться с регистратором). Switch the printer on, ...
std::string Told(const ordered_json& error) {
    std::string text;
    const uint32_t number = error["number"].get<uint32_t>();
    if (number != 0) {
        text = "error " + std::to_string(number);
        if (error["word"].is_string()) text += " " + error["word"].get<std::string>();
        text += ": ";
    }
    if (error["path"].is_string() && !error["path"].get<std::string>().empty())
        text += Shown(error["path"].get<std::string>()) + ": ";
    const std::string message = OneLine(error["message"].get<std::string>());
    text += message;
    if (error["engineMessage"].is_string()) {
        const std::string engine = OneLine(error["engineMessage"].get<std::string>());
        if (engine != message) text += " (" + engine + ")";
    }
    if (error["advice"].is_string()) {
        std::string advice = error["advice"].get<std::string>();
        if (!advice.empty() && advice[0] >= 'a' && advice[0] <= 'z') advice[0] = static_cast<char>(advice[0] - 32);
        text += ". " + advice;
    }
    return text;
}

// Reports a failure (stderr, or the JSON document on stdout) and gives the
// exit code. `extra` goes into the JSON document beside the error.
int Failure(const Options& o, brenvik_status status, const results::Failure& f,
            const ordered_json& extra = ordered_json::object()) {
    progress.Stop();
    ordered_json doc = results::Error(f, o.lang);
    if (o.json) {
        doc.update(extra);
        std::cout << Dump(doc) << std::endl;
    } else {
        std::cerr << "brenvik: " << brenvik_status_text(status) << ": " << Told(doc["error"]) << std::endl;
        // Every problem of a document, one a line, when there are several.
        const ordered_json& problems = doc["error"].contains("errors") ? doc["error"]["errors"] : ordered_json();
        for (size_t k = 1; k < problems.size(); ++k) {
            const std::string path = problems[k]["path"].get<std::string>();
            std::cerr << "brenvik: " << (path.empty() ? "" : Shown(path) + ": ")
                      << Shown(problems[k]["message"].get<std::string>()) << std::endl;
        }
    }
    return ExitFor(status);
}

int Failure(const Options& o, brenvik_status status, const std::string& message) {
    results::Failure f;
    f.status = results::StatusName(status);
    f.message = message;
    return Failure(o, status, f);
}

int Failure(const Options& o, brenvik_printer* p, brenvik_status status) {
    brenvik_error e{};
    e.size = sizeof e;
    brenvik_last_error(p, &e);
    return Failure(o, status, results::FailureOf(status, e));
}

std::string Money(int64_t kopecks) { return results::MoneyText(kopecks); }

std::string Stamp(const brenvik_datetime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

const char* KeyName(char letter) {
    switch (letter) {
    case 'R': return "work";
    case 'X': return "X-report";
    case 'Z': return "Z-report";
    case 'P': return "programming";
    default: return "off";
    }
}

// The printer, connected by the global options; nullptr with the exit code
// in `code` when that fails.
brenvik_printer* Connect(const Options& o, int& code) {
    brenvik_printer* p = nullptr;
    if (brenvik_create(&p) != BRENVIK_OK) {
        code = Failure(o, BRENVIK_E_MEMORY, "out of memory");
        return nullptr;
    }
    brenvik_status status = BRENVIK_OK;
    if (!o.logDir.empty()) status = brenvik_set_log_directory(p, o.logDir.c_str());
    // The time-out bounds connecting too: a silent device is given up in it.
    if (status == BRENVIK_OK && o.timeoutSeconds > 0)
        status = brenvik_set_timeout(p, static_cast<uint32_t>(o.timeoutSeconds * 1000));
    if (status == BRENVIK_OK && o.timeoutSeconds > 0)
        status = brenvik_set_connect_timeout(p, static_cast<uint32_t>(o.timeoutSeconds * 1000));
    if (status == BRENVIK_OK) {
        status = o.device.empty() ? brenvik_connect_port(p, o.port, o.cashier.c_str(), o.password.c_str())
                                  : brenvik_connect_device(p, o.device.c_str(), o.cashier.c_str(), o.password.c_str());
    }
    if (status != BRENVIK_OK) {
        code = Failure(o, p, status);
        brenvik_close(p);
        return nullptr;
    }
    return p;
}

// Runs one printer call; prints its failure.
#define CHECK(call)                                         \
    do {                                                    \
        const brenvik_status status_ = (call);              \
        if (status_ != BRENVIK_OK) return Failure(o, p, status_); \
    } while (0)

int Status(const Options& o, brenvik_printer* p) {
    brenvik_config c{};
    c.size = sizeof c;
    brenvik_documents d{};
    d.size = sizeof d;
    CHECK(brenvik_get_config(p, &c));
    CHECK(brenvik_get_documents(p, &d));
    Out out(o.json);
    out.Doc() = results::PrinterStatus(c.serial_number, c.fiscal_number, d);
    out.Doc()["connection"] = o.device.empty() ? "port " + std::to_string(o.port) : o.device;
    out.Doc()["keyPosition"] = std::string(1, c.key_letter);
    out.Doc().update(results::Clock(c.printer_time));
    out.Line("connection", out.Doc()["connection"].get<std::string>());
    out.Line("key position", std::string(1, c.key_letter) + " (" + KeyName(c.key_letter) + ")");
    out.Line("serial number", c.serial_number);
    out.Line("fiscal number", c.fiscal_number);
    out.Line("last check", std::to_string(d.last_check_number));
    out.Line("last document", std::to_string(d.last_document_number));
    out.Line("last Z-report", std::to_string(d.last_z_report_number));
    out.Line("printer clock", Stamp(c.printer_time));
    out.Print();
    return kOk;
}

int Config(const Options& o, brenvik_printer* p) {
    brenvik_config c{};
    c.size = sizeof c;
    CHECK(brenvik_get_config(p, &c));
    Out out(o.json);
    out.Doc() = results::Config(c);
    out.Line("serial number", c.serial_number);
    out.Line("fiscal number", c.fiscal_number);
    out.Line("owner", c.owner);
    out.Line("printer clock", Stamp(c.printer_time));
    out.Line("key position", std::string(1, c.key_letter) + " (" + KeyName(c.key_letter) + ")");
    out.Line("check number", std::to_string(c.check_number));
    out.Line("printer variant", c.printer_variant);
    out.Line("firmware date", c.firmware_date);
    out.Line("currency", c.currency);
    out.Line("currency date", c.currency_date);
    out.Line("decimal point", std::to_string(c.decimal_point));
    out.Print();
    return kOk;
}

int Taxes(const Options& o, brenvik_printer* p) {
    brenvik_taxes t{};
    t.size = sizeof t;
    CHECK(brenvik_get_taxes(p, &t));
    Out out(o.json);
    out.Doc() = results::Taxes(t);
    for (const ordered_json& tax : out.Doc()["taxes"]) {
        if (!tax["programmed"].get<bool>()) continue;
        out.Text("tax group " + std::to_string(tax["group"].get<int>()) + "           " +
                 tax["rateText"].get<std::string>() + "%  type " +
                 (tax["type"].is_string() ? tax["type"].get<std::string>() : "") + "  since " +
                 tax["since"].get<std::string>());
    }
    bool any = false;
    for (const brenvik_tax& tax : t.tax) any = any || tax.programmed != 0;
    if (!any) out.Text("no tax group is programmed");
    out.Print();
    return kOk;
}

// Amounts as a table: "label  157.80" from the JSON's ...Text twins.
void AmountLines(Out& out, std::initializer_list<const char*> keys) {
    for (const char* key : keys) out.Line(key, out.Doc()[std::string(key) + "Text"].get<std::string>());
}

int Cash(const Options& o, brenvik_printer* p) {
    brenvik_cash c{};
    c.size = sizeof c;
    CHECK(brenvik_get_cash(p, &c));
    Out out(o.json);
    out.Doc() = results::Cash(c);
    AmountLines(out, {"rest", "income", "outcome", "sales", "returns", "total", "checkIncome", "checkOutcome"});
    out.Print();
    return kOk;
}

int Fiscal(const Options& o, brenvik_printer* p) {
    brenvik_fiscal f{};
    f.size = sizeof f;
    CHECK(brenvik_get_fiscal(p, &f));
    Out out(o.json);
    out.Doc() = results::Fiscal(f);
    out.Line("total", Money(f.total));
    for (int k = 0; k < 8; ++k) out.Line("tax group " + std::to_string(k + 1), Money(f.tax_total[k]));
    out.Line("untaxed", Money(f.untaxed_total));
    out.Line("returns", Money(f.returns));
    for (int k = 0; k < 8; ++k) out.Line("return tax group " + std::to_string(k + 1), Money(f.tax_return[k]));
    out.Line("untaxed returns", Money(f.untaxed_return));
    out.Print();
    return kOk;
}

int Documents(const Options& o, brenvik_printer* p) {
    brenvik_documents d{};
    d.size = sizeof d;
    CHECK(brenvik_get_documents(p, &d));
    Out out(o.json);
    out.Doc() = results::Documents(d);
    out.Line("last check", std::to_string(d.last_check_number));
    out.Line("last document", std::to_string(d.last_document_number));
    out.Line("last service document", std::to_string(d.last_service_document_number));
    out.Line("last Z-report", std::to_string(d.last_z_report_number));
    out.Line("article mode", std::to_string(d.article_mode));
    out.Line("fiscal report made", d.fiscal_report_made != 0 ? "true" : "false");
    out.Print();
    return kOk;
}

int Article(const Options& o, brenvik_printer* p) {
    brenvik_article a{};
    a.size = sizeof a;
    CHECK(brenvik_get_article(p, o.article, &a));
    Out out(o.json);
    out.Doc() = results::Article(a);
    out.Line("article", std::to_string(a.index));
    out.Line("name", a.name);
    out.Line("weighed", a.weighed != 0 ? "true" : "false");
    out.Line("taxes", a.taxes);
    out.Line("sold quantity", std::to_string(a.sold_quantity));
    out.Line("sale sum", Money(a.sale_sum));
    out.Line("long code", std::to_string(a.long_code));
    out.Print();
    return kOk;
}

// What became of an operation that changes the printer's state, from its
// status and the outcome the library recorded for it.
enum class Verdict { kDone, kNotDone, kUnknown };

Verdict VerdictOf(brenvik_status status, int32_t outcome, uint32_t errorNumber) {
    if (status == BRENVIK_OK) return Verdict::kDone;
    if (status == BRENVIK_E_UNCERTAIN || outcome == BRENVIK_OUTCOME_UNKNOWN) return Verdict::kUnknown;
    if (outcome == BRENVIK_OUTCOME_REFUSED || outcome == BRENVIK_OUTCOME_RECONCILED_NOT_DONE) return Verdict::kNotDone;
    // The port failing (1-7) sent nothing the printer could take; a reply
    // that never came may follow a command it carried out.
    if (status == BRENVIK_E_NO_CONNECTION && (errorNumber < 1 || errorNumber > 7)) return Verdict::kUnknown;
    return Verdict::kNotDone;
}

const char* VerdictName(Verdict v) {
    switch (v) {
    case Verdict::kDone: return "done";
    case Verdict::kNotDone: return "not-done";
    case Verdict::kUnknown: return "unknown";
    }
    return "unknown";
}

// Reports an operation that changes the printer's state: "printed", "not
// printed" with why, or "unknown: check the printer before retrying".
// `what` names it ("X-report"); `done` is its JSON (results::Operation).
int Changed(const Options& o, brenvik_printer* p, brenvik_status status, const std::string& what,
            const std::string& doneText, ordered_json done) {
    // The error first: asking for the outcome is a call that succeeds.
    brenvik_error e{};
    e.size = sizeof e;
    brenvik_last_error(p, &e);
    int32_t outcome = BRENVIK_OUTCOME_NONE;
    brenvik_last_outcome(p, &outcome);
    const Verdict verdict = VerdictOf(status, outcome, e.number);
    done["outcome"] = VerdictName(verdict);
    if (outcome == BRENVIK_OUTCOME_RECONCILED_DONE || outcome == BRENVIK_OUTCOME_RECONCILED_NOT_DONE)
        done["reconciled"] = true;
    if (verdict == Verdict::kDone) {
        Out out(o.json);
        out.Doc() = done;
        out.Text(doneText + (outcome == BRENVIK_OUTCOME_RECONCILED_DONE
                                 ? " (its reply was late or lost; the printer's counters show it was done)"
                                 : ""));
        out.Print();
        return kOk;
    }
    results::Failure f = results::FailureOf(status, e);
    if (verdict == Verdict::kUnknown) f.status = "unknown";
    const int code = verdict == Verdict::kUnknown ? kUnknown : ExitFor(status);
    if (o.json) {
        Failure(o, status, f, done);
        return code;
    }
    progress.Stop();
    const std::string detail = std::string(brenvik_status_text(status)) + ": " + Told(results::Error(f, o.lang)["error"]);
    if (verdict == Verdict::kUnknown) {
        std::cerr << "brenvik: " << what << ": unknown whether the printer did it: check the printer before retrying ("
                  << detail << ")" << std::endl;
    } else {
        const bool reconciled = outcome == BRENVIK_OUTCOME_RECONCILED_NOT_DONE;
        std::cerr << "brenvik: " << what << " not printed"
                  << (reconciled ? " (the printer's counters show it; retrying is safe)" : "") << ": " << detail
                  << std::endl;
    }
    return code;
}

int XReport(const Options& o, brenvik_printer* p) {
    return Changed(o, p, brenvik_x_report(p), "X-report", "X-report printed", results::Operation("x-report"));
}

int ZReport(const Options& o, brenvik_printer* p) {
    return Changed(o, p, brenvik_z_report(p), "Z-report", "Z-report printed; the day is closed",
                   results::Operation("z-report"));
}

int ShowTime(const Options& o, brenvik_printer* p) {
    brenvik_datetime t{};
    CHECK(brenvik_get_time(p, &t));
    Out out(o.json);
    out.Doc() = results::Clock(t);
    out.Line("printer clock", Stamp(t));
    out.Print();
    return kOk;
}

int SetTime(const Options& o, brenvik_printer* p) {
    int h = 0, m = 0, s = 0;
    if (o.timeValue == "now") {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        h = local.tm_hour, m = local.tm_min, s = local.tm_sec;
    } else {
        int y = 0, mo = 0, d = 0;
        char rest = 0;
        if (std::sscanf(o.timeValue.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &m, &s, &rest) != 6)
            return Failure(o, BRENVIK_E_ARGUMENT, "time set: give now or YYYY-MM-DDThh:mm:ss");
        brenvik_datetime current{};
        CHECK(brenvik_get_time(p, &current));
        if (current.year != y || current.month != mo || current.day != d) {
            char text[160];
            std::snprintf(text, sizeof text, "the printer's date is %04d-%02d-%02d and cannot be set; only its time",
                          current.year, current.month, current.day);
            return Failure(o, BRENVIK_E_ARGUMENT, text);
        }
    }
    CHECK(brenvik_set_time(p, h, m, s));
    return ShowTime(o, p);
}

int MoveCash(const Options& o, brenvik_printer* p, bool in) {
    int64_t kopecks = 0;
    if (brenvik_parse_amount(o.amount.c_str(), &kopecks) != BRENVIK_OK)
        return Failure(o, BRENVIK_E_ARGUMENT, "amount \"" + Shown(o.amount) +
                                                  "\": give a decimal amount such as 12.50 (at most two decimals)");
    const brenvik_status status = in ? brenvik_cash_in(p, kopecks) : brenvik_cash_out(p, kopecks);
    const std::string what = std::string(in ? "cash in " : "cash out ") + Money(kopecks);
    return Changed(o, p, status, what, what + " printed", results::Operation("cash", in, kopecks));
}

int Raw(const Options& o, brenvik_printer* p) {
    char* reply = nullptr;
    const brenvik_status status = brenvik_raw(p, o.rawText.c_str(), &reply);
    const std::string text = reply != nullptr ? reply : "";
    brenvik_free(reply);
    if (status != BRENVIK_OK && status != BRENVIK_E_REFUSED) return Failure(o, p, status);
    const ordered_json answer = {{"command", o.rawText}, {"reply", text}};
    if (status != BRENVIK_OK) {
        // The reply is given with the refusal: it may say more.
        brenvik_error e{};
        e.size = sizeof e;
        brenvik_last_error(p, &e);
        if (!o.json) {
            progress.Stop();
            std::cout << text << std::endl;
        }
        return Failure(o, status, results::FailureOf(status, e), answer);
    }
    Out out(o.json);
    out.Doc() = answer;
    out.Text(text);
    out.Print();
    return kOk;
}

bool ReadAll(const std::string& file, std::string& text) {
    std::FILE* f = file == "-" ? stdin : brenvik::cli::OpenForReading(file);
    if (f == nullptr) return false;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    const bool ok = std::ferror(f) == 0;
    if (f != stdin) std::fclose(f);
    return ok;
}

const char* OutcomeName(int32_t outcome) {
    switch (outcome) {
    case BRENVIK_RECEIPT_CLOSED: return "closed";
    case BRENVIK_RECEIPT_INVALID: return "invalid";
    case BRENVIK_RECEIPT_CANCELLED: return "cancelled";
    case BRENVIK_RECEIPT_NOT_CANCELLED: return "not-cancelled";
    case BRENVIK_RECEIPT_UNCERTAIN: return "uncertain";
    }
    return "unknown";
}

// The receipt is checked before anything connects: bad input never
// reaches the printer, and every problem of it is told at once.
int ValidateReceipt(const Options& o, std::string& json) {
    if (!ReadAll(o.receiptFile, json)) return Failure(o, BRENVIK_E_ARGUMENT, "cannot read " + Shown(o.receiptFile));
    char* list = nullptr;
    const brenvik_status status = brenvik_receipt_check(nullptr, json.c_str(), &list);
    const ordered_json problems = ordered_json::parse(list != nullptr ? list : "[]", nullptr, false);
    brenvik_free(list);
    if (status == BRENVIK_OK) return kOk;
    if (!problems.is_array() || problems.empty()) return Failure(o, status, "the receipt cannot be checked");
    results::Failure f;
    f.status = results::StatusName(BRENVIK_E_ARGUMENT);
    f.message = problems[0]["message"].get<std::string>();
    if (problems.size() > 1) f.message += " (and " + std::to_string(problems.size() - 1) + " more problems)";
    f.path = problems[0]["path"].get<std::string>();
    f.hasPath = true;
    f.problems = problems;
    return Failure(o, BRENVIK_E_ARGUMENT, f, {{"outcome", "invalid"}});
}

int Receipt(const Options& o, brenvik_printer* p, const std::string& json) {
    brenvik_receipt_result r{};
    r.size = sizeof r;
    const brenvik_status status = brenvik_receipt_print(p, json.c_str(), nullptr, nullptr, &r);
    if (status == BRENVIK_OK) {
        Out out(o.json);
        out.Doc() = results::ReceiptClosed(r);
        out.Doc()["outcome"] = OutcomeName(r.outcome);
        out.Line("check", std::to_string(r.check_number));
        out.Line("total", Money(r.total));
        const std::pair<const char*, int64_t> paid[] = {
            {"cash", r.cash}, {"card", r.card}, {"credit", r.credit}, {"packing", r.packing}};
        for (const auto& row : paid) {
            if (row.second != 0) out.Line(row.first, Money(row.second));
        }
        out.Line("change", Money(r.change));
        out.Line("printer clock", Stamp(r.printer_time));
        out.Print();
        return kOk;
    }
    brenvik_error e{};
    e.size = sizeof e;
    brenvik_last_error(p, &e);
    results::Failure f = results::FailureOf(status, e);
    if (r.failed_path[0] != '\0') {
        f.path = r.failed_path;
        f.hasPath = true;
    }
    // A closing nobody can decide is neither success nor a safe failure.
    const bool uncertain = r.outcome == BRENVIK_RECEIPT_UNCERTAIN;
    if (uncertain) f.status = "unknown";
    const int code = uncertain ? kUnknown : ExitFor(status);
    if (o.json) {
        Failure(o, status, f,
                {{"outcome", OutcomeName(r.outcome)},
                 {"failedLine", r.failed_line >= 0 ? ordered_json(r.failed_line) : ordered_json(nullptr)},
                 {"cancelled", r.cancelled != 0}});
        return code;
    }
    progress.Stop();
    std::cerr << "brenvik: receipt " << OutcomeName(r.outcome) << ": "
              << (uncertain ? "unknown whether the check was closed: check the printer before retrying: " : "")
              << Told(results::Error(f, o.lang)["error"]) << std::endl;
    return code;
}

bool Confirmed(const char* question) {
    progress.Stop();
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

int main(int argc, char** argv) {
    const brenvik::cli::Console console(argc, argv);
    Options o;
    CLI::App app{std::string("brenvik " BRENVIK_VERSION_STRING
                             ": the Maria 301 MTM fiscal printer from the command line.\n\n"
                             "Amounts are decimal texts of currency units such as 12.50 (at most two decimals).\n"
                             "Reports and cash movements say whether they were printed, were not, or\n"
                             "whether that is unknown (--json: \"outcome\").\n") +
                 kExitCodes};
    app.name("brenvik");  // not argv[0]: help and completion name the tool
    app.set_version_flag("--version", std::string("brenvik " BRENVIK_VERSION_STRING));
    app.require_subcommand(1);
    // The options go before or after the subcommand: brenvik status --json.
    app.fallthrough();
    auto* device = app.add_option("--device", o.device, brenvik::cli::kDeviceHelp);
    auto* port = app.add_option("--port", o.port, brenvik::cli::kPortHelp)
                     ->check(CLI::Range(1, 256));
    device->excludes(port);
    app.add_option("--cashier", o.cashier, "Cashier name (up to 10 characters)");
    app.add_option("--password", o.password, "Cashier password (up to 10 characters)");
    app.add_flag("--json", o.json, "Print one JSON document on standard output");
    app.add_option("--lang", o.lang, "Language of the errors' meanings and advice: en (default) or uk")
        ->check(CLI::IsMember({"en", "uk"}));
    app.add_option("--log-dir", o.logDir, "Directory of the debug log Pelmora.log");
    app.add_option("--timeout", o.timeoutSeconds,
                   "Seconds the printer may stay silent (default 6); also bounds connecting (default about 8)")
        ->check(CLI::Range(0.1, 600.0));

    std::string receiptJson;
    int (*action)(const Options&, brenvik_printer*) = nullptr;
    auto* status = app.add_subcommand("status", "Connection, key, serial and fiscal numbers, last documents, clock");
    status->callback([&] { action = Status; });
    app.add_subcommand("config", "The printer's configuration")->callback([&] { action = Config; });
    app.add_subcommand("taxes", "The programmed tax groups")->callback([&] { action = Taxes; });
    app.add_subcommand("cash", "The cash registers")->callback([&] { action = Cash; });
    app.add_subcommand("fiscal", "The day's fiscal registers")->callback([&] { action = Fiscal; });
    app.add_subcommand("documents", "Numbers of the last check, document and Z-report")
        ->callback([&] { action = Documents; });
    auto* article = app.add_subcommand("article", "An article record of the printer");
    article->add_option("N", o.article, "Article number, 0 to 999999999")
        ->required()
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                const bool digits = !value.empty() && value.size() <= 9 &&
                                    value.find_first_not_of("0123456789") == std::string::npos;
                return digits ? std::string() : "an article number is 0 to 999999999, not \"" + Shown(value) + "\"";
            },
            "0-999999999", "article number"));
    article->callback([&] { action = Article; });
    app.add_subcommand("x-report", "Print the X-report")->callback([&] { action = XReport; });
    auto* z = app.add_subcommand("z-report", "Print the Z-report and close the day (asks first)");
    z->add_flag("--yes", o.yes, "Do not ask");
    z->callback([&] { action = ZReport; });
    auto* time = app.add_subcommand("time", "Show the printer's clock; 'time set' sets it");
    auto* timeSet = time->add_subcommand("set", "Set the clock: now, or YYYY-MM-DDThh:mm:ss (the date must be the printer's)");
    timeSet->add_option("WHEN", o.timeValue, "now or YYYY-MM-DDThh:mm:ss")->default_val("now");
    time->callback([&] { action = time->got_subcommand(timeSet) ? SetTime : ShowTime; });
    auto* cashIn = app.add_subcommand("cash-in", "Put cash into the drawer");
    cashIn->add_option("AMOUNT", o.amount, "Amount, such as 100.00")->required();
    cashIn->callback([&] { action = [](const Options& opt, brenvik_printer* p) { return MoveCash(opt, p, true); }; });
    auto* cashOut = app.add_subcommand("cash-out", "Take cash out of the drawer");
    cashOut->add_option("AMOUNT", o.amount, "Amount, such as 100.00")->required();
    cashOut->callback([&] { action = [](const Options& opt, brenvik_printer* p) { return MoveCash(opt, p, false); }; });
    auto* receipt = app.add_subcommand("receipt", "Print a sale or return receipt from a JSON document");
    receipt->add_option("FILE", o.receiptFile, "The document, or - for standard input")->required();
    receipt->callback([&] { action = nullptr; });
    auto* raw = app.add_subcommand("raw", "Send one command text and print the reply");
    raw->add_option("TEXT", o.rawText, "Command text, such as GETD")->required();
    raw->callback([&] { action = Raw; });
    std::string shell;
    auto* completion = app.add_subcommand("completion", "Print the shell completion script for bash or zsh");
    completion->add_option("SHELL", shell, "bash or zsh")->required()->check(CLI::IsMember({"bash", "zsh"}));
    brenvik::cli::DetectCommand detect(app);
    brenvik::cli::LogCommand logView(app);

    try {
        app.parse(console.Argc(), console.Argv());
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kOk : kUsage;
    }
    if (app.got_subcommand(completion)) {
        std::cout << brenvik::cli::CompletionScript(app, shell);
        return kOk;
    }
    if (detect.Chosen()) return detect.Run(o.json, {o.cashier, o.password, o.logDir, o.timeoutSeconds});
    if (logView.Chosen()) return logView.Run(o.logDir);
    if (o.device.empty() && o.port == 0)
        return Failure(o, BRENVIK_E_ARGUMENT, "give the printer with --device PATH or --port N");

    const bool isReceipt = app.got_subcommand(receipt);
    if (isReceipt) {
        const int code = ValidateReceipt(o, receiptJson);
        if (code != kOk) return code;
    }
    if (app.got_subcommand(z) && !o.yes && !Confirmed("Print the Z-report and close the day?"))
        return Failure(o, BRENVIK_E_ARGUMENT, "not confirmed; nothing was printed");

    int code = kOk;
    progress.Start();
    brenvik_printer* p = Connect(o, code);
    if (p == nullptr) return code;
    try {
        code = isReceipt ? Receipt(o, p, receiptJson) : action(o, p);
    } catch (const std::exception& e) {
        code = Failure(o, BRENVIK_E_INTERNAL, std::string("internal failure: ") + e.what());
    }
    progress.Stop();
    brenvik_close(p);
    return code;
}
