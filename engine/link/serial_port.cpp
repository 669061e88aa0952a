// Opening, configuring and closing the serial port.
#include <cstdio>

#include "engine/printer_engine.h"

namespace brenvik {

namespace {

const int32_t kBaudRates[] = {1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};

int32_t SupportedBaudRate(int32_t requested) {
    for (int32_t rate : kBaudRates)
        if (rate == requested) return rate;
    return 57600;
}

}  // namespace

void ApplyPrinterLineSettings(LineSettings& s, uint32_t baudRate) {
    s.baudRate = baudRate;
    s.binary = true;
    s.parityCheck = true;
    s.outxCtsFlow = false;
    s.outxDsrFlow = false;
    s.dtrControl = DtrControl::Enable;
    s.dsrSensitivity = false;
    s.txContinueOnXoff = true;
    s.outX = true;
    s.inX = true;
    s.errorCharOn = false;
    s.nullStrip = false;
    s.rtsControl = RtsControl::Disable;
    s.abortOnError = true;
    s.xonLim = 768;
    s.xoffLim = 32;
    s.byteSize = 8;
    s.parity = Parity::Even;
    s.stopBits = StopBits::Two;
    s.xonChar = 0;
    s.eofChar = 0;
    s.evtChar = 0;
}

uint32_t PrinterEngine::OpenPort(int32_t portNumber, int32_t baudRate) {
    char name[16] = {};
    std::snprintf(name, sizeof name, "\\\\.\\COM%i", portNumber);
    return OpenPortNamed(name, portNumber, baudRate);
}

uint32_t PrinterEngine::OpenPortNamed(const char* portName, int32_t portNumberForLog,
                                      int32_t baudRate) {
    SerialLine& line = *platform_.line;
    if (portNumberForLog >= 0)
        WriteLog("F:OpenPort(%i, %i) Открытие СОМ порта", portNumberForLog, baudRate);
    else
        WriteLog("F:OpenPort(%s, %i) Открытие СОМ порта", portName, baudRate);

    portFailure_ = LineFailure();
    if (!line.Open(portName)) {
        portFailure_ = line.OpenFailure();
        WriteLog("Невозможно открыть порт");
        return SetError(kErrOpenPort);
    }
    auto fail = [&](const char* logLine, uint32_t number) {
        line.Close();
        WriteLog("%s", logLine);
        return SetError(number);
    };
    if (!line.SetQueueSizes(1024, 1024)) return fail("Ошибка настройки буферов порта", kErrQueueSizes);
    if (!line.SetEventMask(kEventRxChar | kEventTxEmpty))
        return fail("Ошибка настройки маски порта", kErrEventMask);

    LineSettings s;
    if (!line.GetSettings(s)) return fail("Невозможно получить состояние порта", kErrGetState);
    ApplyPrinterLineSettings(s, static_cast<uint32_t>(SupportedBaudRate(baudRate)));
    if (!line.SetSettings(s)) return fail("Невозможно установить параметры порта", kErrSetState);

    LineTimeouts t;
    t.readInterval = 25;
    t.readTotalMultiplier = 0;
    t.readTotalConstant = 1000;
    t.writeTotalMultiplier = 0;
    t.writeTotalConstant = 0;
    if (!line.SetTimeouts(t)) return fail("Невозможно установить таймауты порта", kErrTimeouts);

    return StartUpSequence();
}

int32_t PrinterEngine::ClosePort() {
    SerialLine& line = *platform_.line;
    WriteLog("F:ClosePort() Закрытие СОМ порта");
    if (line.IsOpen()) {
        line.Purge();
        line.SetDtr(false);
        line.Close();
    }
    Connected = 0;
    ErrorNumber = 0;
    return 1;
}

}  // namespace brenvik
