/*
 * libbrenvik: the C interface to the Maria 301 MTM fiscal printer.
 *
 * This header is the manual. Read the conventions first; every function
 * below follows them unless its own comment says otherwise.
 *
 * HANDLES. A brenvik_printer is one printer on one serial line, with its own
 * line, debug log, clock and check state. Handles share nothing: two
 * printers can be driven from two threads at once. One handle may be used
 * from several threads; its calls are serialised (a call waits while another
 * thread's call on the same handle runs). brenvik_close must be the last call
 * on a handle and must not overlap any other call on it.
 *
 * STATUS. Every function that can fail returns a brenvik_status. BRENVIK_OK
 * is 0; every failure is negative. The details of the last failure on a
 * handle are kept until the next call on that handle that fails or succeeds:
 * brenvik_last_error reads them as often as wanted (nothing is read-once).
 * A successful call leaves a clear error (status BRENVIK_OK, number 0).
 *
 * TEXTS. Texts in and out are UTF-8, zero-terminated. They are converted to
 * and from the printer's code page (Windows-1251) inside the library. A text
 * with a character that code page cannot hold is refused with
 * BRENVIK_E_ARGUMENT and an error naming the argument; a text longer than
 * its field (limits counted in printer characters, which are Unicode
 * characters, not UTF-8 bytes) is refused with an error naming the field and
 * its limit. In both cases nothing is sent. No text is ever cut silently.
 * The limits are those of the connected printer (the widest ones while none
 * is connected): its printed line holds 43 characters, 36 on the narrow
 * variant "vTTs"; a goods name takes 55 characters on the short sale line
 * (42 weighed; 48 and 35 on "vTTs") and 128 on the long one (T3+ firmware
 * with long article numbers). Control characters and NUL are refused, and
 * refusals name the character as U+XXXX.
 * A NULL text argument counts as the empty text. Texts the caller passes are
 * borrowed for the duration of the call only.
 *
 * MEMORY. Texts the library returns through `char** out` are allocated by the
 * library and freed by the caller with brenvik_free. Structs the caller
 * passes for filling are owned by the caller and hold no pointers.
 *
 * STRUCTS THAT GROW. Every struct the library fills begins with
 * `uint32_t size`, which the caller sets to sizeof the struct as its header
 * declares it, before the call:
 *     brenvik_cash cash = {sizeof cash};
 * The library writes only within those `size` bytes: a program built with
 * an older header, whose struct ends earlier, gets the fields it knows and
 * nothing past them. Fields of a newer header that this library does not
 * know are left as the caller set them (the initialiser above sets them to
 * zero, which means "not reported"). `size` itself is never changed. A size below
 * sizeof(uint32_t) (0: not set) is refused with BRENVIK_E_ARGUMENT. New
 * fields are only ever added at the end. Structs hold fixed-width integers
 * and character arrays only (no enums, no pointers). brenvik_datetime is a
 * plain value and never grows.
 *
 * VERSIONS. This is the second ABI of the library (libbrenvik.so.2,
 * brenvik.dll): BRENVIK_ABI_MAJOR.BRENVIK_ABI_MINOR below. Each section says
 * the ABI version its functions and fields appeared in ("Since 2.0");
 * a function or field added later says so in its own comment. Within ABI 2
 * nothing is removed or changed, only added.
 *
 * UNITS. Amounts are int64_t integers in kopecks (hundredths of the currency
 * unit); an amount the printer's registers cannot hold is refused with
 * BRENVIK_E_ARGUMENT naming the argument.
 * Quantities are integers as the printer takes them: pieces for piece goods,
 * thousandths of a kilogram for weighed goods. Times are in milliseconds.
 * Tax groups are numbered 1 to 8; 0 means none.
 *
 * MESSAGE BOXES. None ever shows. The debug log (Pelmora.log) keeps its
 * format (code page 1251 text); by default it goes to $BRENVIK_LOG_DIR,
 * else on Linux to /var/log/brenvik when writable (the service's), else to
 * $XDG_STATE_HOME/brenvik (~/.local/state/brenvik), never beside the
 * library: when none can be written, standard error says so once. On
 * Windows: the registry value HKLM\Software\Brenvik LogDirectory, else
 * beside the module, %ProgramData%\Brenvik when that cannot be written.
 */
#ifndef BRENVIK_BRENVIK_H
#define BRENVIK_BRENVIK_H

#include <stddef.h>
#include <stdint.h>

/* BRENVIK_VERSION_MAJOR, _MINOR, _PATCH and _STRING: the version of the
 * library this header belongs to (generated from the project's version). */
#include "brenvik_version.h"

/* The ABI version of this header: the major is the shared library's
 * SONAME (libbrenvik.so.2); the minor counts additions. */
#define BRENVIK_ABI_MAJOR 2
#define BRENVIK_ABI_MINOR 0

/* Windows: programs linking brenvik.dll import its functions; define
 * BRENVIK_STATIC when the library is linked in instead. */
#if defined(BRENVIK_STATIC)
#define BRENVIK_API
#elif defined(_WIN32) && defined(BRENVIK_BUILDING_DLL)
#define BRENVIK_API __declspec(dllexport)
#elif defined(_WIN32)
#define BRENVIK_API __declspec(dllimport)
#elif defined(__GNUC__)
#define BRENVIK_API __attribute__((visibility("default")))
#else
#define BRENVIK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================
 * Status, errors, version. Since 2.0.
 * ====================================================================== */

typedef enum brenvik_status {
    BRENVIK_OK = 0,
    /* A bad argument or bad input: a NULL handle or out-pointer, a text the
     * printer cannot hold or that is too long for its field, a value out of
     * range, a receipt document that does not validate. Nothing was sent. */
    BRENVIK_E_ARGUMENT = -1,
    /* The printer (or the engine on its behalf, before sending) refused the
     * operation: brenvik_last_error gives the error number and word. */
    BRENVIK_E_REFUSED = -2,
    /* No connection: the port could not be opened, the printer stayed
     * silent, or the link dropped. */
    BRENVIK_E_NO_CONNECTION = -3,
    /* The handle is not in a state for this call: not connected, or a
     * setting that only applies before connecting. Nothing was sent. */
    BRENVIK_E_STATE = -4,
    /* Memory could not be allocated. */
    BRENVIK_E_MEMORY = -5,
    /* The operation is not available in this build or on this platform. */
    BRENVIK_E_UNSUPPORTED = -6,
    /* The printer may or may not have carried out an operation that changes
     * its state (a closing, a report, a cash movement, a zero check, a
     * copy): its reply was lost or garbled, and neither a late reply nor
     * the counters it reports could tell which (error number 95,
     * "UNCONFIRMED"). Look at the printer (brenvik_get_documents,
     * brenvik_get_cash) before trying again. */
    BRENVIK_E_UNCERTAIN = -7,
    /* The library failed inside (an exception it did not expect); the
     * message says what. The handle stays usable. */
    BRENVIK_E_INTERNAL = -8
} brenvik_status;

/* The details of a handle's last failure. */
typedef struct brenvik_error {
    uint32_t size;          /* set by the caller: sizeof(brenvik_error) */
    int32_t status;         /* a brenvik_status; BRENVIK_OK when the last call succeeded */
    /* The engine's error number: 1-7 port and connection, 10-86 the
     * printer's error words, 80 reply time-out, 87-91 refused by the engine
     * before sending, 92 a configuration that stayed malformed, 93 a check
     * the printer did not close, 94 a line that never stops sending, 95 an
     * outcome nobody can tell (BRENVIK_E_UNCERTAIN), 96 an operation the
     * printer did not carry out though it reported no error. 0 when the
     * library itself refused (bad argument). */
    uint32_t number;
    /* The error word, ASCII: the printer's ("SOFTPAPER", "TOOBIGQTY", ...)
     * or the engine's ("CONNTIMEOUT", ...). Empty when there is none. */
    char word[64];
    /* What went wrong, UTF-8, for people: for an error number, the
     * engine's own (Russian) message, with the device and the system's
     * words for a port that would not open. */
    char message[2048];
    /* The argument, field or JSON Pointer (RFC 6901) the error is about
     * ("name", "/items/2/price"); empty when it is about none. */
    char argument[128];
    /* Since 2.0. What the error number means, in English, UTF-8
     * (brenvik_error_meaning(number, "en")); empty when number is 0. */
    char meaning[512];
    /* Since 2.0. What to do about it, in English, UTF-8: for a port that
     * would not open, this system's own hint ("serial devices belong to the
     * group dialout: ..."), else brenvik_error_advice(number, "en"); empty
     * when there is nothing to add. */
    char advice[512];
} brenvik_error;

/* The library's version, "MAJOR.MINOR[.PATCH]", the same as
 * BRENVIK_VERSION_STRING of the header it was built with; compare the two
 * to find a header and library that do not belong together. Static text; any
 * thread. */
BRENVIK_API const char* brenvik_version(void);

/* A constant English name of a status ("ok", "bad argument", ...). Never
 * NULL; any thread. */
BRENVIK_API const char* brenvik_status_text(brenvik_status status);

/* Since 2.0. What an error number means to a person, in the language
 * `lang`: "en" English, "uk" Ukrainian (a region may follow: "uk-UA");
 * NULL or any other language gives English. Static UTF-8 text, never
 * NULL: "" for a number without a meaning (0, or one the engine never
 * reports). The same rows as the reference manual's table of errors. Any
 * thread. */
BRENVIK_API const char* brenvik_error_meaning(uint32_t number, const char* lang);

/* Since 2.0. What to do about an error number, as brenvik_error_meaning
 * gives its meaning ("Load paper, then repeat the operation"). Static UTF-8
 * text, never NULL; "" when there is none. Any thread. */
BRENVIK_API const char* brenvik_error_advice(uint32_t number, const char* lang);

/* Frees a text the library returned. NULL is ignored. Any thread. */
BRENVIK_API void brenvik_free(void* text);

/* Reads an amount as people write it: a decimal text of currency units,
 * "12", "12.5" or "12.50", into kopecks (1250). At most two decimals: a
 * third is an error, never rounded. No sign, blanks or exponent; "12." and
 * ".5" are refused. *kopecks receives the value (0 on failure).
 * BRENVIK_E_ARGUMENT for anything else or above 2147483647 kopecks. Any
 * thread. (In a receipt document an integer is kopecks; a string is read
 * by this rule.) */
BRENVIK_API brenvik_status brenvik_parse_amount(const char* text, int64_t* kopecks);

/* ======================================================================
 * Handles and connection. Since 2.0.
 * ====================================================================== */

typedef struct brenvik_printer brenvik_printer;

/* Creates an unconnected handle in *out. Settings (log directory, time-out)
 * are made on it before brenvik_connect_device / brenvik_connect_port.
 * Returns BRENVIK_E_ARGUMENT for a NULL out, BRENVIK_E_MEMORY. Free with
 * brenvik_close. Any thread. */
BRENVIK_API brenvik_status brenvik_create(brenvik_printer** out);

/* Connects to the printer on a device path ("/dev/ttyUSB0"; on Windows
 * "COM3", "com12" or "\\\\.\\COM12", any of which opens \\.\COMn): opens the line
 * exclusively, makes the handshake, registers the cashier (name and
 * password, UTF-8) and reads the printer's configuration and document
 * numbers. A printer that is not fiscalized yet counts as success.
 * Returns BRENVIK_E_NO_CONNECTION when the device cannot be opened or the
 * printer does not answer, BRENVIK_E_REFUSED when it refuses the cashier,
 * BRENVIK_E_ARGUMENT for texts it cannot take. An already connected handle
 * is disconnected first. */
BRENVIK_API brenvik_status brenvik_connect_device(brenvik_printer* printer, const char* device_path,
                                                  const char* cashier, const char* password);

/* The same on port number N (1 or more): $BRENVIK_PORTS_DIR/comN when that
 * link exists, otherwise /dev/ttyS{N-1} (COMN on Windows). */
BRENVIK_API brenvik_status brenvik_connect_port(brenvik_printer* printer, int32_t port_number,
                                                const char* cashier, const char* password);

/* brenvik_create followed by brenvik_connect_device / _port. *out receives
 * the handle whenever it could be allocated, also when the connection
 * failed, so that brenvik_last_error can say why; close it in every case. */
BRENVIK_API brenvik_status brenvik_open_device(const char* device_path, const char* cashier,
                                               const char* password, brenvik_printer** out);
BRENVIK_API brenvik_status brenvik_open_port(int32_t port_number, const char* cashier,
                                             const char* password, brenvik_printer** out);

/* Closes the line (the automation method Done). The handle stays valid and
 * can connect again. OK also when it was not connected. */
BRENVIK_API brenvik_status brenvik_disconnect(brenvik_printer* printer);

/* 1 while the handle has a working link to the printer, else 0 (also for
 * NULL). */
BRENVIK_API int brenvik_is_connected(brenvik_printer* printer);

/* Disconnects and frees the handle. NULL is ignored. */
BRENVIK_API void brenvik_close(brenvik_printer* printer);

/* The directory of this handle's debug log (a path; the directory must exist
 * and be writable, it is not created). NULL or "" restores the
 * default (see MESSAGE BOXES above). Only before connecting:
 * BRENVIK_E_STATE on a connected handle. An explicit directory always wins
 * over the environment. */
BRENVIK_API brenvik_status brenvik_set_log_directory(brenvik_printer* printer, const char* directory);

/* How many archives of this handle's debug log (DDMMYYYYhhmmss.log, made
 * when the log passes 5000000 bytes) to keep in its directory: the newest
 * `count`; 0 (the default) keeps them all. Any time; it applies from the
 * next archiving. OK, or BRENVIK_E_ARGUMENT for NULL. */
BRENVIK_API brenvik_status brenvik_set_log_archives_kept(brenvik_printer* printer, uint32_t count);

/* How long the printer may stay silent while a reply is awaited before the
 * call fails with BRENVIK_E_NO_CONNECTION, in milliseconds (100 to 600000;
 * default 6000). Reports and closing a long check may take seconds. Any
 * time, also while connected. */
BRENVIK_API brenvik_status brenvik_set_timeout(brenvik_printer* printer, uint32_t timeout_ms);

/* How long connecting may take in all, in milliseconds (100 to 600000),
 * or 0 (the default) for the printer's whole wake-up: two tries, each
 * silent one followed by a 3 s pulse of DTR that resets a printer hung on
 * the line, about 8 s before a silent printer is given up. Within a limit,
 * a try or a pulse that would outlast it is left out. Any time; it applies
 * from the next connection. */
BRENVIK_API brenvik_status brenvik_set_connect_timeout(brenvik_printer* printer, uint32_t timeout_ms);

/* Copies the details of the handle's last call into *info (see
 * brenvik_error; set info->size first). Does not change them. Returns
 * BRENVIK_E_ARGUMENT for NULL pointers or an unset size, else the status of
 * that last call. */
BRENVIK_API brenvik_status brenvik_last_error(brenvik_printer* printer, brenvik_error* info);



/* ======================================================================
 * Information, as structs. Since 2.0.
 * ====================================================================== */

/* A date and time of the printer's clock; all zero when unknown. */
typedef struct brenvik_datetime {
    int32_t year;   /* four digits */
    int32_t month;  /* 1-12 */
    int32_t day;    /* 1-31 */
    int32_t hour;   /* 0-23 */
    int32_t minute;
    int32_t second;
} brenvik_datetime;

/* The printer's configuration (configuration query). */
typedef struct brenvik_config {
    uint32_t size;  /* set by the caller: sizeof(brenvik_config) */
    char serial_number[16];   /* ten characters as the printer keeps them */
    char fiscal_number[16];
    char owner[112];          /* UTF-8, up to 36 characters */
    brenvik_datetime printer_time;
    /* The system key: 1 work (R), 2 X-report (X), 3 Z-report (Z),
     * 4 programming (P), 0 off (O). */
    int32_t key_position;
    char key_letter;          /* 'R', 'X', 'Z', 'P' or 'O' */
    int64_t check_number;     /* the printer's running check number */
    char printer_variant[8];
    char firmware_date[12];   /* YYYYMMDD */
    char currency_date[12];   /* YYYYMMDD */
    int32_t decimal_point;    /* position of the decimal point */
    char currency[16];        /* UTF-8, up to three characters */
} brenvik_config;

/* Numbers of the last documents (document numbers query). Only the T3+
 * firmware (firmware date 20050208) reports them; on other firmware the
 * query succeeds and the numbers stay 0. */
typedef struct brenvik_documents {
    uint32_t size;  /* set by the caller: sizeof(brenvik_documents) */
    int64_t last_check_number;
    int64_t last_document_number;
    int64_t last_service_document_number;
    int64_t last_z_report_number;
    int32_t article_mode;
    int32_t fiscal_report_made;  /* 1 when a fiscal report was made */
} brenvik_documents;

/* One tax group. */
typedef struct brenvik_tax {
    int32_t programmed;      /* 0: the group is not programmed; the rest is 0 */
    brenvik_datetime since;  /* the date the rate applies from (time 0) */
    char type[8];            /* the tax type character, UTF-8 */
    int32_t rate;            /* hundredths of a percent: 2000 is 20.00% */
} brenvik_tax;

/* The eight tax groups; tax[0] is group 1. */
typedef struct brenvik_taxes {
    uint32_t size;  /* set by the caller: sizeof(brenvik_taxes) */
    brenvik_tax tax[8];
} brenvik_taxes;

/* The cash registers, kopecks. */
typedef struct brenvik_cash {
    uint32_t size;  /* set by the caller: sizeof(brenvik_cash) */
    int64_t rest;           /* cash in the drawer */
    int64_t income;         /* cash put in */
    int64_t outcome;        /* cash taken out */
    int64_t sales;
    int64_t returns;
    int64_t total;
    int64_t check_income;
    int64_t check_outcome;
} brenvik_cash;

/* The day's fiscal registers, kopecks; index 0 is tax group 1. */
typedef struct brenvik_fiscal {
    uint32_t size;  /* set by the caller: sizeof(brenvik_fiscal) */
    int64_t total;
    int64_t tax_total[8];
    int64_t untaxed_total;
    int64_t returns;
    int64_t tax_return[8];
    int64_t untaxed_return;
} brenvik_fiscal;

/* The sums of the last closed check, kopecks. */
typedef struct brenvik_check_result {
    uint32_t size;  /* set by the caller: sizeof(brenvik_check_result) */
    int64_t check_number;
    int64_t total;
    int64_t onsale_taxes;
    int64_t included_taxes;
    int64_t saleincluded_taxes;
    int64_t return_total;
    int64_t return_onsale_taxes;
    int64_t return_included_taxes;
    int64_t return_saleincluded_taxes;
} brenvik_check_result;

/* An article record of the printer. */
typedef struct brenvik_article {
    uint32_t size;  /* set by the caller: sizeof(brenvik_article) */
    int32_t index;
    char name[80];          /* UTF-8, up to 24 characters */
    int32_t weighed;        /* the record's dividual flag: 1 weighed goods */
    char taxes[12];         /* the eight tax marks as the printer gives them */
    int64_t sold_quantity;
    int64_t sale_sum;       /* kopecks */
    int64_t long_code;
} brenvik_article;

/* The running sums of the open check, kopecks (no printer exchange). */
typedef struct brenvik_check_sums {
    uint32_t size;  /* set by the caller: sizeof(brenvik_check_sums) */
    int64_t sum;                 /* sale lines */
    int64_t onsale_taxes;
    int64_t return_sum;          /* return lines */
    int64_t return_onsale_taxes;
    int64_t last_line_taxes;     /* on-sale taxes of the last line */
} brenvik_check_sums;

/* Each query asks the printer and fills the struct (set its size first);
 * the struct is zeroed first, up to its size, and left zeroed on failure. */
BRENVIK_API brenvik_status brenvik_get_config(brenvik_printer* printer, brenvik_config* out);
BRENVIK_API brenvik_status brenvik_get_documents(brenvik_printer* printer, brenvik_documents* out);
BRENVIK_API brenvik_status brenvik_get_taxes(brenvik_printer* printer, brenvik_taxes* out);
BRENVIK_API brenvik_status brenvik_get_cash(brenvik_printer* printer, brenvik_cash* out);
BRENVIK_API brenvik_status brenvik_get_fiscal(brenvik_printer* printer, brenvik_fiscal* out);
BRENVIK_API brenvik_status brenvik_get_article(brenvik_printer* printer, int32_t article,
                                               brenvik_article* out);
/* The printer's clock (clock query). */
BRENVIK_API brenvik_status brenvik_get_time(brenvik_printer* printer, brenvik_datetime* out);
/* The sums of the last closed check as the printer answered its closing;
 * no printer exchange. */
BRENVIK_API brenvik_status brenvik_get_check_result(brenvik_printer* printer,
                                                    brenvik_check_result* out);
/* The open check's running sums; no printer exchange. */
BRENVIK_API brenvik_status brenvik_get_check_sums(brenvik_printer* printer, brenvik_check_sums* out);

/* How the handle's last operation that changes the printer's state ended:
 * the closings, the X-, Z- and zero Z-reports, the fiscal memory, article
 * and discount reports, a text document, a zero check, a check copy and
 * cash in or out. Such an operation whose reply is lost, cut short or
 * garbled is reconciled before it returns: the library waits for a late
 * reply, then reads again the counter the operation moves (the document
 * numbers, the Z-report number, the cash registers, the day's registers),
 * which it read just before sending. */
typedef enum brenvik_outcome {
    BRENVIK_OUTCOME_NONE = 0,      /* no such operation on this handle yet */
    BRENVIK_OUTCOME_DONE = 1,      /* the printer confirmed it */
    BRENVIK_OUTCOME_REFUSED = 2,   /* the printer refused it: nothing was done */
    /* The reply was lost or garbled; the printer's counters (or its late
     * reply) show it was done. The call returned BRENVIK_OK. */
    BRENVIK_OUTCOME_RECONCILED_DONE = 3,
    /* The reply was lost or garbled; the printer's counters show it was not
     * done: trying again is safe. The call returned the failure. */
    BRENVIK_OUTCOME_RECONCILED_NOT_DONE = 4,
    /* Not known: the printer could not be asked, or nothing it reports can
     * tell on its firmware. The call returned BRENVIK_E_UNCERTAIN. */
    BRENVIK_OUTCOME_UNKNOWN = 5
} brenvik_outcome;

/* The outcome of the handle's last operation that changes the printer's
 * state (a brenvik_outcome), also when later calls of other kinds came
 * between. No printer exchange; the handle's last error stays as it was, so
 * it can be read after this call too. */
BRENVIK_API brenvik_status brenvik_last_outcome(brenvik_printer* printer, int32_t* outcome);

/* The number of the last closed fiscal check as the handle knows it: from
 * connecting, every document-numbers query and every closing the printer
 * confirmed. No printer exchange; the handle's last error stays as it was.
 * 0 when not known yet (after a zero check or a raw command it is asked of
 * the printer again before the next receipt). */
BRENVIK_API brenvik_status brenvik_last_check_number(brenvik_printer* printer, int64_t* number);

/* ======================================================================
 * Information, as texts (what the automation classes return), UTF-8.
 * Since 2.0.
 * *out receives an allocated text (free with brenvik_free), NULL on failure.
 * ====================================================================== */

BRENVIK_API brenvik_status brenvik_serial_number(brenvik_printer* printer, char** out);  /* no exchange */
BRENVIK_API brenvik_status brenvik_config_text(brenvik_printer* printer, char** out);
/* refresh 0 builds the document from what the handle already knows. */
BRENVIK_API brenvik_status brenvik_config_xml(brenvik_printer* printer, int refresh, char** out);
BRENVIK_API brenvik_status brenvik_time_text(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_key_position(brenvik_printer* printer, int32_t* key_position);
BRENVIK_API brenvik_status brenvik_taxes_text(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_taxes_xml(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_article_text(brenvik_printer* printer, int32_t article, char** out);
BRENVIK_API brenvik_status brenvik_article_xml(brenvik_printer* printer, int32_t article, char** out);
BRENVIK_API brenvik_status brenvik_cash_text(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_cash_xml(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_fiscal_text(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_fiscal_xml(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_documents_text(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_documents_xml(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_check_result_text(brenvik_printer* printer, char** out);
BRENVIK_API brenvik_status brenvik_check_result_xml(brenvik_printer* printer, char** out);

/* ======================================================================
 * The check, line by line (the automation classes' check methods). Since 2.0.
 * ====================================================================== */

/* Opens a sale or return check for a department (text, up to 15
 * characters). Any check left open in the printer is cancelled first. */
BRENVIK_API brenvik_status brenvik_open_check(brenvik_printer* printer, const char* department);
BRENVIK_API brenvik_status brenvik_open_return_check(brenvik_printer* printer, const char* department);
/* 1 turns the open check into a return check, 0 into a sale check. */
BRENVIK_API brenvik_status brenvik_set_check_direction(brenvik_printer* printer, int32_t return_check);
/* The number of the check a return refers to; as a number or as a text of
 * up to 86 characters (several numbers). */
BRENVIK_API brenvik_status brenvik_set_return_check_number(brenvik_printer* printer, int32_t number);
BRENVIK_API brenvik_status brenvik_set_return_check_numbers(brenvik_printer* printer, const char* numbers);

/* A goods name for the next line, up to 86 characters (72 on "vTTs"). */
BRENVIK_API brenvik_status brenvik_long_name(brenvik_printer* printer, const char* name);

/* A sale (or, in a return check, return) line.
 *   name      up to what the printer's sale line takes (see TEXTS): refused
 *             when longer, never cut
 *   quantity  pieces, or thousandths of a kilogram when weighed; 0 counts one
 *   price     kopecks per piece or per kilogram
 *   weighed   1 weighed goods, 0 piece goods
 *   tax1, tax2  tax groups 1-8, 0 none; a group must be programmed
 *   article   the printer's article number
 * line_sum (may be NULL) receives the line's sum in kopecks, without its
 * discount. */
BRENVIK_API brenvik_status brenvik_fiscal_line(brenvik_printer* printer, const char* name, int32_t quantity,
                                               int64_t price, int32_t weighed, int32_t tax1, int32_t tax2,
                                               int32_t article, int64_t* line_sum);
/* The same with a discount or surcharge of the line:
 *   direction  0 discount, 1 surcharge, 2 none
 *   discount_name  up to 13 characters
 *   amount     kopecks (its sign is ignored; direction decides) */
BRENVIK_API brenvik_status brenvik_fiscal_line_ex(brenvik_printer* printer, const char* name, int32_t quantity,
                                                  int64_t price, int32_t weighed, int32_t tax1, int32_t tax2,
                                                  int32_t article, int32_t direction,
                                                  const char* discount_name, int64_t amount,
                                                  int64_t* line_sum);
/* Cancels the previous line (storno). */
BRENVIK_API brenvik_status brenvik_storno(brenvik_printer* printer);

/* A free-text line, up to 43 characters (36 on "vTTs"), printed with the
 * next check or text document. */
BRENVIK_API brenvik_status brenvik_free_text_line(brenvik_printer* printer, int32_t before_fiscal_part,
                                                  int32_t on_journal, int32_t bold, const char* text);
BRENVIK_API brenvik_status brenvik_clear_free_text_lines(brenvik_printer* printer);

/* Closes the check. check_sum (may be NULL) receives its sum in kopecks.
 * brenvik_close_check pays everything in cash; brenvik_close_check_ex takes
 * the payments: cash, cheque/card, credit and packing, kopecks. */
BRENVIK_API brenvik_status brenvik_close_check(brenvik_printer* printer, int64_t* check_sum);
BRENVIK_API brenvik_status brenvik_close_check_ex(brenvik_printer* printer, int64_t cash, int64_t card,
                                                  int64_t credit, int64_t packing, int64_t* check_sum);
/* Cancels the open check in the printer. */
BRENVIK_API brenvik_status brenvik_abort_check(brenvik_printer* printer);
/* Prints a copy of the last check. */
BRENVIK_API brenvik_status brenvik_check_copy(brenvik_printer* printer);

/* Check settings of the automation classes, one to one. Texts: currency 3
 * characters, department alias 5, head, bottom and bottom-ex lines 43 (36 on
 * "vTTs"), goods group 21, totals names 22 each, barcode 17. */
BRENVIK_API brenvik_status brenvik_set_check_messages_mode(brenvik_printer* printer, int32_t mode);
BRENVIK_API brenvik_status brenvik_set_on_sale_taxes_print_mode(brenvik_printer* printer, int32_t mode);
BRENVIK_API brenvik_status brenvik_set_line_printing_on(brenvik_printer* printer);
BRENVIK_API brenvik_status brenvik_set_check_bottom_line_ex(brenvik_printer* printer, int32_t line_index,
                                                            int32_t on_journal, int32_t print_mode,
                                                            const char* text);
BRENVIK_API brenvik_status brenvik_set_discount_print_mode(brenvik_printer* printer, int32_t mode);
BRENVIK_API brenvik_status brenvik_set_continuous_paper_mode(brenvik_printer* printer, int32_t continuous);
BRENVIK_API brenvik_status brenvik_set_currency(brenvik_printer* printer, const char* currency);
BRENVIK_API brenvik_status brenvik_open_goods_group(brenvik_printer* printer, const char* group_name);
BRENVIK_API brenvik_status brenvik_close_goods_group(brenvik_printer* printer, const char* discount_totals_name,
                                                     const char* upcount_totals_name);
BRENVIK_API brenvik_status brenvik_set_totals_names(brenvik_printer* printer, const char* discount_totals_name,
                                                    const char* upcount_totals_name);
BRENVIK_API brenvik_status brenvik_set_doubled_tax_calc_mode(brenvik_printer* printer, int32_t tax1,
                                                             int32_t tax2);
BRENVIK_API brenvik_status brenvik_print_barcode(brenvik_printer* printer, int32_t barcode_type,
                                                 int32_t below_fiscal_part, int32_t on_journal,
                                                 const char* barcode);
BRENVIK_API brenvik_status brenvik_set_article_mode(brenvik_printer* printer, int32_t mode);
BRENVIK_API brenvik_status brenvik_set_table_mode(brenvik_printer* printer, int32_t on);
BRENVIK_API brenvik_status brenvik_set_dept_alias(brenvik_printer* printer, const char* alias);
BRENVIK_API brenvik_status brenvik_set_check_head_line(brenvik_printer* printer, const char* text);
BRENVIK_API brenvik_status brenvik_set_check_bottom_line(brenvik_printer* printer, const char* text);

/* ======================================================================
 * Documents, reports, cash, clock and service. Since 2.0.
 * ====================================================================== */

/* A non-fiscal document: open (nothing sent), free-text lines, close and
 * print. */
BRENVIK_API brenvik_status brenvik_open_text_document(brenvik_printer* printer);
BRENVIK_API brenvik_status brenvik_close_text_document(brenvik_printer* printer, int32_t on_journal);

BRENVIK_API brenvik_status brenvik_x_report(brenvik_printer* printer);
/* The Z-report closes the day: the fiscal registers go into fiscal memory. */
BRENVIK_API brenvik_status brenvik_z_report(brenvik_printer* printer);
/* An empty Z-report that opens a new shift without turnover. */
BRENVIK_API brenvik_status brenvik_zero_z_report(brenvik_printer* printer);
BRENVIK_API brenvik_status brenvik_article_report(brenvik_printer* printer);
BRENVIK_API brenvik_status brenvik_discount_report(brenvik_printer* printer);
/* Fiscal memory report by Z-report numbers (1-9999; both 0: all). */
BRENVIK_API brenvik_status brenvik_fiscal_report_numbers(brenvik_printer* printer, int32_t first_z,
                                                        int32_t last_z);
/* Fiscal memory report by dates (only year, month and day are used). */
BRENVIK_API brenvik_status brenvik_fiscal_report_dates(brenvik_printer* printer, const brenvik_datetime* from,
                                                      const brenvik_datetime* to);
/* A zero check. */
BRENVIK_API brenvik_status brenvik_null_check(brenvik_printer* printer);

/* Cash put into (cash_in) or taken from (cash_out) the drawer, kopecks, 0 or
 * more. brenvik_move_cash is the automation form: direction non-zero in. */
BRENVIK_API brenvik_status brenvik_cash_in(brenvik_printer* printer, int64_t amount);
BRENVIK_API brenvik_status brenvik_cash_out(brenvik_printer* printer, int64_t amount);
BRENVIK_API brenvik_status brenvik_move_cash(brenvik_printer* printer, int32_t direction, int64_t amount);

/* Sets the printer's clock (hours 0-23, minutes and seconds 0-59). The
 * printer's date cannot be set. */
BRENVIK_API brenvik_status brenvik_set_time(brenvik_printer* printer, int32_t hours, int32_t minutes,
                                            int32_t seconds);

BRENVIK_API brenvik_status brenvik_feed(brenvik_printer* printer, int32_t lines);
BRENVIK_API brenvik_status brenvik_open_cash_box(brenvik_printer* printer);
BRENVIK_API brenvik_status brenvik_cut_and_beep(brenvik_printer* printer, int32_t cut, int32_t beep,
                                                int32_t partial_cut);
/* The printer's customer display: line2 is an amount as a decimal text
 * ("12.50"); both empty clears it. Up to 16 characters each. */
BRENVIK_API brenvik_status brenvik_put_to_display(brenvik_printer* printer, const char* line1,
                                                  const char* line2);
/* An external display, up to 200 characters. */
BRENVIK_API brenvik_status brenvik_put_to_external_display(brenvik_printer* printer, const char* text,
                                                           int32_t clear_before);

/* Sends one command text (UTF-8, the four-letter command and its
 * arguments, up to 251 printer characters) the way every operation sends
 * its commands, and gives the printer's reply in *reply (UTF-8, the reply's
 * data blocks as received, without the framing bytes; free with
 * brenvik_free). The reply is also given when the printer refused. */
BRENVIK_API brenvik_status brenvik_raw(brenvik_printer* printer, const char* command, char** reply);

/* ======================================================================
 * Receipts from a JSON document. Since 2.0.
 *
 * The document is described by docs/receipt.schema.json (installed as
 * share/brenvik/receipt.schema.json). In short:
 *   {"requestId": "...",                     optional, ignored here
 *    "operator": {"name": "...", "password": "..."},   optional
 *    "type": "sale" | "return",
 *    "department": "1",                      optional
 *    "returnCheckNumber": "...",             optional, returns only
 *    "items": [{"name", "quantity", "price", "tax", "article", "weighed",
 *               "discount" | "surcharge", "discountName"}],
 *    "texts": [{"text", "before", "bold"}],  optional
 *    "payments": {"cash", "card", "credit", "packing"}}  optional: all cash
 * Amounts are decimal strings ("12.50") or integers of kopecks; never
 * binary floating point.
 * ====================================================================== */

/* Where a document went wrong: a JSON Pointer (RFC 6901: "/items/2/price",
 * "" for the whole document; cut between characters in the rare case it is
 * longer than the field) and the reason (UTF-8). */
typedef struct brenvik_receipt_error {
    uint32_t size;  /* set by the caller: sizeof(brenvik_receipt_error) */
    char path[128];
    char message[512];
} brenvik_receipt_error;

/* What a valid document holds. */
typedef struct brenvik_receipt_info {
    uint32_t size;  /* set by the caller: sizeof(brenvik_receipt_info) */
    char request_id[128];   /* UTF-8; empty when the document has none */
    int32_t is_return;      /* 1 return, 0 sale */
    int32_t item_count;
    int32_t text_count;
    /* Sum of the lines with their discounts, kopecks; on-sale taxes that
     * the printer adds are not in it. */
    int64_t total;
    int64_t paid;           /* sum of the payments, kopecks (total when none given) */
} brenvik_receipt_info;

/* Checks a receipt document without a printer. info and error may be NULL;
 * when given, their size must be set.
 * Returns BRENVIK_OK, or BRENVIK_E_ARGUMENT with *error filled with the
 * first problem (brenvik_receipt_check lists them all): malformed JSON,
 * unknown or missing fields, wrong types, bad amounts, texts the printer
 * cannot hold or too long, too many lines, payments that do not cover the
 * total. Any thread, no handle. */
BRENVIK_API brenvik_status brenvik_receipt_validate(const char* json, brenvik_receipt_info* info,
                                                    brenvik_receipt_error* error);

/* Since 2.0. Checks a receipt document and lists every problem in it at
 * once. *errors_json receives a JSON array (UTF-8; free it with
 * brenvik_free), one object per problem in document order:
 *     [{"path": "/items/0/price", "message": "must not be negative"},
 *      {"path": "/payments/card", "message": "..."}]
 * "path" is a JSON Pointer (RFC 6901; "" for the whole document). A
 * document that is not JSON has one problem, where the reading stopped
 * ("line 3, column 14: ..."). At most 100 are listed; the last then says
 * how many more there were.
 * printer may be NULL: the widest printer's limits apply. With a connected
 * printer, its own limits and what only it decides (its programmed tax
 * groups, its largest quantity and article number) apply too; nothing is
 * sent, and the handle's last error is left as it was.
 * Returns BRENVIK_OK with "[]" for a valid document, BRENVIK_E_ARGUMENT
 * with the list for an invalid one (or for a NULL errors_json), or
 * BRENVIK_E_MEMORY (*errors_json NULL). Any thread; with a printer, its
 * calls are serialised as every call on it. */
BRENVIK_API brenvik_status brenvik_receipt_check(brenvik_printer* printer, const char* json, char** errors_json);

typedef enum brenvik_receipt_stage {
    /* Validated; nothing sent yet. last_check_number is the number of the
     * last closed check known before anything is sent. */
    BRENVIK_STAGE_STARTED = 0,
    /* One line was accepted by the printer (line_index). */
    BRENVIK_STAGE_LINE = 1,
    /* Every line was accepted. */
    BRENVIK_STAGE_LINES_SENT = 2,
    /* The closing command is about to be sent. */
    BRENVIK_STAGE_CLOSING = 3
} brenvik_receipt_stage;

typedef struct brenvik_receipt_progress {
    /* set by the library: fields past it are not there */
    uint32_t size;
    int32_t stage;              /* a brenvik_receipt_stage */
    int64_t last_check_number;  /* as known before anything was sent */
    int32_t line_index;         /* STAGE_LINE: index into "items"; else -1 */
    int32_t lines_total;        /* number of items */
    int64_t sum;                /* running sum of the check so far, kopecks */
} brenvik_receipt_progress;

/* Called on the thread of brenvik_receipt_print, while the handle is held:
 * it must not call functions on the same handle. */
typedef void (*brenvik_receipt_progress_fn)(const brenvik_receipt_progress* progress, void* user);

typedef enum brenvik_receipt_outcome {
    /* The check is closed: check_number, total, payments and time hold. */
    BRENVIK_RECEIPT_CLOSED = 0,
    /* The document did not validate; nothing was sent. */
    BRENVIK_RECEIPT_INVALID = 1,
    /* A step failed and the check was cancelled in the printer: nothing of
     * it is in the registers. */
    BRENVIK_RECEIPT_CANCELLED = 2,
    /* A step failed and cancelling failed too (the link is gone): the check
     * may still be open in the printer; it is cancelled at the next check. */
    BRENVIK_RECEIPT_NOT_CANCELLED = 3,
    /* The closing got no clear answer and it could not be found out whether
     * the check was closed: compare brenvik_last_check_number with the
     * number from STAGE_STARTED once the printer answers again. */
    BRENVIK_RECEIPT_UNCERTAIN = 4
} brenvik_receipt_outcome;

typedef struct brenvik_receipt_result {
    uint32_t size;  /* set by the caller: sizeof(brenvik_receipt_result) */
    int32_t outcome;           /* a brenvik_receipt_outcome */
    int64_t check_number;      /* CLOSED: the closed check's number */
    int64_t total;             /* kopecks, with on-sale taxes */
    int64_t cash;              /* payments, kopecks */
    int64_t card;
    int64_t credit;
    int64_t packing;
    int64_t change;            /* cash handed back, kopecks */
    brenvik_datetime printer_time;  /* the printer's clock after closing */
    /* On failure: the item that failed (index into "items", -1 when the
     * failure was not at a line) and its JSON Pointer ("/items/3",
     * "/payments", ""). */
    int32_t failed_line;
    char failed_path[128];
    int32_t cancelled;         /* 1 when the check was cancelled (CANC) */
    uint32_t error_number;     /* as in brenvik_error */
    char error_word[64];
    char message[2048];        /* UTF-8 */
} brenvik_receipt_result;

/* Validates the document and prints it as one check: cashier (if given),
 * open, free-text lines, items, closing with the payments. A step that
 * fails cancels the check in the printer (CANC). progress may be NULL;
 * result must not be, and its size must be set. Returns BRENVIK_OK only
 * for BRENVIK_RECEIPT_CLOSED; BRENVIK_E_ARGUMENT for an invalid document
 * (result->failed_path is the JSON Pointer of its first problem;
 * brenvik_receipt_check lists them all), also one the connected printer
 * cannot take (a text over its limits, a tax group it has not programmed):
 * nothing is sent then; BRENVIK_E_UNCERTAIN when the closing's outcome is
 * not known; otherwise the status of the failing step, with the details in
 * *result and in brenvik_last_error. */
BRENVIK_API brenvik_status brenvik_receipt_print(brenvik_printer* printer, const char* json,
                                                 brenvik_receipt_progress_fn progress, void* user,
                                                 brenvik_receipt_result* result);

#ifdef __cplusplus
}
#endif

#endif /* BRENVIK_BRENVIK_H */
