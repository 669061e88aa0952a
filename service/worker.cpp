#include "service/worker.h"

#include <chrono>

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

PrinterWorker::PrinterWorker(std::string id, std::unique_ptr<Device> device, Options options, Reconcile reconcile)
    : id_(std::move(id)), device_(std::move(device)), options_(options), reconcile_(std::move(reconcile)) {
    snapshot_ = {{"id", id_}, {"connection", "starting"}, {"busy", false}, {"printer", nullptr},
                 {"error", nullptr}, {"updatedMs", NowMs()}};
}

PrinterWorker::~PrinterWorker() { Stop(); }

void PrinterWorker::Start() { thread_ = std::thread([this] { Run(); }); }

void PrinterWorker::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
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

// Connected and every unfinished receipt decided: only then may a job run,
// or a new check would make an old one's start number meaningless. The
// ledger query is cheap when nothing is unfinished, so it runs every time.
bool PrinterWorker::MakeReady(DeviceError* error) {
    if (!device_->Connected() && !device_->Connect(error)) {
        Publish([&](json& s) {
            s["connection"] = "offline";
            s["error"] = ErrorJson(*error);
        });
        return false;
    }
    if (!reconcile_(*device_)) {
        // A line that stopped answering (flow control held, a half-read
        // block) is opened anew and the printer woken before the next try.
        device_->Disconnect();
        *error = {0, "", "an earlier receipt's outcome is not known yet; the printer did not answer"};
        Publish([&](json& s) {
            s["connection"] = device_->Connected() ? "reconciling" : "offline";
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
        Publish([&](json& s) {
            s["error"] = ErrorJson(error);
            if (!device_->Connected()) s["connection"] = "offline";
        });
    }
}

void PrinterWorker::Run() {
    Refresh();
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            auto ready = [this] { return stopping_ || !queue_.empty(); };
            if (options_.refreshMs > 0) {
                if (!wake_.wait_for(lock, std::chrono::milliseconds(options_.refreshMs), ready)) {
                    lock.unlock();
                    Refresh();
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
        bool ready = MakeReady(&error);
        job(ready ? device_.get() : nullptr, error);
        // No status read here: the next request must not wait behind it.
        Publish([](json& s) { s["busy"] = false; });
    }
    // What is still queued is told that the service stops.
    std::deque<Job> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(queue_);
    }
    DeviceError stopping{0, "", "the service is stopping"};
    for (auto& job : left) job(nullptr, stopping);
}

}  // namespace brenvikd
