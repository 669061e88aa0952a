#include "service/metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace brenvikd {
namespace metrics {
namespace {

bool NameChar(char c, bool first, bool colon) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':');
    return letter || (!first && c >= '0' && c <= '9');
}

bool ValidName(const std::string& name, bool colon) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (!NameChar(name[i], i == 0, colon)) return false;
    }
    return true;
}

void CheckNames(const std::string& name, const std::vector<std::string>& labelNames, bool histogram) {
    if (!ValidName(name, true)) throw std::invalid_argument("not a metric name: '" + name + "'");
    for (const std::string& label : labelNames) {
        // __ is Prometheus's own; le is a histogram's bucket.
        if (!ValidName(label, false) || label.rfind("__", 0) == 0 || (histogram && label == "le")) {
            throw std::invalid_argument("not a label name of " + name + ": '" + label + "'");
        }
    }
}

// A CAS loop: std::atomic<double> has no fetch_add before C++20.
void AddTo(std::atomic<double>& value, double by) {
    double now = value.load(std::memory_order_relaxed);
    while (!value.compare_exchange_weak(now, now + by, std::memory_order_relaxed)) {
    }
}

}  // namespace

const char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

void AppendLabelValue(std::string* out, const std::string& text) {
    for (char c : text) {
        if (c == '\\') {
            *out += "\\\\";
        } else if (c == '"') {
            *out += "\\\"";
        } else if (c == '\n') {
            *out += "\\n";
        } else {
            *out += c;
        }
    }
}

}  // namespace

std::string EscapeLabelValue(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    AppendLabelValue(&out, text);
    return out;
}

std::string EscapeHelp(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string FormatValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

void Counter::Inc(double by) {
    if (by > 0) AddTo(value_, by);
}

void Counter::Reach(double total) {
    double now = value_.load(std::memory_order_relaxed);
    while (total > now && !value_.compare_exchange_weak(now, total, std::memory_order_relaxed)) {
    }
}

void Gauge::Add(double by) { AddTo(value_, by); }

Histogram::Histogram(const std::vector<double>* bounds) : bounds_(bounds), counts_(bounds->size() + 1, 0) {}

void Histogram::Observe(double value) {
    // A bucket counts what is at most its bound; NaN only in +Inf, as
    // Prometheus's own clients do.
    size_t bucket = std::isnan(value) ? bounds_->size()
                                      : static_cast<size_t>(std::lower_bound(bounds_->begin(), bounds_->end(), value) -
                                                            bounds_->begin());
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[bucket];
    sum_ += value;
    ++count_;
}

Histogram::Figures Histogram::Read() const {
    Figures figures;
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t running = 0;
    for (uint64_t n : counts_) {
        running += n;
        figures.cumulative.push_back(running);
    }
    figures.sum = sum_;
    figures.count = count_;
    return figures;
}

FamilyBase::FamilyBase(std::string name, std::string help, const char* type, std::vector<std::string> labelNames)
    : name_(std::move(name)), help_(std::move(help)), type_(type), labelNames_(std::move(labelNames)) {
    CheckNames(name_, labelNames_, std::string(type_) == "histogram");
}

void FamilyBase::CheckArity(const Labels& values) const {
    if (values.size() != labelNames_.size()) {
        throw std::invalid_argument(name_ + " has " + std::to_string(labelNames_.size()) + " labels, not " +
                                    std::to_string(values.size()));
    }
}

void FamilyBase::Render(std::string* out) const {
    *out += "# HELP " + name_ + " " + EscapeHelp(help_) + "\n";
    *out += "# TYPE " + name_ + " " + type_ + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    RenderSeries(out);
}

void FamilyBase::Sample(std::string* out, const std::string& suffix, const Labels& values, const std::string& extra,
                        double value) const {
    *out += name_;
    *out += suffix;
    if (!values.empty() || !extra.empty()) {
        *out += '{';
        for (size_t i = 0; i < values.size(); ++i) {
            if (i > 0) *out += ',';
            *out += labelNames_[i];
            *out += "=\"";
            AppendLabelValue(out, values[i]);
            *out += '"';
        }
        if (!extra.empty()) {
            if (!values.empty()) *out += ',';
            *out += extra;
        }
        *out += '}';
    }
    *out += ' ';
    *out += FormatValue(value);
    *out += '\n';
}

CounterFamily::CounterFamily(std::string name, std::string help, std::vector<std::string> labelNames)
    : Family(std::move(name), std::move(help), "counter", std::move(labelNames)) {}

void CounterFamily::RenderSeries(std::string* out) const {
    for (const auto& [values, series] : series_) Sample(out, "", values, "", series->Value());
}

GaugeFamily::GaugeFamily(std::string name, std::string help, std::vector<std::string> labelNames)
    : Family(std::move(name), std::move(help), "gauge", std::move(labelNames)) {}

void GaugeFamily::RenderSeries(std::string* out) const {
    for (const auto& [values, series] : series_) Sample(out, "", values, "", series->Value());
}

HistogramFamily::HistogramFamily(std::string name, std::string help, std::vector<std::string> labelNames,
                                 std::vector<double> bounds)
    : Family(std::move(name), std::move(help), "histogram", std::move(labelNames)), bounds_(std::move(bounds)) {
    // +Inf is always the last bucket; given, it would be one twice.
    if (!bounds_.empty() && std::isinf(bounds_.back()) && bounds_.back() > 0) bounds_.pop_back();
    for (size_t i = 0; i < bounds_.size(); ++i) {
        if (std::isnan(bounds_[i]) || (i > 0 && !(bounds_[i] > bounds_[i - 1]))) {
            throw std::invalid_argument("the buckets of " + name_ + " must increase");
        }
        boundTexts_.push_back("le=\"" + FormatValue(bounds_[i]) + "\"");
    }
    boundTexts_.push_back("le=\"+Inf\"");
}

void HistogramFamily::RenderSeries(std::string* out) const {
    for (const auto& [values, series] : series_) {
        const Histogram::Figures figures = series->Read();
        for (size_t i = 0; i < figures.cumulative.size(); ++i) {
            Sample(out, "_bucket", values, boundTexts_[i], static_cast<double>(figures.cumulative[i]));
        }
        Sample(out, "_sum", values, "", figures.sum);
        Sample(out, "_count", values, "", static_cast<double>(figures.count));
    }
}

template <class F>
F& Registry::Add(std::unique_ptr<F> family) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& known : families_) {
        if (known->name() == family->name()) throw std::invalid_argument("two families named " + family->name());
    }
    F& added = *family;
    families_.push_back(std::move(family));
    return added;
}

CounterFamily& Registry::AddCounter(const std::string& name, const std::string& help,
                                    std::vector<std::string> labelNames) {
    return Add(std::make_unique<CounterFamily>(name, help, std::move(labelNames)));
}

GaugeFamily& Registry::AddGauge(const std::string& name, const std::string& help,
                                std::vector<std::string> labelNames) {
    return Add(std::make_unique<GaugeFamily>(name, help, std::move(labelNames)));
}

HistogramFamily& Registry::AddHistogram(const std::string& name, const std::string& help,
                                        std::vector<std::string> labelNames, std::vector<double> bounds) {
    return Add(std::make_unique<HistogramFamily>(name, help, std::move(labelNames), std::move(bounds)));
}

std::string Registry::Render() const {
    std::string out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& family : families_) family->Render(&out);
    return out;
}

}  // namespace metrics
}  // namespace brenvikd
