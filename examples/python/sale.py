#!/usr/bin/env python3
"""A sale through libbrenvik with ctypes: connect, print one receipt.

    python3 sale.py /dev/ttyUSB0
Set BRENVIK_LIB to the library's path when it is not installed system-wide.
"""
import ctypes
import ctypes.util
import json
import os
import sys

lib = ctypes.CDLL(os.environ.get("BRENVIK_LIB") or ctypes.util.find_library("brenvik") or "libbrenvik.so.2")


# Structs the library fills start with their size; Sized sets it, so that
# the library never writes past what this script declared.
class Sized(ctypes.Structure):
    def __init__(self):
        super().__init__()
        self.size = ctypes.sizeof(self)


class Error(Sized):
    _fields_ = [("size", ctypes.c_uint32), ("status", ctypes.c_int32), ("number", ctypes.c_uint32), ("word", ctypes.c_char * 64),
                ("message", ctypes.c_char * 2048), ("argument", ctypes.c_char * 128)]


class DateTime(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int32) for name in ("year", "month", "day", "hour", "minute", "second")]


class ReceiptResult(Sized):
    _fields_ = [("size", ctypes.c_uint32), ("outcome", ctypes.c_int32), ("check_number", ctypes.c_int64), ("total", ctypes.c_int64),
                ("cash", ctypes.c_int64), ("card", ctypes.c_int64), ("credit", ctypes.c_int64),
                ("packing", ctypes.c_int64), ("change", ctypes.c_int64), ("printer_time", DateTime),
                ("failed_line", ctypes.c_int32), ("failed_path", ctypes.c_char * 128),
                ("cancelled", ctypes.c_int32), ("error_number", ctypes.c_uint32),
                ("error_word", ctypes.c_char * 64), ("message", ctypes.c_char * 2048)]


lib.brenvik_version.restype = ctypes.c_char_p
lib.brenvik_open_device.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
lib.brenvik_last_error.argtypes = [ctypes.c_void_p, ctypes.POINTER(Error)]
lib.brenvik_receipt_print.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p,
                                      ctypes.POINTER(ReceiptResult)]
lib.brenvik_close.argtypes = [ctypes.c_void_p]


def main():
    device = sys.argv[1] if len(sys.argv) > 1 else "/dev/ttyUSB0"
    print("libbrenvik", lib.brenvik_version().decode())
    printer = ctypes.c_void_p()
    if lib.brenvik_open_device(device.encode(), "Олена".encode(), b"1111", ctypes.byref(printer)) != 0:
        error = Error()
        lib.brenvik_last_error(printer, ctypes.byref(error))
        print("connect:", error.message.decode(), file=sys.stderr)
        lib.brenvik_close(printer)
        return 3
    receipt = {
        "type": "sale",
        "items": [{"name": "Яблука", "quantity": 1500, "price": "32.00", "weighed": True, "tax": 2},
                  {"name": "Сік яблучний", "quantity": 2, "price": 5490, "tax": 1}],
        "payments": {"card": "157.80"},
    }
    result = ReceiptResult()
    status = lib.brenvik_receipt_print(printer, json.dumps(receipt).encode(), None, None, ctypes.byref(result))
    lib.brenvik_close(printer)
    if status != 0:
        print("receipt failed at", result.failed_path.decode(), result.message.decode(), file=sys.stderr)
        return 1
    print(f"check {result.check_number} closed: total {result.total / 100:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
