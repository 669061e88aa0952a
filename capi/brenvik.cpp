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
using brenvik::capi::Number;
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

brenvik_status Connect(brenvik_printer* p, const char* device, int32_t port, const char* cashier,
                       const char* password) {
    return Locked(p, [&](brenvik_printer& h) {
        std::string name;
        std::string secret;
        // The same on every printer, and none is connected yet.
        const brenvik::TextLimits& limits = brenvik::kWidestTextLimits;
        if (!ToEngineText(h, "cashier", cashier, limits.cashier, name)) return h.error.status;
        if (!ToEngineText(h, "password", password, limits.password, secret)) return h.error.status;
        if (device != nullptr) {
            if (device[0] == '\0') return h.Fail(BRENVIK_E_ARGUMENT, "device_path: empty", "device_path");
            h.engine->InitDevice(brenvik::capi::NativeDeviceName(device).c_str(), name.c_str(), secret.c_str());
        } else {
            if (port < 1) return h.Fail(BRENVIK_E_ARGUMENT, "port_number: must be 1 or more", "port_number");
            h.engine->Init(port, name.c_str(), secret.c_str(), 0, "");
        }
        const brenvik_status status = h.FromEngine();
        if (status != BRENVIK_OK && h.error.number <= brenvik::kErrNoConnection) {
            // The port's own errors say little to a person; name the device.
            // A path is any bytes; the message stays UTF-8.
            const std::string message =
                std::string(h.error.message) + " (" +
                (device != nullptr ? brenvik::text::Showable(device) : "port " + std::to_string(port)) + ")";
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

brenvik_datetime DateTime(const char* date8, const char* time6) {
    brenvik_datetime t{};
    if (date8 != nullptr && std::strlen(date8) >= 8) {
        t.year = static_cast<int32_t>(Number(date8, 4));
        t.month = static_cast<int32_t>(Number(date8 + 4, 2));
        t.day = static_cast<int32_t>(Number(date8 + 6, 2));
    }
    if (time6 != nullptr && std::strlen(time6) >= 6) {
        t.hour = static_cast<int32_t>(Number(time6, 2));
        t.minute = static_cast<int32_t>(Number(time6 + 2, 2));
        t.second = static_cast<int32_t>(Number(time6 + 4, 2));
    }
    return t;
}

// Copies a 1251 field as UTF-8 into a fixed field of a struct, trailing
// blanks dropped.
void CopyField(char* dest, size_t size, const char* source) {
    std::string text = brenvik::text::Cp1251ToUtf8(std::string(source));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    brenvik::CopyText(dest, size, text.c_str());
}

// Number of a fixed-width field of a reply text; 0 past its end.
int64_t Field(const char* text, size_t offset, size_t width) {
    const size_t length = std::strlen(text);
    if (offset >= length) return 0;
    return Number(text + offset, width);
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
        p->MakeEngine();
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
        h.engine->Done();
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
        printer->engine->Done();
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
        h.MakeEngine();
        return h.Ok();
    });
}

brenvik_status brenvik_set_log_archives_kept(brenvik_printer* printer, uint32_t count) {
    return Locked(printer, [&](brenvik_printer& h) {
        h.logArchivesKept = count;
        h.engine->LogArchivesKept = count;
        return h.Ok();
    });
}

brenvik_status brenvik_set_timeout(brenvik_printer* printer, uint32_t timeout_ms) {
    return Locked(printer, [&](brenvik_printer& h) {
        if (timeout_ms < 100 || timeout_ms > 600000)
            return h.Fail(BRENVIK_E_ARGUMENT, "timeout_ms: must be 100 to 600000", "timeout_ms");
        h.timeoutMs = timeout_ms;
        h.engine->ReplySilenceMs = timeout_ms;
        return h.Ok();
    });
}

brenvik_status brenvik_last_error(brenvik_printer* printer, brenvik_error* info) {
    if (printer == nullptr || info == nullptr) return BRENVIK_E_ARGUMENT;
    std::lock_guard<std::mutex> lock(printer->mutex);
    *info = printer->error;
    return info->status;
}

int32_t brenvik_port_number(brenvik_printer* printer) {
    (void)printer;
    return 1;
}

brenvik_status brenvik_lock(brenvik_printer* printer, int32_t timeout_ms) {
    return Locked(printer, [&](brenvik_printer& h) {
        h.engine->LockPrinter(timeout_ms);
        return h.Ok();
    });
}

brenvik_status brenvik_unlock(brenvik_printer* printer) {
    return Locked(printer, [](brenvik_printer& h) {
        h.engine->UnlockPrinter();
        return h.Ok();
    });
}

// ---- Information as structs ----------------------------------------------

brenvik_status brenvik_get_config(brenvik_printer* printer, brenvik_config* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_config{};
    return Command(printer, [&](PrinterEngine& e) {
        e.ReadPrinterConfig();
        if (!e.Succeeded()) return;
        CopyField(out->serial_number, sizeof out->serial_number, e.SerialNumber);
        CopyField(out->fiscal_number, sizeof out->fiscal_number, e.FiscalNumber);
        CopyField(out->owner, sizeof out->owner, e.Owner);
        out->printer_time = DateTime(e.PrinterDate, e.PrinterTime);
        out->key_position = brenvik::fiscal::KeyNumber(e.KeyPosition[0]);
        out->key_letter = brenvik::fiscal::KeyLetter(e.KeyPosition[0])[0];
        out->check_number = Number(e.CheckNumber, sizeof e.CheckNumber - 1);
        CopyField(out->printer_variant, sizeof out->printer_variant, e.PrinterVariant);
        CopyField(out->firmware_date, sizeof out->firmware_date, e.FirmwareDate);
        CopyField(out->currency_date, sizeof out->currency_date, e.CurrencyDate);
        out->decimal_point = static_cast<int32_t>(Number(e.DecPointPosition, 1));
        CopyField(out->currency, sizeof out->currency, e.CurrencyName);
    });
}

brenvik_status brenvik_get_documents(brenvik_printer* printer, brenvik_documents* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_documents{};
    return Command(printer, [&](PrinterEngine& e) {
        e.GetDocumentsInfo();
        if (!e.Succeeded()) return;
        out->last_check_number = Number(e.LastCheckNumber, 10);
        out->last_document_number = Number(e.LastDocNumber, 10);
        out->last_service_document_number = Number(e.LastServDocNumber, 10);
        out->last_z_report_number = Number(e.LastZReportNumber, 4);
        out->article_mode = static_cast<int32_t>(Number(e.ArticleMode, 1));
        out->fiscal_report_made = static_cast<int32_t>(Number(e.FiscalReportMade, 1));
    });
}

brenvik_status brenvik_get_taxes(brenvik_printer* printer, brenvik_taxes* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_taxes{};
    return Command(printer, [&](PrinterEngine& e) {
        e.ReadTaxRates();
        if (!e.Succeeded()) return;
        for (int k = 0; k < 8; ++k) {
            const char* record = e.TaxRateTable[k];
            if (std::strlen(record) < 14 || std::strcmp(record, "00000000000000") == 0) continue;
            brenvik_tax& tax = out->tax[k];
            tax.programmed = 1;
            tax.since = DateTime(record, nullptr);
            const char type[2] = {record[9], '\0'};
            CopyField(tax.type, sizeof tax.type, type);
            tax.rate = static_cast<int32_t>(Number(record + 10, 4));
        }
    });
}

brenvik_status brenvik_get_cash(brenvik_printer* printer, brenvik_cash* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_cash{};
    return Command(printer, [&](PrinterEngine& e) {
        const char* text = e.GetCashInfo();
        if (!e.Succeeded()) return;
        int64_t* fields[] = {&out->rest,    &out->income, &out->outcome,      &out->sales,
                             &out->returns, &out->total,  &out->check_income, &out->check_outcome};
        for (size_t k = 0; k < 8; ++k) *fields[k] = Field(text, k * 11, 11);
    });
}

brenvik_status brenvik_get_fiscal(brenvik_printer* printer, brenvik_fiscal* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_fiscal{};
    return Command(printer, [&](PrinterEngine& e) {
        const char* text = e.GetFiscalInfo();
        if (!e.Succeeded()) return;
        out->total = Field(text, 0, 12);
        for (size_t k = 0; k < 8; ++k) out->tax_total[k] = Field(text, (1 + k) * 12, 12);
        out->untaxed_total = Field(text, 9 * 12, 12);
        out->returns = Field(text, 10 * 12, 12);
        for (size_t k = 0; k < 8; ++k) out->tax_return[k] = Field(text, (11 + k) * 12, 12);
        out->untaxed_return = Field(text, 19 * 12, 12);
    });
}

brenvik_status brenvik_get_article(brenvik_printer* printer, int32_t article, brenvik_article* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_article{};
    return Command(printer, [&](PrinterEngine& e) {
        const std::string text = e.GetArticleInfo(article);
        if (!e.Succeeded() || text.size() < 56) return;
        out->index = static_cast<int32_t>(Number(text.c_str(), 4));
        CopyField(out->name, sizeof out->name, text.substr(4, 24).c_str());
        out->weighed = text[28] == '1' ? 1 : 0;
        CopyField(out->taxes, sizeof out->taxes, text.substr(29, 8).c_str());
        out->sold_quantity = Number(text.c_str() + 37, 10);
        out->sale_sum = Number(text.c_str() + 47, 10);
        if (text.size() > 56) out->long_code = Number(text.c_str() + 56, 9);
    });
}

brenvik_status brenvik_get_time(brenvik_printer* printer, brenvik_datetime* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_datetime{};
    return Command(printer, [&](PrinterEngine& e) {
        e.GetPrinterTime();
        if (e.Succeeded()) *out = DateTime(e.PrinterDate, e.PrinterTime);
    });
}

brenvik_status brenvik_get_check_result(brenvik_printer* printer, brenvik_check_result* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_check_result{};
    return Locked(printer, [&](brenvik_printer& h) {
        const char* text = h.engine->CheckResultText;
        int64_t* fields[] = {&out->check_number,         &out->total,
                             &out->onsale_taxes,         &out->included_taxes,
                             &out->saleincluded_taxes,   &out->return_total,
                             &out->return_onsale_taxes,  &out->return_included_taxes,
                             &out->return_saleincluded_taxes};
        for (size_t k = 0; k < 9; ++k) *fields[k] = Field(text, k * 10, 10);
        return h.Ok();
    });
}

brenvik_status brenvik_get_check_sums(brenvik_printer* printer, brenvik_check_sums* out) {
    if (NullOut(printer, out) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *out = brenvik_check_sums{};
    return Locked(printer, [&](brenvik_printer& h) {
        PrinterEngine& e = *h.engine;
        out->sum = e.GetCheckSum();
        out->onsale_taxes = e.GetCheckOnSaleTaxes();
        out->return_sum = e.GetCheckReturnSum();
        out->return_onsale_taxes = e.GetCheckReturnOnSaleTaxes();
        out->last_line_taxes = e.GetLastLineTaxes();
        return h.Ok();
    });
}

brenvik_status brenvik_last_outcome(brenvik_printer* printer, brenvik_outcome* outcome) {
    if (NullOut(printer, outcome) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *outcome = BRENVIK_OUTCOME_NONE;
    return Locked(printer, [&](brenvik_printer& h) {
        // Read beside the error of the operation it describes: that stays.
        *outcome = brenvik::capi::OutcomeOf(h.engine->LastOutcome());
        return BRENVIK_OK;
    });
}

brenvik_status brenvik_last_check_number(brenvik_printer* printer, int64_t* number) {
    if (NullOut(printer, number) != BRENVIK_OK) return BRENVIK_E_ARGUMENT;
    *number = 0;
    return Locked(printer, [&](brenvik_printer& h) {
        *number = h.engine->LastClosedCheck();
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
