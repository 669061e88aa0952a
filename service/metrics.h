// The Prometheus text exposition format (version 0.0.4): counters, gauges
// and histograms with labels, kept in a registry that renders them all at
// once for GET /metrics.
//
// Every call may come from any thread. A series is found by its label
// values under its family's lock and then changed without one (counters
// and gauges are atomics; a histogram's series has a lock of its own, so a
// scrape never sees a _count that disagrees with its +Inf bucket). A
// reference to a series stays valid as long as the registry lives, so a
// busy caller may keep it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace brenvikd {
namespace metrics {

// Label values, in the order of the family's label names.
using Labels = std::vector<std::string>;

class Counter {
public:
    // by >= 0: a counter never goes down (a negative step is ignored).
    void Inc(double by = 1);
    // A count the system keeps (CPU seconds): raised to it, never lowered.
    void Reach(double total);
    double Value() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<double> value_{0};
};

class Gauge {
public:
    void Set(double value) { value_.store(value, std::memory_order_relaxed); }
    void Add(double by);
    double Value() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<double> value_{0};
};

class Histogram {
public:
    // bounds: the buckets' upper bounds (le), increasing; +Inf is implied.
    explicit Histogram(const std::vector<double>* bounds);
    void Observe(double value);

    struct Figures {
        std::vector<uint64_t> cumulative;  // one per bound, then +Inf
        double sum = 0;
        uint64_t count = 0;
    };
    Figures Read() const;

private:
    const std::vector<double>* bounds_;
    mutable std::mutex mutex_;
    std::vector<uint64_t> counts_;  // per bucket, not cumulative; the last is above every bound
    double sum_ = 0;
    uint64_t count_ = 0;
};

// Shared by the three kinds of family.
class FamilyBase {
public:
    FamilyBase(std::string name, std::string help, const char* type, std::vector<std::string> labelNames);
    virtual ~FamilyBase() = default;
    FamilyBase(const FamilyBase&) = delete;
    FamilyBase& operator=(const FamilyBase&) = delete;

    const std::string& name() const { return name_; }
    // HELP, TYPE and every series, appended to *out.
    void Render(std::string* out) const;

protected:
    virtual void RenderSeries(std::string* out) const = 0;
    // name{a="x",b="y"extra} value\n; extra: more pairs, already written.
    void Sample(std::string* out, const std::string& suffix, const Labels& values, const std::string& extra,
                double value) const;
    void CheckArity(const Labels& values) const;

    const std::string name_;
    const std::string help_;
    const char* const type_;
    const std::vector<std::string> labelNames_;
    mutable std::mutex mutex_;  // the map of series
};

template <class Series>
class Family : public FamilyBase {
public:
    using FamilyBase::FamilyBase;

    // The series of these label values, made at zero on first use. Throws
    // std::invalid_argument for the wrong number of values.
    Series& With(const Labels& values) {
        CheckArity(values);
        std::lock_guard<std::mutex> lock(mutex_);
        std::unique_ptr<Series>& series = series_[values];
        if (!series) series = Make();
        return *series;
    }

protected:
    virtual std::unique_ptr<Series> Make() const = 0;
    std::map<Labels, std::unique_ptr<Series>> series_;  // sorted: the output is stable
};

class CounterFamily : public Family<Counter> {
public:
    CounterFamily(std::string name, std::string help, std::vector<std::string> labelNames);

private:
    std::unique_ptr<Counter> Make() const override { return std::make_unique<Counter>(); }
    void RenderSeries(std::string* out) const override;
};

class GaugeFamily : public Family<Gauge> {
public:
    GaugeFamily(std::string name, std::string help, std::vector<std::string> labelNames);

private:
    std::unique_ptr<Gauge> Make() const override { return std::make_unique<Gauge>(); }
    void RenderSeries(std::string* out) const override;
};

class HistogramFamily : public Family<Histogram> {
public:
    HistogramFamily(std::string name, std::string help, std::vector<std::string> labelNames,
                    std::vector<double> bounds);

private:
    std::unique_ptr<Histogram> Make() const override { return std::make_unique<Histogram>(&bounds_); }
    void RenderSeries(std::string* out) const override;
    std::vector<double> bounds_;
    std::vector<std::string> boundTexts_;
};

class Registry {
public:
    // Names and label names are checked here (a bad one is a programming
    // error: std::invalid_argument), so nothing the output holds can be
    // malformed but the label values, which are escaped.
    CounterFamily& AddCounter(const std::string& name, const std::string& help,
                              std::vector<std::string> labelNames = {});
    GaugeFamily& AddGauge(const std::string& name, const std::string& help, std::vector<std::string> labelNames = {});
    HistogramFamily& AddHistogram(const std::string& name, const std::string& help,
                                  std::vector<std::string> labelNames, std::vector<double> bounds);

    // Every family in the order they were added.
    std::string Render() const;

private:
    template <class F>
    F& Add(std::unique_ptr<F> family);

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<FamilyBase>> families_;
};

// The text format's escapes: \ " and newline in a label value; \ and
// newline in a HELP text.
std::string EscapeLabelValue(const std::string& text);
std::string EscapeHelp(const std::string& text);
// The shortest text that reads back as the same number; +Inf, -Inf, NaN.
std::string FormatValue(double value);

// The content type of the output.
extern const char kContentType[];

}  // namespace metrics
}  // namespace brenvikd
