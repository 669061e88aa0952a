// A pseudo-terminal for tests: the test plays the far end on the master.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brenvik::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }
    int slave() const { return slave_; }

    void Send(const std::vector<uint8_t>& bytes);
    void Send(const std::string& text);
    // Everything the master receives within timeoutMs, stopping early once
    // `atLeast` bytes are in.
    std::vector<uint8_t> Receive(size_t atLeast, int timeoutMs);
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace brenvik::test
