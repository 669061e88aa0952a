// Tasks: what a request handed to a printer's worker became. A synchronous
// request waits for its task; ?async=1 answers 202 with its id at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace brenvikd {

using nlohmann::json;

class Task {
public:
    explicit Task(std::string id, std::string printer) : id_(std::move(id)), printer_(std::move(printer)) {}
    const std::string& id() const { return id_; }

    void SetRunning();
    // The first result stays: a task the service gave up on at its stop
    // is not changed by its job ending later.
    void Finish(int httpStatus, json result);
    // Waits up to `ms`; true when finished.
    bool Wait(int ms);
    // Runs `done` once the task is finished: at once when it is, otherwise
    // on the thread that finishes it.
    void OnDone(std::function<void()> done);
    // {"id","printer","state":"queued|running|done","status","result"}
    json Describe() const;
    int status() const;
    json result() const;

private:
    const std::string id_;
    const std::string printer_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::string state_ = "queued";
    int status_ = 0;
    json result_;
    std::vector<std::function<void()>> waiting_;
};

// Keeps the last `keep` tasks; the ledger keeps receipts for ever.
class TaskTable {
public:
    explicit TaskTable(size_t keep = 10000) : keep_(keep) {}
    std::shared_ptr<Task> Create(const std::string& printer);
    std::shared_ptr<Task> Find(const std::string& id) const;
    // Finishes every task not done yet with this answer (the service stops).
    void FinishAll(int httpStatus, const json& result);

private:
    const size_t keep_;
    mutable std::mutex mutex_;
    uint64_t next_ = 1;
    std::map<std::string, std::shared_ptr<Task>> tasks_;
    std::deque<std::string> order_;
};

}  // namespace brenvikd
