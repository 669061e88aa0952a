// Helpers for the simulator's tests: commands as the engine words them,
// and replies taken apart into blocks.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/m301sim.h"

namespace simtest {

using m301sim::ToPrinterText;

// The texts of the blocks of a reply, in order. Fails the test when a block
// is malformed or bytes stand outside blocks.
inline std::vector<std::string> Blocks(const std::string& reply) {
    std::vector<std::string> out;
    size_t p = 0;
    while (p < reply.size()) {
        EXPECT_EQ(reply[p], '\xFD') << "byte outside a block at " << p;
        if (reply[p] != '\xFD') return out;
        const size_t end = reply.find('\xFE', p);
        EXPECT_NE(end, std::string::npos) << "block without an end byte";
        if (end == std::string::npos) return out;
        const std::string text = reply.substr(p + 1, end - p - 2);
        EXPECT_EQ(static_cast<unsigned char>(reply[end - 1]), (text.size() + 1) & 0xFF) << "length byte of " << text;
        out.push_back(text);
        p = end + 1;
    }
    return out;
}

// The status words of a reply: every block but data blocks, without READY.
inline std::string Status(const std::string& reply) {
    const std::vector<std::string> b = Blocks(reply);
    EXPECT_FALSE(b.empty());
    if (b.empty()) return "";
    EXPECT_EQ(b.back(), "READY") << "a reply ends with READY";
    std::string words;
    for (size_t i = 0; i + 1 < b.size(); ++i) {
        const std::string& t = b[i];
        if (t == "DONE" || t.compare(0, 4, "SOFT") == 0 || t.compare(0, 4, "HARD") == 0 ||
            t.compare(0, 4, "MEM_") == 0 || t == "SHUTDOWN") {
            if (!words.empty()) words += ' ';
            words += t;
        }
    }
    return words;
}

// The first data block of a reply (empty when there is none).
inline std::string Data(const std::string& reply) {
    const std::vector<std::string> b = Blocks(reply);
    return b.size() > 2 || (b.size() == 2 && Status(reply).empty()) ? b.front() : std::string();
}

inline std::string Pad(const std::string& s, size_t n, bool left) {
    if (s.size() >= n) return s.substr(0, n);
    return left ? std::string(n - s.size(), ' ') + s : s + std::string(n - s.size(), ' ');
}

inline std::string Num(long long v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", width, v);
    return buf;
}

// One sale or return line, laid out as the engine lays it out.
struct Sale {
    std::string name = "Хліб";  // UTF-8
    long long sum = 1050, price = 1050, qty = 1;
    bool piece = true;
    int taxMask = 1;  // bit k: tax k+1
    long long article = 0;
    long long discount = 0;  // negative discount, positive surcharge
    std::string discountName;
    bool isReturn = false;
};

inline std::string TaxTail(const m301sim::TaxRate& t) {
    return std::string(1, t.kind) + Num(t.rate, 4);
}

inline std::string ShortLine(const m301sim::Config& c, const Sale& s) {
    const std::string name = ToPrinterText(s.name);
    std::string t = s.isReturn ? "BFIS" : "FISC";
    t += Pad(name, 12, true);
    t += Num(s.sum, 9) + Num(s.price, 9) + Num(s.qty, 5) + (s.piece ? "1" : "0") + "0";
    for (int k = 0; k < 8; ++k)
        t += (s.taxMask & (1 << k)) ? std::string(1, static_cast<char>(0x80 + k)) + TaxTail(c.taxes[k]) : "000000";
    const long long th = s.article / 1000;
    t += std::string(1, th < 10 ? static_cast<char>('0' + th) : static_cast<char>('A' + th - 10)) +
         Num(s.article % 1000, 3);
    t += s.discount < 0 ? "-" : s.discount > 0 ? "+" : "0";
    t += Pad(ToPrinterText(s.discountName), 13, true);
    t += Num(s.discount < 0 ? -s.discount : s.discount, 9);
    if (name.size() > 12) {
        const std::string cont = name.substr(12, 43);
        t += s.piece ? cont : Pad(cont, 30, false) + ".";
    }
    return t;
}

inline std::string LongLine(const Sale& s) {
    const std::string name = ToPrinterText(s.name);
    std::string t = s.isReturn ? "BFCD" : "FICD";
    t += Pad(name, 24, true);
    t += Num(s.sum, 9) + Num(s.price, 9) + Num(s.qty, 6) + (s.piece ? "1" : "0") + "0";
    std::string letters;
    for (int k = 0; k < 8 && letters.size() < 2; ++k)
        if (s.taxMask & (1 << k)) letters += static_cast<char>(0x80 + k);
    while (letters.size() < 2) letters += '0';
    t += letters;
    t += Num(s.article, 9);
    t += s.discount < 0 ? "-" : s.discount > 0 ? "+" : "0";
    t += Pad(ToPrinterText(s.discountName), 13, true);
    t += Num(s.discount < 0 ? -s.discount : s.discount, 9);
    if (name.size() > 24) t += name.substr(24, 104);
    return t;
}

inline std::string Comp(long long a1, long long a2, long long packing, long long cheque, long long credit,
                        long long cash) {
    return "COMP" + Num(a1, 10) + Num(a2, 10) + Num(packing, 10) + Num(cheque, 10) + Num(credit, 10) + Num(cash, 10);
}

// One case of a table of commands and the word each is answered with.
struct WordCase {
    const char* what;
    std::string text;
    const char* word;
};

// A printer with a pinned clock and a journal kept in memory.
class PrinterTest : public ::testing::Test {
protected:
    explicit PrinterTest(const m301sim::Config& c = m301sim::Config()) : printer(c) {
        printer.SetClock([this] { return now; });
        printer.SetJournalSink([this](const std::string& doc) { paper += doc; });
    }

    // Sends a command text given in UTF-8, as the engine would after its
    // code-page conversion.
    std::string Cmd(const std::string& utf8) { return printer.Command(ToPrinterText(utf8)); }
    std::string Raw(const std::string& printerText) { return printer.Command(printerText); }

    void OpenCheck() {
        ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
        ASSERT_EQ(Status(Cmd("CANC")), "DONE");
        ASSERT_EQ(Status(Cmd("PREP1")), "DONE");
    }
    std::string Line(const Sale& s) { return Raw(ShortLine(printer.config(), s)); }

    // A field of the state line, as text.
    std::string State(const std::string& key) {
        const std::string json = printer.StateJson();
        const std::string tag = "\"" + key + "\":";
        const size_t p = json.find(tag);
        if (p == std::string::npos) return "<missing>";
        size_t e = p + tag.size();
        int depth = 0;
        bool quoted = false;
        for (; e < json.size(); ++e) {
            const char c = json[e];
            if (c == '"') quoted = !quoted;
            if (quoted) continue;
            if (c == '[') ++depth;
            if (c == ']') --depth;
            if ((c == ',' || c == '}') && depth == 0) break;
        }
        return json.substr(p + tag.size(), e - p - tag.size());
    }

    std::time_t now = 1765000000;  // a fixed moment; tests move it on
    m301sim::Printer printer;
    std::string paper;
};

}  // namespace simtest
