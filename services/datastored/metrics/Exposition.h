// Exposition.h - a scrape read back: the samples of Prometheus's text exposition format
// (what the endpoint serves), looked up by name and labels, and quantiles of a histogram.
// qmr-datastored --status reads the server's endpoint through it.
//
// Thread-safety: a parsed Exposition is immutable; share it freely.
#ifndef QMR_DATASTORED_METRICS_EXPOSITION_H
#define QMR_DATASTORED_METRICS_EXPOSITION_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qmr_datastored {

using MetricLabels = std::map<std::string, std::string>;

struct Sample {
  std::string name;  // with its suffix: x_bucket, x_sum, x_count for a histogram x
  MetricLabels labels;
  double value = 0;
};

class Exposition {
 public:
  // Parses `text`. Returns false with a message naming the line in `error` when a sample line
  // does not follow the format; comment lines (# HELP, # TYPE) and blank lines are skipped.
  static bool parse(const std::string& text, Exposition* out, std::string* error);

  const std::vector<Sample>& samples() const { return samples_; }
  // The value of the sample `name` whose labels are exactly `labels`; nullopt when absent.
  std::optional<double> value(const std::string& name, const MetricLabels& labels = {}) const;
  // Every sample named `name`, in the order served.
  std::vector<const Sample*> all(const std::string& name) const;
  // The sum of every sample named `name` (0 when none).
  double sum(const std::string& name) const;

 private:
  std::vector<Sample> samples_;
};

// The q-quantile (0 < q < 1) of histogram `name` (its name_bucket samples), counted since
// `earlier` when given (the observations between two scrapes), else since the start; within
// a bucket it interpolates linearly, as Prometheus's histogram_quantile does. nullopt when
// there are no observations (or no buckets); the highest finite bound when the quantile falls
// in the +Inf bucket.
std::optional<double> histogramQuantile(double q, const std::string& name,
                                        const Exposition& later,
                                        const Exposition* earlier = nullptr);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_METRICS_EXPOSITION_H
