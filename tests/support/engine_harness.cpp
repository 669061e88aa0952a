#include "tests/support/engine_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brenvik::test {

std::string Block(const std::string& text) {
    std::string b;
    b += '\xFD';
    b += text;
    b += static_cast<char>((text.size() + 1) & 0xFF);
    b += '\xFE';
    return b;
}

std::string ReadyBlock() { return Block("READY"); }

std::string DoneReply(const std::string& data) {
    return (data.empty() ? std::string() : Block(data)) + Block("DONE") + ReadyBlock();
}

std::string ErrorReply(const std::string& word, const std::string& data) {
    return (data.empty() ? std::string() : Block(data)) + Block(word) + ReadyBlock();
}

std::string Unframe(const std::string& bytes) {
    if (bytes.size() < 3 || bytes.front() != '\xFD' || bytes.back() != '\xFE') return {};
    return bytes.substr(1, bytes.size() - 3);
}

// ---- ScriptedLine ----------------------------------------------------------

void ScriptedLine::Arrive(const std::string& bytes, uint64_t afterMs) {
    // Kept in arrival order; equal times keep the order they were scripted in.
    const uint64_t at = now + afterMs;
    if (arrivals_.empty() || arrivals_.back().at <= at) {  // the usual case: in order
        arrivals_.push_back(Chunk{at, bytes});
        return;
    }
    auto it = std::upper_bound(arrivals_.begin(), arrivals_.end(), at,
                               [](uint64_t t, const Chunk& c) { return t < c.at; });
    arrivals_.insert(it, Chunk{at, bytes});
}

std::vector<std::string> ScriptedLine::Commands() const {
    std::vector<std::string> out;
    for (const auto& w : writes) {
        std::string text = Unframe(w);
        if (!text.empty() || w.size() == 3) out.push_back(text);
    }
    return out;
}

size_t ScriptedLine::Pending() const {
    size_t n = 0;
    for (const auto& c : arrivals_) n += c.bytes.size();
    return n;
}

bool ScriptedLine::Open(const char* name) {
    opened.push_back(name);
    if (failOpen) return false;
    open_ = true;
    return true;
}

bool ScriptedLine::SetQueueSizes(uint32_t in, uint32_t out) {
    inQueue = in;
    outQueue = out;
    return !failQueues;
}

bool ScriptedLine::SetEventMask(uint32_t events) {
    eventMask = events;
    return !failMask;
}

bool ScriptedLine::GetSettings(LineSettings& s) {
    s = LineSettings{};
    s.xoffChar = 0x13;
    s.errorChar = 0x3F;
    return !failGetState;
}

bool ScriptedLine::SetSettings(const LineSettings& s) {
    settings = s;
    return !failSetState;
}

bool ScriptedLine::SetTimeouts(const LineTimeouts& t) {
    timeouts = t;
    return !failTimeouts;
}

void ScriptedLine::Purge() {
    ++purges;
    txEmptyPending_ = false;
    // Bytes already received are thrown away; those still on the wire are not.
    while (!arrivals_.empty() && arrivals_.front().at <= now) arrivals_.pop_front();
}

void ScriptedLine::SetDtr(bool raised) { dtr.emplace_back(now, raised); }

uint32_t ScriptedLine::Available() const {
    uint32_t n = 0;
    for (const auto& c : arrivals_) {
        if (c.at > now) break;
        n += static_cast<uint32_t>(c.bytes.size());
    }
    return n;
}

uint32_t ScriptedLine::ClearErrors() { return std::min<uint32_t>(Available(), 1024); }

void ScriptedLine::Write(const uint8_t* data, uint32_t count) {
    if (!open_) return;
    std::string bytes(reinterpret_cast<const char*>(data), count);
    writes.push_back(bytes);
    txEmptyPending_ = txEmptyEvents;
    if (script) script(*this, bytes);
}

WaitStatus ScriptedLine::WaitEvent(uint32_t timeoutMs, uint32_t& events) {
    events = 0;
    if (onWait) onWait(timeoutMs);
    if (failWaits) return WaitStatus::Failed;
    if (!open_) {
        now += timeoutMs;
        return WaitStatus::TimedOut;
    }
    if (txEmptyPending_) {
        txEmptyPending_ = false;
        events = kEventTxEmpty;
        return WaitStatus::Signalled;
    }
    if (Available() > 0) {
        events = kEventRxChar;
        return WaitStatus::Signalled;
    }
    if (!arrivals_.empty() && arrivals_.front().at <= now + timeoutMs) {
        now = arrivals_.front().at;
        events = kEventRxChar;
        return WaitStatus::Signalled;
    }
    now += timeoutMs;
    return WaitStatus::TimedOut;
}

WaitStatus ScriptedLine::Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) {
    got = 0;
    if (stallReads > 0) {
        --stallReads;
        now += timeoutMs;
        return WaitStatus::TimedOut;
    }
    while (got < count && !arrivals_.empty() && arrivals_.front().at <= now) {
        Chunk& c = arrivals_.front();
        uint32_t take = std::min<uint32_t>(count - got, static_cast<uint32_t>(c.bytes.size()));
        std::memcpy(buffer + got, c.bytes.data(), take);
        got += take;
        c.bytes.erase(0, take);
        if (c.bytes.empty()) arrivals_.pop_front();
    }
    if (got < count) {
        now += timeoutMs;
        return WaitStatus::TimedOut;
    }
    return WaitStatus::Signalled;
}

void ScriptedLine::Close() {
    ++closes;
    open_ = false;
}

// ---- Printer ---------------------------------------------------------------

Printer::Printer(ScriptedLine& line) {
    readyAnswer = ReadyBlock();
    replies["CONf"] = DoneReply(ConfData());
    replies["CNAL"] = DoneReply(CnalData());
    line.script = [this](ScriptedLine& l, const std::string& bytes) { OnWrite(l, bytes); };
}

void Printer::OnWrite(ScriptedLine& line, const std::string& bytes) {
    if (silent) return;
    if (bytes == "U") {
        if (++us_ == 5) {
            us_ = 0;
            if (!handshakeSilent) line.Arrive(readyAnswer, delayMs);
        }
        return;
    }
    us_ = 0;
    std::string text = Unframe(bytes);
    std::string reply;
    if (answer) {
        reply = answer(text);
    } else {
        const std::string word = text.substr(0, 4);
        auto it = replies.find(word);
        if (it != replies.end()) {
            reply = it->second;
        } else if (word == "COMP") {
            reply = DoneReply(CompData(++lastCheck, static_cast<uint32_t>(
                                                        std::strtoul(text.substr(4, 10).c_str(), nullptr, 10))));
        } else if (word == "GLCN") {
            reply = DoneReply("GLCN" + GlcnData('1', lastCheck));
        } else {
            reply = DoneReply();
        }
    }
    if (!reply.empty()) line.Arrive(reply, delayMs);
}

std::string Printer::ConfData(const std::string& firmwareDate, const std::string& variant,
                              char keyPosition) {
    std::string t = "CONf";
    t += "0000123456";                                  // serial number
    t += "1234567890";                                  // fiscal number
    t += "TOV KORVELL TEST                    ";        // owner, 36
    t += "20100614";                                    // date
    t += "153000";                                      // time
    t += keyPosition;                                   // key
    t += "0";                                           // 75
    t += "0";                                           // 76
    t += "0000";                                        // 77
    t += "0";                                           // 81
    t += "000000000000";                                // 82
    t += "000000000042";                                // check number
    t += "0000";                                        // 106
    t += variant.substr(0, 4);                          // variant
    t += firmwareDate.substr(0, 8);                     // firmware date
    t += "000000000000000000";                          // 122
    t += "20100101";                                    // currency date
    t += "2";                                           // decimal point
    t += "UAH";                                         // currency
    return t;  // 152 characters; the block's length byte makes 153
}

std::string Printer::CompData(int checkNumber, uint32_t total) {
    char t[128];
    std::snprintf(t, sizeof t, "COMP%010d%010u%070d", checkNumber, total, 0);
    return t;
}

std::string Printer::GlcnData(char articleMode, int lastCheck) {
    char number[16];
    std::snprintf(number, sizeof number, "%010d", lastCheck);
    std::string t;
    t += number;         // last check
    t += "0000000057";   // last document
    t += "0000000003";   // last service document
    t += articleMode;    // article mode
    t += "0";            // not used
    t += "1";            // fiscal report made
    t += "0007";         // last Z report
    return t;
}

std::string Printer::CnalData() {
    std::string t = "CNAL";
    t += "20100101" "0" "1" "2000";
    t += "20100101" "0" "1" "0700";
    t += "20100101" "0" "0" "0000";
    for (int k = 3; k < 8; ++k) t += "00000000000000";
    return t;
}

// ---- MemoryLog -------------------------------------------------------------

bool MemoryLog::Open(const char* path, bool) {
    openedPaths.push_back(path);
    open_ = !failOpen;
    return open_;
}

uint32_t MemoryLog::Size() {
    if (!open_) return 0xFFFFFFFFu;
    return initialSize + static_cast<uint32_t>(content.size());
}

void MemoryLog::Append(const char* data, size_t count) {
    if (open_) content.append(data, count);
}

bool MemoryLog::Rename(const char* from, const char* to) {
    if (files.count(to) != 0) return false;  // never replaces a file
    renames.emplace_back(from, to);
    files[to] = content;
    archived = content;
    content.clear();
    initialSize = 0;
    return true;
}

bool MemoryLog::List(const char* directory, std::vector<std::string>& names) {
    names.clear();
    const std::string prefix = std::string(directory) + "/";
    for (const auto& f : files)
        if (f.first.compare(0, prefix.size(), prefix) == 0) names.push_back(f.first.substr(prefix.size()));
    return true;
}

bool MemoryLog::Remove(const char* path) { return files.erase(path) != 0; }

std::vector<std::string> MemoryLog::Messages() const {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(pos, end - pos);
        out.push_back(line.size() >= 20 && line[2] == '.' && line[10] == '/' ? line.substr(20) : line);
        pos = end + 1;
    }
    return out;
}

bool MemoryLog::Has(const std::string& message) const {
    // Messages may hold line feeds of their own, so look at the whole text.
    const std::string line = message + "\n";
    for (size_t at = content.find(line); at != std::string::npos; at = content.find(line, at + 1))
        if (at >= 20 && content[at - 1] == ' ' && content[at - 18] == '.') return true;
    return false;
}

// ---- Harness ---------------------------------------------------------------

EnginePlatform ScriptedPlatform(SerialLine& line, LogFile& log, Clock& clock, MessageDialog& dialog) {
    EnginePlatform p;
    p.line = &line;
    p.log = &log;
    p.clock = &clock;
    p.dialog = &dialog;
    p.logDirectory = "/logs";
    p.pathSeparator = '/';
    return p;
}

Harness::Harness() {
    engine = std::make_unique<PrinterEngine>(ScriptedPlatform(line, log, clock, dialog));
    engine->SetShowErrorMessages(0);
}

int32_t Harness::Connect() {
    int32_t r = engine->Init(3, "Ivanov", "1234", 0, "");
    Forget();
    return r;
}

void Harness::Forget() {
    line.writes.clear();
    line.dtr.clear();
    log.content.clear();
    dialog.shown.clear();
}

}  // namespace brenvik::test
