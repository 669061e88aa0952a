// Prints the automation classes' cut lengths, "kName N" a line: the manual's
// test reads the numbers the classes are built with.
#include <cstdio>

#include "server/text_cuts.h"

#define CUT(name) std::printf("%s %zu\n", #name, brenvik::cut::name)

int main() {
    CUT(kCashier);
    CUT(kInitExCashier);
    CUT(kPassword);
    CUT(kApplicationName);
    CUT(kRemoteHostName);
    CUT(kDepartment);
    CUT(kLongName);
    CUT(kFiscalLineName);
    CUT(kFiscalLineExName);
    CUT(kDiscountName);
    CUT(kFreeText);
    CUT(kReturnNumbers);
    CUT(kBottomLine);
    CUT(kHeadLine);
    CUT(kGoodsGroup);
    CUT(kTotalsName);
    CUT(kCurrency);
    CUT(kBarcode);
    CUT(kDisplayLine);
    CUT(kDeptAlias);
    CUT(kExternalDisplay);
    return 0;
}
