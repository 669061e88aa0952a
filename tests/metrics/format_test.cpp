// The exposition module against the text format's own rules: escaping,
// cumulative buckets with +Inf equal to the count, the shape of a family,
// and names that would make the output unreadable refused up front.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include "service/metrics.h"

namespace brenvikd::metrics {
namespace {

TEST(MetricsFormat, LabelValuesAndHelpEscapeBackslashQuoteAndNewline) {
    struct Case {
        const char* text;
        const char* label;
        const char* help;
    };
    const Case cases[] = {
        {"plain", "plain", "plain"},
        {R"(a\b)", R"(a\\b)", R"(a\\b)"},
        {R"(say "hi")", R"(say \"hi\")", R"(say "hi")"},
        {"two\nlines", R"(two\nlines)", R"(two\nlines)"},
        {"\\n is not a newline", R"(\\n is not a newline)", R"(\\n is not a newline)"},
        {"tab\there, UTF-8 \xD0\x9F", "tab\there, UTF-8 \xD0\x9F", "tab\there, UTF-8 \xD0\x9F"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EscapeLabelValue(c.text), c.label) << c.text;
        EXPECT_EQ(EscapeHelp(c.text), c.help) << c.text;
    }
}

TEST(MetricsFormat, ValuesReadBackExactly) {
    const std::pair<double, const char*> cases[] = {
        {0, "0"},
        {1, "1"},
        {0.005, "0.005"},
        {2.5, "2.5"},
        {1234567890123.0, "1234567890123"},
        {-3, "-3"},
        {std::numeric_limits<double>::infinity(), "+Inf"},
        {-std::numeric_limits<double>::infinity(), "-Inf"},
        {std::nan(""), "NaN"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(FormatValue(value), text);
}

TEST(MetricsFormat, HistogramBucketsAreCumulativeAndEndAtTheCount) {
    Registry registry;
    HistogramFamily& family = registry.AddHistogram("t_seconds", "t", {}, {0.1, 1, 10});
    Histogram& h = family.With({});
    // A bound belongs to its own bucket (le = less or equal).
    for (double v : {0.05, 0.1, 0.5, 1.0, 9.99, 10.0, 11.0, 1e9}) h.Observe(v);
    h.Observe(std::nan(""));  // +Inf only
    const Histogram::Figures f = h.Read();
    EXPECT_EQ(f.cumulative, (std::vector<uint64_t>{2, 4, 6, 9}));
    EXPECT_EQ(f.count, 9u);
    EXPECT_TRUE(std::isnan(f.sum));

    Histogram& other = registry.AddHistogram("u_seconds", "u", {"printer"}, {0.5, 1}).With({"a"});
    other.Observe(0.25);
    other.Observe(3);
    EXPECT_NE(registry.Render().find("u_seconds_bucket{printer=\"a\",le=\"0.5\"} 1\n"
                                     "u_seconds_bucket{printer=\"a\",le=\"1\"} 1\n"
                                     "u_seconds_bucket{printer=\"a\",le=\"+Inf\"} 2\n"
                                     "u_seconds_sum{printer=\"a\"} 3.25\n"
                                     "u_seconds_count{printer=\"a\"} 2\n"),
              std::string::npos)
        << registry.Render();
}

TEST(MetricsFormat, FamiliesRenderHelpTypeAndSortedSeries) {
    Registry registry;
    CounterFamily& jobs = registry.AddCounter("jobs_total", "Jobs\\done\nby printer.", {"printer", "word"});
    registry.AddGauge("depth", "Depth.").With({}).Set(3);
    registry.AddGauge("unused", "Nothing yet.", {"printer"});
    jobs.With({"b", "x"}).Inc();
    jobs.With({"a", "say \"x\"\n"}).Inc(2);
    jobs.With({"a", "say \"x\"\n"}).Inc(-5);  // ignored: a counter never goes down
    EXPECT_EQ(registry.Render(),
              "# HELP jobs_total Jobs\\\\done\\nby printer.\n"
              "# TYPE jobs_total counter\n"
              "jobs_total{printer=\"a\",word=\"say \\\"x\\\"\\n\"} 2\n"
              "jobs_total{printer=\"b\",word=\"x\"} 1\n"
              "# HELP depth Depth.\n"
              "# TYPE depth gauge\n"
              "depth 3\n"
              "# HELP unused Nothing yet.\n"
              "# TYPE unused gauge\n");
}

TEST(MetricsFormat, MalformedNamesAndLabelsAreRefusedUpFront) {
    Registry registry;
    registry.AddCounter("ok_total", "x", {"printer"});
    EXPECT_THROW(registry.AddCounter("ok_total", "twice"), std::invalid_argument);
    for (const char* name : {"", "9lives", "has-dash", "has space", "ü"}) {
        EXPECT_THROW(registry.AddGauge(name, "x"), std::invalid_argument) << name;
    }
    EXPECT_NO_THROW(registry.AddGauge("ns:with_colon", "x"));
    int n = 0;
    for (const char* label : {"", "a:b", "__reserved", "1st"}) {
        EXPECT_THROW(registry.AddGauge("g" + std::to_string(++n), "x", {label}), std::invalid_argument) << label;
    }
    EXPECT_THROW(registry.AddHistogram("h", "x", {"le"}, {1}), std::invalid_argument);
    EXPECT_THROW(registry.AddHistogram("h2", "x", {}, {1, 1}), std::invalid_argument);
    EXPECT_THROW(registry.AddHistogram("h3", "x", {}, {2, 1}), std::invalid_argument);
    // +Inf given explicitly is the implied last bucket, not a second one.
    registry.AddHistogram("h4", "x", {}, {1, std::numeric_limits<double>::infinity()}).With({}).Observe(5);
    EXPECT_EQ(registry.Render().find("h4_bucket{le=\"+Inf\"} 1\nh4_bucket"), std::string::npos);
    EXPECT_THROW(registry.AddCounter("c_total", "x", {"a", "b"}).With({"only one"}), std::invalid_argument);
}

TEST(MetricsFormat, ConcurrentUpdatesAreAllCounted) {
    Registry registry;
    CounterFamily& counter = registry.AddCounter("n_total", "n", {"printer"});
    HistogramFamily& histogram = registry.AddHistogram("d_seconds", "d", {"printer"}, {1});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string printer = t % 2 ? "odd" : "even";
            for (int i = 0; i < 5000; ++i) {
                counter.With({printer}).Inc();
                histogram.With({printer}).Observe(i % 2 ? 0.5 : 2);
                if (i % 500 == 0) registry.Render();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter.With({"odd"}).Value() + counter.With({"even"}).Value(), 20000);
    const Histogram::Figures even = histogram.With({"even"}).Read();
    EXPECT_EQ(even.count, 10000u);
    EXPECT_EQ(even.cumulative, (std::vector<uint64_t>{5000, 10000}));
    EXPECT_DOUBLE_EQ(even.sum, 5000 * 0.5 + 5000 * 2.0);
}

}  // namespace
}  // namespace brenvikd::metrics
