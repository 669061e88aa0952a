#include "service/worker.h"

#include "service/operations.h"

#include <chrono>
#include <cstdio>

namespace brenvikd {
namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

json ErrorJson(const DeviceError& error) {
    return {{"number", error.number}, {"word", error.word}, {"message", error.message}};
}

}  // namespace

PrinterWorker::PrinterWorker(std::string id, std::unique_ptr<Device> device, Options options, Prepare prepare)
    : id_(std::move(id)),
      device_(std::move(device)),
      options_(options),
      prepare_(std::move(prepare)),
      backoff_(options.retry),
      random_(std::random_device()() ^ static_cast<unsigned>(std::hash<std::string>()(id_))) {
    snapshot_ = {{"id", id_}, {"connection", "starting"}, {"busy", false}, {"printer", nullptr},
                 {"error", nullptr}, {"updatedMs", NowMs()}};
}

PrinterWorker::~PrinterWorker() { Stop(); }

void PrinterWorker::Start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
    }
    thread_ = std::thread([this] { Run(); });
}

void PrinterWorker::RequestStop() {
    std::deque<Job> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        left.swap(queue_);
    }
    wake_.notify_all();
    // Not behind a printer that may not come back: what waits is told now.
    DeviceError stopping{0, "", "the service is stopping"};
    for (auto& job : left) job(nullptr, stopping);
}

bool PrinterWorker::Join(int waitMs) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ended = [this] { return !running_; };
        if (waitMs < 0) {
            ended_.wait(lock, ended);
        } else if (!ended_.wait_for(lock, std::chrono::milliseconds(waitMs), ended)) {
            return false;
        }
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

void PrinterWorker::Stop() {
    RequestStop();
    Join(-1);
}

bool PrinterWorker::Stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

bool PrinterWorker::Submit(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || queue_.size() >= options_.capacity) return false;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

size_t PrinterWorker::Queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

json PrinterWorker::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    json copy = snapshot_;
    copy["queue"] = queue_.size();
    copy["capacity"] = options_.capacity;
    return copy;
}

void PrinterWorker::Publish(const std::function<void(json&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(snapshot_);
    snapshot_["updatedMs"] = NowMs();
}

// Connected and every unfinished request decided: only then may a job run,
// or a new check would make an old one's start number meaningless. The
// ledger query is an index of the unfinished ones, so it runs every time.
bool PrinterWorker::MakeReady(DeviceError* error) {
    bool connected = false;
    if (!device_->Connected()) {
        if (!device_->Connect(error)) {
            Publish([&](json& s) {
                s["connection"] = "offline";
                s["error"] = ErrorJson(*error);
            });
            return false;
        }
        connected = true;
    }
    Readiness readiness;
    try {
        readiness = prepare_(*device_, connected);
    } catch (const std::exception& e) {
        readiness = {false, false, {0, "", e.what()}};
    }
    if (!readiness.ready) {
        // A line that stopped answering (flow control held, a half-read
        // block) is opened anew and the printer woken before the next try.
        if (readiness.lineTrouble) device_->Disconnect();
        *error = readiness.why;
        Publish([&](json& s) {
            s["connection"] = !readiness.lineTrouble ? "online" : device_->Connected() ? "reconciling" : "offline";
            s["error"] = ErrorJson(*error);
        });
        return false;
    }
    Publish([](json& s) {
        s["connection"] = "online";
        s["error"] = nullptr;
    });
    return true;
}

void PrinterWorker::Refresh() {
    DeviceError error;
    if (!MakeReady(&error)) return;
    json status;
    if (device_->Status(&status, &error)) {
        Publish([&](json& s) { s["printer"] = status; });
    } else {
        // A printer gone silent may sit behind a line that is gone for good
        // (an adapter plugged in again, a new pseudo-terminal): the next try,
        // by the back-off, opens the line anew instead of waiting on the old.
        if (ConnectionError(error.number)) device_->Disconnect();
        Publish([&](json& s) {
            s["error"] = ErrorJson(error);
            if (!device_->Connected()) s["connection"] = "offline";
        });
    }
}

void PrinterWorker::Settle() {
    if (device_->Connected()) {
        if (!retryAt_ && backoff_.failures() == 0) return;
        backoff_.Succeeded();
        retryAt_.reset();
        Publish([](json& s) { s.erase("nextTryMs"); });
        return;
    }
    const int64_t delayMs = backoff_.Failed(std::uniform_real_distribution<double>(0.0, 1.0)(random_));
    retryAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    Publish([&](json& s) { s["nextTryMs"] = NowMs() + delayMs; });
}

// Nothing a job or the printer throws may end the thread (and with it the
// process): a refresh's failure is logged, a job's is told to its client.
void PrinterWorker::SafeRefresh() {
    try {
        Refresh();
    } catch (const std::exception& e) {
        fprintf(stderr, "brenvikd: printer %s: %s\n", id_.c_str(), e.what());
    } catch (...) {
        fprintf(stderr, "brenvikd: printer %s: the status refresh failed\n", id_.c_str());
    }
}

void PrinterWorker::Run() {
    SafeRefresh();
    Settle();
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            auto ready = [this] { return stopping_ || !queue_.empty(); };
            if (options_.refreshMs > 0) {
                // Online: a refresh after refreshMs without a job. Offline:
                // one try to open the line when the back-off allows, jobs or not.
                const auto due =
                    retryAt_.value_or(std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.refreshMs));
                if (!wake_.wait_until(lock, due, ready)) {
                    lock.unlock();
                    SafeRefresh();
                    Settle();
                    continue;
                }
            } else {
                wake_.wait(lock, ready);
            }
            if (stopping_) break;
            job = std::move(queue_.front());
            queue_.pop_front();
            snapshot_["busy"] = true;
        }
        DeviceError error;
        bool ready = false;
        try {
            ready = MakeReady(&error);
        } catch (const std::exception& e) {
            error = {0, "", e.what()};
        } catch (...) {
            error = {0, "", "the printer could not be made ready"};
        }
        try {
            job(ready ? device_.get() : nullptr, error);
        } catch (const std::exception& e) {
            fprintf(stderr, "brenvikd: printer %s: a job failed: %s\n", id_.c_str(), e.what());
        } catch (...) {
            fprintf(stderr, "brenvikd: printer %s: a job failed\n", id_.c_str());
        }
        // A job that found no printer leaves the line to be opened anew: the
        // next job or try, by the back-off, does not wait on a line gone for good.
        if (device_->Connected() && device_->LineLost()) device_->Disconnect();
        // No status read here: the next request must not wait behind it.
        Publish([](json& s) { s["busy"] = false; });
        Settle();
    }
    // What is still queued is told that the service stops.
    std::deque<Job> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(queue_);
    }
    DeviceError stopping{0, "", "the service is stopping"};
    for (auto& job : left) job(nullptr, stopping);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    ended_.notify_all();
}

}  // namespace brenvikd
