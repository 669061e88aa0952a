// Resource identifiers of BrenvikPlus.dll. Registration and the type-library
// loader find their data by these numbers, so they never change.
#pragma once

#define IDR_MODULE_SCRIPT 101
#define IDR_BRENVIK_SCRIPT 102
#define IDR_MARIA301_SCRIPT 103
#define IDS_PROJNAME 100
