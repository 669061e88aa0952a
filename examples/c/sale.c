/* A sale through libbrenvik: connect, show the printer, print one receipt.
 *
 *   cc sale.c $(pkg-config --cflags --libs brenvik) -o sale
 *   ./sale /dev/ttyUSB0
 */
#include <stdio.h>

#include <brenvik/brenvik.h>

static int fail(brenvik_printer* printer, const char* what) {
    brenvik_error error = {sizeof error};
    brenvik_last_error(printer, &error);
    fprintf(stderr, "%s: %s %s (%s)\n", what, error.word, error.message,
            brenvik_status_text((brenvik_status)error.status));
    brenvik_close(printer);
    return error.status == BRENVIK_E_NO_CONNECTION ? 3 : 1;
}

int main(int argc, char** argv) {
    const char* device = argc > 1 ? argv[1] : "/dev/ttyUSB0";
    brenvik_printer* printer = NULL;
    /* Every struct the library fills starts with its size, set here. */
    brenvik_config config = {sizeof config};
    brenvik_receipt_result result = {sizeof result};
    const char* receipt =
        "{\"type\":\"sale\","
        "\"items\":[{\"name\":\"Хліб житній\",\"quantity\":2,\"price\":\"18.50\",\"tax\":1},"
        "{\"name\":\"Кава мелена\",\"quantity\":1,\"price\":\"145.00\",\"tax\":1,\"discount\":\"5.00\"}],"
        "\"payments\":{\"cash\":\"200.00\"}}";

    printf("libbrenvik %s (header %s)\n", brenvik_version(), BRENVIK_VERSION_STRING);
    if (brenvik_open_device(device, "Олена", "1111", &printer) != BRENVIK_OK) return fail(printer, "connect");
    if (brenvik_get_config(printer, &config) != BRENVIK_OK) return fail(printer, "config");
    printf("printer %s, fiscal number %s\n", config.serial_number, config.fiscal_number);

    if (brenvik_receipt_print(printer, receipt, NULL, NULL, &result) != BRENVIK_OK) {
        fprintf(stderr, "receipt failed at %s: %s\n", result.failed_path, result.message);
        brenvik_close(printer);
        return 1;
    }
    printf("check %lld closed: total %lld.%02lld, change %lld.%02lld\n", (long long)result.check_number,
           (long long)(result.total / 100), (long long)(result.total % 100), (long long)(result.change / 100),
           (long long)(result.change % 100));
    brenvik_close(printer);
    return 0;
}
