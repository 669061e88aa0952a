// Whole checks through the real POSIX back end against the substitute
// printer on a pseudo-terminal: sales with Cyrillic names, weighed goods
// and a discount, a return, storno, cash, reports, the information
// documents, and a printer error injected in the middle of a check.
//
// This file is UTF-8 (the simulator's texts are); the engine's texts cross
// into code page 1251 through iconv.
#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/diagnostics/log_file_posix.h"
#include "engine/link/serial_line_posix.h"
#include "engine/platform.h"
#include "engine/printer_engine.h"
#include "sim/m301sim.h"

namespace {

std::string Convert(const char* from, const char* to, std::string in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return in;
    std::string out(in.size() * 4 + 4, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return "<unconvertible>";
    out.resize(out.size() - outLeft);
    return out;
}

std::string Cp(const std::string& utf8) { return Convert("UTF-8", "CP1251", utf8); }
std::string Utf(const char* cp1251) { return Convert("CP1251", "UTF-8", cp1251 ? cp1251 : ""); }

class SimCheck : public ::testing::Test {
protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/brenvik-fiscal-sim.XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;

        sim_ = std::make_unique<m301sim::Printer>();
        sim_->SetJournalSink([this](const std::string& document) {
            std::lock_guard<std::mutex> lock(journalMutex_);
            journal_ += document;
        });
        m301sim::PtyPrinter::Options options;
        options.link = dir_ + "/com3";
        pty_ = std::make_unique<m301sim::PtyPrinter>(*sim_, options);
        std::string error;
        ASSERT_TRUE(pty_->Start(&error)) << error;
        setenv("BRENVIK_PORTS_DIR", dir_.c_str(), 1);

        brenvik::EnginePlatform platform;
        platform.line = &line_;
        platform.log = &log_;
        platform.clock = &brenvik::NativeClock();
        platform.dialog = &brenvik::NativeMessageDialog();
        platform.logDirectory = dir_;
        engine_ = std::make_unique<brenvik::PrinterEngine>(platform);
        engine_->SetShowErrorMessages(0);
        const std::string cashier = Cp("Олена Коваль");
        ASSERT_EQ(engine_->Init(3, cashier.c_str(), "1111", 0, ""), 1)
            << Utf(engine_->GetLastErrorMessage());
    }

    void TearDown() override {
        if (engine_) engine_->Done();
        engine_.reset();
        if (pty_) pty_->Stop();
        unlink((dir_ + "/Pelmora.log").c_str());
        rmdir(dir_.c_str());
    }

    std::string Journal() {
        std::lock_guard<std::mutex> lock(journalMutex_);
        return journal_;
    }

    // The printer ties an article number to one name: each name gets its own.
    int32_t Article(const std::string& name) {
        auto it = articles_.emplace(name, static_cast<int32_t>(articles_.size()) + 101).first;
        return it->second;
    }

    int32_t Sell(const std::string& name, int32_t qty, int32_t price, int32_t weighed = 0) {
        int32_t sum = engine_->FiscalLine(Cp(name).c_str(), qty, price, weighed, 1, 0, Article(name));
        if (sum == 0) ADD_FAILURE() << name << ": " << Utf(engine_->GetLastErrorCode());
        return sum;
    }

    std::string dir_;
    std::unique_ptr<m301sim::Printer> sim_;
    std::unique_ptr<m301sim::PtyPrinter> pty_;
    brenvik::PosixSerialLine line_;
    brenvik::PosixLogFile log_;
    std::unique_ptr<brenvik::PrinterEngine> engine_;
    std::mutex journalMutex_;
    std::string journal_;
    std::map<std::string, int32_t> articles_;
};

TEST_F(SimCheck, SaleWithCyrillicNamesWeighedGoodsAndADiscount) {
    brenvik::PrinterEngine& e = *engine_;
    ASSERT_EQ(e.OpenCheck("1"), 1);
    EXPECT_EQ(Sell("Хліб житній", 2, 1850), 3700);
    EXPECT_EQ(Sell("Сир твердий", 350, 32000, 1), 11200);
    const std::string discountName = Cp("Знижка");
    EXPECT_EQ(e.FiscalLineEx(Cp("Кава мелена").c_str(), 1, 21900, 0, 1, 0, Article("Кава"), 0,
                             discountName.c_str(), 2190),
              21900);
    EXPECT_EQ(e.GetCheckSum(), 3700 + 11200 + 21900 - 2190);
    EXPECT_EQ(e.CloseCheck(), 34610);
    EXPECT_EQ(e.CheckSumm, 0);

    std::string result = Utf(e.GetCheckResultXML());
    EXPECT_EQ(result.rfind("<?xml version=\"1.0\"?><m301_check_info><check_info check_number=\"", 0), 0u)
        << result;
    std::string journal = Journal();
    // The printer's code page has no small і: it travels, and prints, as a Latin I.
    for (const char* text : {"ХлIб житнIй", "Сир твердий", "Кава мелена", "Знижка"})
        EXPECT_NE(journal.find(text), std::string::npos) << text << "\n" << journal;
    EXPECT_NE(journal.find("346.10"), std::string::npos) << journal;
}

TEST_F(SimCheck, ReturnCheckAndStorno) {
    brenvik::PrinterEngine& e = *engine_;
    ASSERT_EQ(e.OpenCheck("1"), 1);
    EXPECT_EQ(Sell("Молоко", 1, 4250), 4250);
    EXPECT_EQ(Sell("Кефір", 1, 3900), 3900);
    EXPECT_EQ(e.Storn(), 1);
    EXPECT_EQ(e.GetCheckSum(), 4250);
    EXPECT_EQ(e.CloseCheck(), 4250);

    ASSERT_EQ(e.OpenReturnCheck("1"), 1);
    EXPECT_EQ(e.SetReturnCheckNumber(1), 1);
    EXPECT_EQ(Sell("Молоко", 1, 4250), 4250);
    EXPECT_EQ(e.GetCheckReturnSum(), 4250);
    EXPECT_EQ(e.CloseCheck(), 4250) << Utf(e.GetLastErrorMessage());
    EXPECT_NE(Journal().find("Молоко"), std::string::npos);
}

TEST_F(SimCheck, CashReportsAndDocuments) {
    brenvik::PrinterEngine& e = *engine_;
    EXPECT_EQ(e.MoveCash(1, 50000), 1);
    EXPECT_EQ(e.MoveCash(0, 12000), 1);
    std::string cash = Utf(e.GetCashInfoXML());
    EXPECT_EQ(cash.rfind("<?xml version=\"1.0\"?><m301_cash_info><cash_info rest=\"", 0), 0u) << cash;

    std::string config = Utf(e.GetPrinterConfigXML(1));
    EXPECT_NE(config.find("SerialNumber=\"4000012345\""), std::string::npos) << config;
    // The simulator's owner carries quotes: the document stays well-formed.
    EXPECT_NE(config.find("Owner=\"ТОВ &quot;Демо-Маркет&quot;"), std::string::npos) << config;
    EXPECT_NE(config.find("<tax index=\"0\" date=\"01/01/24\""), std::string::npos) << config;
    EXPECT_EQ(std::string(e.GetPrinterTime()).size(), 14u);
    EXPECT_EQ(e.GetPrinterKeyPosition(), 1);
    EXPECT_NE(std::string(e.GetTaxesInfoXML()).find("<taxes><tax index=\"0\""), std::string::npos);
    EXPECT_NE(std::string(e.GetDocumentsInfoXML()).find("<documents_info last_check_num=\""),
              std::string::npos);
    EXPECT_NE(std::string(e.GetFiscalInfoXML()).find("<fiscal_info total=\""), std::string::npos);

    EXPECT_EQ(e.XReport(), 1) << Utf(e.GetLastErrorMessage());
    EXPECT_EQ(e.ZReport(), 1) << Utf(e.GetLastErrorMessage());
    EXPECT_FALSE(Journal().empty());
}

TEST_F(SimCheck, PrinterErrorInTheMiddleOfACheckReachesTheCaller) {
    brenvik::PrinterEngine& e = *engine_;
    ASSERT_EQ(e.OpenCheck("1"), 1);
    EXPECT_EQ(Sell("Цукор", 1, 3000), 3000);
    EXPECT_EQ(sim_->Control("next error SOFTPAPER"), "OK");
    EXPECT_EQ(e.FiscalLine(Cp("Сіль").c_str(), 1, 1200, 0, 1, 0, Article("Сіль")), 0);
    EXPECT_EQ(e.ErrorNumber, 81u);
    EXPECT_STREQ(e.GetLastErrorCode(), "SOFTPAPER");
    EXPECT_EQ(Utf(e.GetLastErrorMessage()),
              "Следующая команда печати документов может быть \nвыполнена с фатальной ошибкой "
              "‘HARDPAPER’");
    EXPECT_STREQ(e.GetLastErrorCode(), "");  // read once
    EXPECT_EQ(e.AbortCheck(), 1);
    ASSERT_EQ(e.OpenCheck("1"), 1);
    EXPECT_EQ(Sell("Сіль", 1, 1200), 1200);
    EXPECT_EQ(e.CloseCheck(), 1200);
}

}  // namespace
