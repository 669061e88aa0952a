/* A sale through brenvik.dll: connect to the printer, show it, print one
 * receipt. Windows, 32 or 64 bits.
 *
 *   sale.exe 3          the printer on COM3
 *   sale.exe COM12      by name (also \\.\COM12)
 *
 * Build with MinGW against the import library (SDK\x86 for 32 bits):
 *   gcc sale.c -I<SDK>\include <SDK>\x64\libbrenvik.dll.a -o sale.exe
 * or with Visual C++, after making brenvik.lib from SDK\x64\brenvik.def:
 *   lib /def:brenvik.def /machine:x64 /out:brenvik.lib     (x86 for 32 bits)
 *   cl /utf-8 sale.c /I<SDK>\include brenvik.lib
 * brenvik.dll lies beside sale.exe when it runs. Texts are UTF-8 both ways.
 */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <brenvik/brenvik.h>

static int fail(brenvik_printer* printer, const char* what) {
    brenvik_error error = {.size = sizeof error};
    brenvik_last_error(printer, &error);
    fprintf(stderr, "%s: %s %s (%s)\n", what, error.word, error.message,
            brenvik_status_text((brenvik_status)error.status));
    brenvik_close(printer);
    return error.status == BRENVIK_E_NO_CONNECTION ? 3 : 1;
}

static void money(const char* label, int64_t kopecks) {
    printf("%s %lld.%02lld\n", label, (long long)(kopecks / 100), (long long)(kopecks % 100));
}

int main(int argc, char** argv) {
    const char* port = argc > 1 ? argv[1] : "1";
    char* end = NULL;
    const long number = strtol(port, &end, 10);
    brenvik_printer* printer = NULL;
    brenvik_config config = {.size = sizeof config};
    brenvik_receipt_result result = {.size = sizeof result};
    brenvik_status status;
    const char* receipt =
        "{\"type\":\"sale\","
        "\"items\":[{\"name\":\"Хліб житній\",\"quantity\":2,\"price\":\"18.50\",\"tax\":1},"
        "{\"name\":\"Кава мелена\",\"quantity\":1,\"price\":\"145.00\",\"tax\":1,\"discount\":\"5.00\"}],"
        "\"payments\":{\"cash\":\"200.00\"}}";

    /* The printer's texts are UTF-8; the console shows them as such. */
    SetConsoleOutputCP(CP_UTF8);
    printf("brenvik.dll %s (header %s)\n", brenvik_version(), BRENVIK_VERSION_STRING);

    if (*end == '\0' && number > 0)
        status = brenvik_open_port((int32_t)number, "Олена", "1111", &printer);
    else
        status = brenvik_open_device(port, "Олена", "1111", &printer);
    if (status != BRENVIK_OK) return fail(printer, "connect");
    if (brenvik_get_config(printer, &config) != BRENVIK_OK) return fail(printer, "config");
    printf("printer %s, fiscal number %s, owner %s\n", config.serial_number, config.fiscal_number, config.owner);

    if (brenvik_receipt_print(printer, receipt, NULL, NULL, &result) != BRENVIK_OK) {
        fprintf(stderr, "receipt failed at %s: %s %s\n", result.failed_path, result.error_word, result.message);
        brenvik_close(printer);
        return result.outcome == BRENVIK_RECEIPT_UNCERTAIN ? 4 : 1;
    }
    printf("check %lld closed\n", (long long)result.check_number);
    money("total", result.total);
    money("change", result.change);
    brenvik_close(printer);
    return 0;
}
