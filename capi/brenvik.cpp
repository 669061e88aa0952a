// The C API over the engine: handles, connection, operations and queries.
// Every call takes the handle's lock, converts its texts before anything is
// sent, runs one engine operation and turns the engine's outcome into a
// status. No exception crosses the boundary.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brenvik/brenvik.h"
#include "codepage/cp1251.h"
#include "capi/handle.h"
#include "capi/ports.h"
#include "engine/commands/text_limits.h"
#include "engine/fiscal/fiscal_helpers.h"

using brenvik::PrinterEngine;
using brenvik::capi::Duplicate;
using brenvik::capi::Deliver;
using brenvik::capi::SizeSet;
using brenvik::capi::Zero;
using brenvik::capi::ToEngineText;

namespace {

// Runs `body` with the handle held; exceptions become statuses.
template <class Body>
brenvik_status Locked(brenvik_printer* p, Body&& body) {
    if (p == nullptr) return BRENVIK_E_ARGUMENT;
    std::lock_guard<std::mutex> lock(p->mutex);
    try {
        return body(*p);
    } catch (const std::bad_alloc&) {
        return p->Fail(BRENVIK_E_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return p->Fail(BRENVIK_E_INTERNAL, std::string("internal failure: ") + e.what());
    } catch (...) {
        return p->Fail(BRENVIK_E_INTERNAL, "internal failure");
    }
}

brenvik_status NotConnected(brenvik_printer& p) { return p.Fail(BRENVIK_E_STATE, "not connected to a printer"); }

// One engine operation on a connected handle; the outcome by the engine's
// success rule.
template <class Op>
brenvik_status Command(brenvik_printer* p, Op&& op) {
    return Locked(p, [&](brenvik_printer& h) {
        if (!h.Connected()) return NotConnected(h);
        op(*h.engine);
        return h.FromEngine();
    });
}

// A text query: the engine's text (code page 1251) as an allocated UTF-8
// text. `exchange` false: the text comes from what the engine keeps, so an
// earlier failure does not count.
template <class Op>
brenvik_status TextQuery(brenvik_printer* p, char** out, bool exchange, Op&& op) {
    if (out != nullptr) *out = nullptr;
    if (out == nullptr) return p != nullptr ? Locked(p, [](brenvik_printer& h) {
        return h.Fail(BRENVIK_E_ARGUMENT, "out: NULL", "out");
    }) : BRENVIK_E_ARGUMENT;
    return Locked(p, [&](brenvik_printer& h) {
        if (!h.Connected()) return NotConnected(h);
        const char* result = op(*h.engine);
        if (exchange) {
            const brenvik_status status = h.FromEngine();
            if (status != BRENVIK_OK) return status;
        } else {
            h.Ok();
        }
        *out = Duplicate(brenvik::text::Cp1251ToUtf8(std::string(result != nullptr ? result : "")));
        return *out != nullptr ? BRENVIK_OK : h.Fail(BRENVIK_E_MEMORY, "out of memory");
    });
}

template <class T>
brenvik_status NullOut(brenvik_printer* p, T* out) {
    if (out != nullptr) return BRENVIK_OK;
    if (p == nullptr) return BRENVIK_E_ARGUMENT;
    std::lock_guard<std::mutex> lock(p->mutex);
    return p->Fail(BRENVIK_E_ARGUMENT, "out: NULL", "out");
}

// A struct that grows: not NULL, its size set; then zeroed as far as it goes.
template <class T>
brenvik_status SizedOut(brenvik_printer* p, T* out) {
    if (NullOut(p, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    if (!SizeSet(out)) {
        if (p == nullptr) return BRENVIK_E_ARGUMENT;
        std::lock_guard<std::mutex> lock(p->mutex);
        return p->Fail(BRENVIK_E_ARGUMENT, "out->size: not set (it must be sizeof the struct)", "out");
    }
    Zero(out);
    return BRENVIK_OK;
}

brenvik_status Connect(brenvik_printer* p, const char* device, int32_t port, const char* cashier,
                       const char* password) {
    return Locked(p, [&](brenvik_printer& h) {
        std::string name;
        std::string secret;
        // The same on every printer, and none is connected yet.
        const brenvik::TextLimits& limits = brenvik::kWidestTextLimits;
        if (!ToEngineText(h, "cashier", cashier, limits.cashier, name)) return h.Status();
        if (!ToEngineText(h, "password", password, limits.password, secret)) return h.Status();
        if (device != nullptr) {
            if (device[0] == '\0') return h.Fail(BRENVIK_E_ARGUMENT, "device_path: empty", "device_path");
            if (!h.engine) h.MakeEngine();
            h.engine->InitDevice(brenvik::capi::NativeDeviceName(device).c_str(), name.c_str(), secret.c_str());
        } else {
            if (port < 1) return h.Fail(BRENVIK_E_ARGUMENT, "port_number: must be 1 or more", "port_number");
            if (!h.engine) h.MakeEngine();
            h.engine->Init(port, name.c_str(), secret.c_str(), 0, "");
        }
        const brenvik_status status = h.FromEngine();
        if (status != BRENVIK_OK && h.error.number <= brenvik::kErrNoConnection) {
            // The port's own errors say little to a person; name the device.
            // A path is any bytes; the message stays UTF-8.
            std::string message =
                std::string(h.error.message) + " (" +
                (device != nullptr ? brenvik::text::Showable(device) : "port " + std::to_string(port)) + ")";
            // Why, in the system's words; what to do about it is the advice.
            const brenvik::LineFailure& why = h.engine->PortFailure();
            if (why.kind != brenvik::LineFailureKind::None) {
                message += ": " + why.text;
                const std::string advice = brenvik::capi::PortAdvice(why);
                brenvik::CopyText(h.error.advice, sizeof h.error.advice, advice.c_str());
            }
            brenvik::CopyText(h.error.message, sizeof h.error.message, message.c_str());
        }
        return status;
    });
}

brenvik_status Open(const char* device, int32_t port, const char* cashier, const char* password,
                    brenvik_printer** out) {
    if (out == nullptr) return BRENVIK_E_ARGUMENT;
    const brenvik_status created = brenvik_create(out);
    if (created != BRENVIK_OK) return created;
    return Connect(*out, device, port, cashier, password);
}

brenvik_datetime DateTime(const brenvik::PrinterClock& t) {
    return brenvik_datetime{t.year, t.month, t.day, t.hour, t.minute, t.second};
}

// Copies a 1251 field as UTF-8 into a fixed field of a struct, trailing
// blanks dropped.
void CopyField(char* dest, size_t size, const std::string& source) {
    std::string text = brenvik::text::Cp1251ToUtf8(source);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    brenvik::CopyText(dest, size, text.c_str());
}

}  // namespace

extern "C" {

const char* brenvik_version(void) { return BRENVIK_VERSION_STRING; }

const char* brenvik_status_text(brenvik_status status) {
    switch (status) {
    case BRENVIK_OK: return "ok";
    case BRENVIK_E_ARGUMENT: return "bad argument";
    case BRENVIK_E_REFUSED: return "refused by the printer";
    case BRENVIK_E_NO_CONNECTION: return "no connection";
    case BRENVIK_E_STATE: return "wrong state";
    case BRENVIK_E_MEMORY: return "out of memory";
    case BRENVIK_E_UNSUPPORTED: return "unsupported";
    case BRENVIK_E_UNCERTAIN: return "outcome unknown";
    case BRENVIK_E_INTERNAL: return "internal failure";
    }
    return "unknown status";
}

void brenvik_free(void* text) { std::free(text); }

brenvik_status brenvik_create(brenvik_printer** out) {
    if (out == nullptr) return BRENVIK_E_ARGUMENT;
    *out = nullptr;
    try {
        auto* p = new brenvik_printer;
        p->pieces = brenvik::NewNativePieces();
        // The engine (and its log) comes with the first connection, in the
        // log directory the caller has set by then.
        *out = p;
        return BRENVIK_OK;
    } catch (const std::bad_alloc&) {
        return BRENVIK_E_MEMORY;
    } catch (...) {
        return BRENVIK_E_INTERNAL;
    }
}

brenvik_status brenvik_connect_device(brenvik_printer* printer, const char* device_path, const char* cashier,
                                      const char* password) {
    if (printer != nullptr && device_path == nullptr) device_path = "";
    return Connect(printer, device_path, 0, cashier, password);
}

brenvik_status brenvik_connect_port(brenvik_printer* printer, int32_t port_number, const char* cashier,
                                    const char* password) {
    return Connect(printer, nullptr, port_number, cashier, password);
}

brenvik_status brenvik_open_device(const char* device_path, const char* cashier, const char* password,
                                   brenvik_printer** out) {
    return Open(device_path != nullptr ? device_path : "", 0, cashier, password, out);
}

brenvik_status brenvik_open_port(int32_t port_number, const char* cashier, const char* password,
                                 brenvik_printer** out) {
    return Open(nullptr, port_number, cashier, password, out);
}

brenvik_status brenvik_disconnect(brenvik_printer* printer) {
    return Locked(printer, [](brenvik_printer& h) {
        if (h.engine) h.engine->Done();
        return h.Ok();
    });
}

int brenvik_is_connected(brenvik_printer* printer) {
    if (printer == nullptr) return 0;
    std::lock_guard<std::mutex> lock(printer->mutex);
    return printer->Connected() ? 1 : 0;
}

void brenvik_close(brenvik_printer* printer) {
    if (printer == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(printer->mutex);
        if (printer->engine) printer->engine->Done();
        printer->engine.reset();
        printer->pieces.log->Close();
    }
    delete printer;
}

brenvik_status brenvik_set_log_directory(brenvik_printer* printer, const char* directory) {
    return Locked(printer, [&](brenvik_printer& h) {
        if (h.Connected()) return h.Fail(BRENVIK_E_STATE, "the log directory is set before connecting", "directory");
        h.logDirectory = directory != nullptr ? directory : "";
        while (h.logDirectory.size() > 1 && h.logDirectory.back() == '/') h.logDirectory.pop_back();
        h.engine.reset();  // made anew, in this directory, by the next connection
        h.pieces.log->Close();
        return h.Ok();
    });
}

brenvik_status brenvik_set_log_archives_kept(brenvik_printer* printer, uint32_t count) {
    return Locked(printer, [&](brenvik_printer& h) {
        h.logArchivesKept = count;
        if (h.engine) h.engine->LogArchivesKept = count;
        return h.Ok();
    });
}

brenvik_status brenvik_set_timeout(brenvik_printer* printer, uint32_t timeout_ms) {
    return Locked(printer, [&](brenvik_printer& h) {
        if (timeout_ms < 100 || timeout_ms > 600000)
            return h.Fail(BRENVIK_E_ARGUMENT, "timeout_ms: must be 100 to 600000", "timeout_ms");
        h.timeoutMs = timeout_ms;
        if (h.engine) h.engine->ReplySilenceMs = timeout_ms;
        return h.Ok();
    });
}

brenvik_status brenvik_set_connect_timeout(brenvik_printer* printer, uint32_t timeout_ms) {
    return Locked(printer, [&](brenvik_printer& h) {
        if (timeout_ms != 0 && (timeout_ms < 100 || timeout_ms > 600000))
            return h.Fail(BRENVIK_E_ARGUMENT, "timeout_ms: must be 0, or 100 to 600000", "timeout_ms");
        h.connectTimeoutMs = timeout_ms;
        if (h.engine) h.engine->ConnectBudgetMs = timeout_ms;
        return h.Ok();
    });
}

brenvik_status brenvik_last_error(brenvik_printer* printer, brenvik_error* info) {
    if (printer == nullptr || info == nullptr || !SizeSet(info)) return BRENVIK_E_ARGUMENT;
    std::lock_guard<std::mutex> lock(printer->mutex);
    Deliver(info, brenvik::capi::Explained(printer->error));
    return printer->Status();
}

// ---- Information as structs ----------------------------------------------

brenvik_status brenvik_get_config(brenvik_printer* printer, brenvik_config* out) {
    if (SizedOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Command(printer, [&](PrinterEngine& e) {
        brenvik::ConfigValues v;
        if (!e.ReadConfigValues(v)) return;
        brenvik_config c{};
        CopyField(c.serial_number, sizeof c.serial_number, v.serialNumber);
        CopyField(c.fiscal_number, sizeof c.fiscal_number, v.fiscalNumber);
        CopyField(c.owner, sizeof c.owner, v.owner);
        c.printer_time = DateTime(v.time);
        c.key_position = v.keyNumber;
        c.key_letter = v.keyLetter;
        c.check_number = v.checkNumber;
        CopyField(c.printer_variant, sizeof c.printer_variant, v.variant);
        CopyField(c.firmware_date, sizeof c.firmware_date, v.firmwareDate);
        CopyField(c.currency_date, sizeof c.currency_date, v.currencyDate);
        c.decimal_point = v.decimalPoint;
        CopyField(c.currency, sizeof c.currency, v.currency);
        Deliver(out, c);
    });
}

brenvik_status brenvik_get_documents(brenvik_printer* printer, brenvik_documents* out) {
    if (SizedOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Command(printer, [&](PrinterEngine& e) {
        brenvik::DocumentNumbers d;
        if (!e.ReadDocuments(d)) return;
        brenvik_documents o{};
        o.last_check_number = d.lastCheck;
        o.last_document_number = d.lastDocument;
        o.last_service_document_number = d.lastServiceDocument;
        o.last_z_report_number = d.lastZReport;
        o.article_mode = d.articleMode;
        o.fiscal_report_made = d.fiscalReportMade ? 1 : 0;
        Deliver(out, o);
    });
}

brenvik_status brenvik_get_taxes(brenvik_printer* printer, brenvik_taxes* out) {
    if (SizedOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Command(printer, [&](PrinterEngine& e) {
        brenvik::TaxGroup groups[8];
        if (!e.ReadTaxGroups(groups)) return;
        brenvik_taxes o{};
        for (size_t k = 0; k < 8; ++k) {
            if (!groups[k].programmed) continue;
            brenvik_tax& tax = o.tax[k];
            tax.programmed = 1;
            tax.since = DateTime(groups[k].since);
            CopyField(tax.type, sizeof tax.type, std::string(1, groups[k].type));
            tax.rate = groups[k].rate;
        }
        Deliver(out, o);
    });
}

brenvik_status brenvik_get_cash(brenvik_printer* printer, brenvik_cash* out) {
    if (SizedOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Command(printer, [&](PrinterEngine& e) {
        brenvik::CashRegisters c;
        if (!e.ReadCash(c)) return;
        Deliver(out, brenvik_cash{0, c.rest, c.income, c.outcome, c.sales, c.returns, c.total, c.checkIncome,
                                  c.checkOutcome});
    });
}

brenvik_status brenvik_get_fiscal(brenvik_printer* printer, brenvik_fiscal* out) {
    if (SizedOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Command(printer, [&](PrinterEngine& e) {
        brenvik::DayRegisters d;
        if (!e.ReadDay(d)) return;
        brenvik_fiscal o{};
        o.total = d.total;
        std::copy(std::begin(d.taxTotal), std::end(d.taxTotal), o.tax_total);
        o.untaxed_total = d.untaxedTotal;
        o.returns = d.returns;
        std::copy(std::begin(d.taxReturn), std::end(d.taxReturn), o.tax_return);
        o.untaxed_return = d.untaxedReturn;
        Deliver(out, o);
    });
}

brenvik_status brenvik_get_article(brenvik_printer* printer, int32_t article, brenvik_article* out) {
    if (SizedOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Command(printer, [&](PrinterEngine& e) {
        brenvik::ArticleRecord r;
        if (!e.ReadArticleRecord(article, r)) return;
        brenvik_article o{};
        o.index = r.index;
        CopyField(o.name, sizeof o.name, r.name);
        o.weighed = r.weighed ? 1 : 0;
        CopyField(o.taxes, sizeof o.taxes, r.taxes);
        o.sold_quantity = r.soldQuantity;
        o.sale_sum = r.saleSum;
        o.long_code = r.longCode;
        Deliver(out, o);
    });
}

brenvik_status brenvik_get_time(brenvik_printer* printer, brenvik_datetime* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_datetime{};
    return Command(printer, [&](PrinterEngine& e) {
        brenvik::PrinterClock t;
        if (e.ReadClock(t)) *out = DateTime(t);
    });
}

brenvik_status brenvik_get_check_result(brenvik_printer* printer, brenvik_check_result* out) {
    if (SizedOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Locked(printer, [&](brenvik_printer& h) {
        const brenvik::CheckTotals t = h.engine ? h.engine->LastCheckTotals() : brenvik::CheckTotals{};
        Deliver(out, brenvik_check_result{0, t.checkNumber, t.total, t.onSaleTaxes, t.includedTaxes,
                                          t.saleIncludedTaxes, t.returnTotal, t.returnOnSaleTaxes,
                                          t.returnIncludedTaxes, t.returnSaleIncludedTaxes});
        return h.Ok();
    });
}

brenvik_status brenvik_get_check_sums(brenvik_printer* printer, brenvik_check_sums* out) {
    if (SizedOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    return Locked(printer, [&](brenvik_printer& h) {
        if (!h.engine) return h.Ok();  // never connected: no check, all zero
        PrinterEngine& e = *h.engine;
        Deliver(out, brenvik_check_sums{0, e.GetCheckSum(), e.GetCheckOnSaleTaxes(), e.GetCheckReturnSum(),
                                        e.GetCheckReturnOnSaleTaxes(), e.GetLastLineTaxes()});
        return h.Ok();
    });
}

brenvik_status brenvik_last_outcome(brenvik_printer* printer, int32_t* outcome) {
    if (NullOut(printer, outcome) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *outcome = BRENVIK_OUTCOME_NONE;
    return Locked(printer, [&](brenvik_printer& h) {
        // Read beside the error of the operation it describes: that stays.
        if (h.engine) *outcome = brenvik::capi::OutcomeOf(h.engine->LastOutcome());
        return BRENVIK_OK;
    });
}

brenvik_status brenvik_last_check_number(brenvik_printer* printer, int64_t* number) {
    if (NullOut(printer, number) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *number = 0;
    return Locked(printer, [&](brenvik_printer& h) {
        if (h.engine) *number = h.engine->LastClosedCheck();
        return BRENVIK_OK;
    });
}

// ---- Information as texts ------------------------------------------------

brenvik_status brenvik_serial_number(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, false, [](PrinterEngine& e) { return e.GetPrinterSerialNumber(); });
}
brenvik_status brenvik_config_text(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetPrinterConfig(); });
}
brenvik_status brenvik_config_xml(brenvik_printer* printer, int refresh, char** out) {
    return TextQuery(printer, out, refresh != 0,
                     [&](PrinterEngine& e) { return e.GetPrinterConfigXML(refresh != 0 ? 1 : 0); });
}
brenvik_status brenvik_time_text(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetPrinterTime(); });
}
brenvik_status brenvik_key_position(brenvik_printer* printer, int32_t* key_position) {
    if (NullOut(printer, key_position) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *key_position = 0;
    return Command(printer, [&](PrinterEngine& e) { *key_position = e.GetPrinterKeyPosition(); });
}
brenvik_status brenvik_taxes_text(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetTaxesInfo(); });
}
brenvik_status brenvik_taxes_xml(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetTaxesInfoXML(); });
}
brenvik_status brenvik_article_text(brenvik_printer* printer, int32_t article, char** out) {
    return TextQuery(printer, out, true, [&](PrinterEngine& e) { return e.GetArticleInfo(article); });
}
brenvik_status brenvik_article_xml(brenvik_printer* printer, int32_t article, char** out) {
    return TextQuery(printer, out, true, [&](PrinterEngine& e) { return e.GetArticleInfoXML(article); });
}
brenvik_status brenvik_cash_text(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetCashInfo(); });
}
brenvik_status brenvik_cash_xml(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetCashInfoXML(); });
}
brenvik_status brenvik_fiscal_text(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetFiscalInfo(); });
}
brenvik_status brenvik_fiscal_xml(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetFiscalInfoXML(); });
}
brenvik_status brenvik_documents_text(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetDocumentsInfo(); });
}
brenvik_status brenvik_documents_xml(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, true, [](PrinterEngine& e) { return e.GetDocumentsInfoXML(); });
}
brenvik_status brenvik_check_result_text(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, false, [](PrinterEngine& e) { return e.GetCheckResult(); });
}
brenvik_status brenvik_check_result_xml(brenvik_printer* printer, char** out) {
    return TextQuery(printer, out, false, [](PrinterEngine& e) { return e.GetCheckResultXML(); });
}

}  // extern "C"
