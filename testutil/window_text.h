// Every text of the BrenvikTest window in its three languages (UTF-8). The
// window takes the one of the system's user interface language; the
// engine's own messages stay Russian and are not here.
#pragma once

#include <cstdint>

namespace brenvik {
namespace testutil {

enum class Language { English, Ukrainian, Russian };

// A Windows primary language number (PRIMARYLANGID of
// GetUserDefaultUILanguage) -> the window's language: Ukrainian and Russian
// as such, everything else English.
Language LanguageOfPrimaryId(uint16_t primary);

enum class Text {
    Caption,
    // Labels and buttons
    GroupConnection, Port, Cashier, Password, Baud, BaudOnlyOne, Connect, Disconnect, Cancel,
    GroupStatus, Serial, Fiscal, Key, Documents, Clock, Taxes, Refresh,
    GroupActions, XReport, NullCheck, SetClock, LogView, LogDirectory, Amount, CashIn, CashOut,
    // What runs
    OpConnect, OpDisconnect, OpRefresh, OpXReport, OpNullCheck, OpCashIn, OpCashOut, OpSetClock,
    // What the result line and the history say
    Wait, Done, Error, Cancelling, Cancelled, PortClosed, StillWaiting, NoThread, Ports, NoPorts,
    LastGoodPort, ChoosePort, NeedCashier, NeedPassword, AmountHelp, LogDirOpened, LogDirFailed,
    SilentPrinter,
    // The status fields
    LastCheck, LastDocument, LastZReport,
    KeyR, KeyX, KeyZ, KeyP, KeyO, TaxInPrice, TaxOverPrice, TaxOfSale, TaxKind, TaxFrom,
    // The log viewer
    LogCaption, LogFind, LogFindNext, LogReload, LogLine, LogNotFound, LogMissing, LogTail,
    Count_
};

// UTF-8, never null.
const char* TextOf(Text id, Language language);

}  // namespace testutil
}  // namespace brenvik
