#include "service/tasks.h"

#include <chrono>
#include <random>
#include <vector>

namespace brenvikd {

void Task::SetRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == "queued") state_ = "running";
}

void Task::Finish(int httpStatus, json result) {
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == "done") return;
        state_ = "done";
        status_ = httpStatus;
        result_ = std::move(result);
        waiting.swap(waiting_);
    }
    done_.notify_all();
    for (auto& done : waiting) done();
}

void Task::OnDone(std::function<void()> done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != "done") {
            waiting_.push_back(std::move(done));
            return;
        }
    }
    done();
}

bool Task::Wait(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return state_ == "done"; });
}

json Task::Describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    json out = {{"id", id_}, {"printer", printer_}, {"state", state_}};
    if (state_ == "done") {
        out["status"] = status_;
        out["result"] = result_;
    }
    return out;
}

int Task::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

json Task::result() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return result_;
}

std::shared_ptr<Task> TaskTable::Create(const std::string& printer) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A random prefix per run: a task id of a previous run is never taken for one of this run.
    static const std::string run = [] {
        std::random_device random;
        char text[9];
        snprintf(text, sizeof text, "%08x", random());
        return std::string(text);
    }();
    std::string id = run + "-" + std::to_string(next_++);
    auto task = std::make_shared<Task>(id, printer);
    tasks_[id] = task;
    order_.push_back(id);
    while (order_.size() > keep_) {
        tasks_.erase(order_.front());
        order_.pop_front();
    }
    return task;
}

void TaskTable::FinishAll(int httpStatus, const json& result) {
    std::vector<std::shared_ptr<Task>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : tasks_) all.push_back(entry.second);
    }
    for (auto& task : all) task->Finish(httpStatus, result);
}

std::shared_ptr<Task> TaskTable::Find(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = tasks_.find(id);
    return it == tasks_.end() ? nullptr : it->second;
}

}  // namespace brenvikd
