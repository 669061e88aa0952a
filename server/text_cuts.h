// The automation classes' cut lengths: each text argument is cut to its
// buffer, never refused. Kept apart from the Win32 conversions so that the
// manual's test can read the same numbers on any platform.
#pragma once

#include <cstddef>

#include "engine/commands/text_limits.h"

namespace brenvik {

// The classes' cut lengths, from the one table of text limits: the widest
// printer's limits (the engine cuts FINF and TEXT further on a narrower
// one), and the few buffers that are the classes' own.
namespace cut {
constexpr size_t kCashier = kWidestTextLimits.cashier;
constexpr size_t kInitExCashier = automation_cuts::kInitExCashier;
constexpr size_t kPassword = kWidestTextLimits.password;
constexpr size_t kApplicationName = automation_cuts::kApplicationName;
constexpr size_t kRemoteHostName = automation_cuts::kRemoteHostName;
constexpr size_t kDepartment = kWidestTextLimits.department;
constexpr size_t kLongName = kWidestTextLimits.longName;
constexpr size_t kFiscalLineName = automation_cuts::kFiscalLineName;
constexpr size_t kFiscalLineExName = automation_cuts::kFiscalLineExName;
constexpr size_t kDiscountName = kWidestTextLimits.discountName;
constexpr size_t kFreeText = kWidestTextLimits.freeText;
constexpr size_t kReturnNumbers = kWidestTextLimits.returnNumbers;
constexpr size_t kBottomLine = kWidestTextLimits.bottomLine;
constexpr size_t kHeadLine = kWidestTextLimits.headLine;
constexpr size_t kGoodsGroup = kWidestTextLimits.goodsGroup;
constexpr size_t kTotalsName = kWidestTextLimits.totalsName;
constexpr size_t kCurrency = kWidestTextLimits.currency;
constexpr size_t kBarcode = kWidestTextLimits.barcode;
constexpr size_t kDisplayLine = kWidestTextLimits.displayLine;
constexpr size_t kDeptAlias = kWidestTextLimits.deptAlias;
constexpr size_t kExternalDisplay = kWidestTextLimits.externalDisplay;
}  // namespace cut

}  // namespace brenvik
