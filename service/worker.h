// One worker thread per printer owns its device: requests to one printer
// run one at a time in arrival order from a bounded queue.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/device.h"

namespace brenvikd {

class PrinterWorker {
public:
    // A job gets the device when the printer is connected and reconciled,
    // otherwise nullptr and the reason.
    using Job = std::function<void(Device* device, const DeviceError& unavailable)>;
    // Runs before every job; false while it could not decide everything
    // (the job is then refused, and it runs again before the next one).
    using Reconcile = std::function<bool(Device& device)>;

    struct Options {
        size_t capacity = 16;       // queued jobs beyond the running one
        int refreshMs = 2000;       // status refresh while idle; 0 = never
    };

    PrinterWorker(std::string id, std::unique_ptr<Device> device, Options options, Reconcile reconcile);
    ~PrinterWorker();
    PrinterWorker(const PrinterWorker&) = delete;
    PrinterWorker& operator=(const PrinterWorker&) = delete;

    const std::string& id() const { return id_; }
    void Start();
    // Finishes the running job, fails the queued ones, joins the thread.
    void Stop();

    // false when the queue is full (the caller answers 503).
    bool Submit(Job job);
    size_t Queued() const;
    size_t Capacity() const { return options_.capacity; }

    // The last known state, without waiting behind the queue.
    json Snapshot() const;
    // Jobs add what they learnt (the last check number, say) to it.
    void Publish(const std::function<void(json&)>& change);

private:
    void Run();
    bool MakeReady(DeviceError* error);
    void Refresh();

    const std::string id_;
    std::unique_ptr<Device> device_;
    const Options options_;
    Reconcile reconcile_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    json snapshot_;
    std::thread thread_;
};

}  // namespace brenvikd
