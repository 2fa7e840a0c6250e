#ifndef RESULTS_WRITER_H
#define RESULTS_WRITER_H

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "simmgr/StudyResults.h"

// The forms the results are given in: a table for people, CSV and JSON
// files for scripts, and an SVG plot.
//
// CSV: one row per experiment and reward variable, columns
//   experiment,status,<global variables...>,variable,reward,time,
//   replications,mean,variance,ci_low,ci_high,half_width,confidence,
//   precision_met,cpu_seconds,seed,attempts,attempt_endings,interval,
//   interval_confidence,simultaneous,test,decision
// (variance and interval empty below two observations, precision_met empty
// with a fixed number of replications or a test; attempts the number of
// simulator processes that ran for the experiment, attempt_endings how each
// ended, separated by ';'; test and decision empty without a test). JSON:
// the same numbers per experiment, with every attempt, the settings, the
// timing, "complete" and the provenance (version and commit, command line,
// seeds, host, start and end in UTC, the simulator program). A write that fails says why in `error` and leaves the file it
// would have replaced as it was.
// Plot: the mean of the plotted variable (StudyResults::PlottedVariable)
// against the global variable `xName` on a logarithmic axis, one line per
// value of `seriesName`, with the confidence intervals as bars. Missing
// either variable, the experiment number is the axis, or there is one line.
class ResultsWriter {
 public:
  static void PrintTable(std::ostream& out, const StudyResults& results);
  static bool WriteCsv(const std::string& path, const StudyResults& results, std::string& error);
  static bool WriteJson(const std::string& path, const StudyResults& results, std::string& error);
  // The provenance of the CSV file `csvName`, kept beside it so that the
  // CSV stays plain for every reader.
  static bool WriteCsvMeta(const std::string& path, const std::string& csvName,
                           const StudyResults& results, std::string& error);
  static bool WriteSvg(const std::string& path, const StudyResults& results, const std::string& xName,
                       const std::string& seriesName, std::string& error);
  // The texts the Write functions write.
  static std::string CsvText(const StudyResults& results);
  static std::string JsonText(const StudyResults& results);
  static std::string CsvMetaText(const std::string& csvName, const StudyResults& results);
  static std::string SvgText(const StudyResults& results, const std::string& xName,
                             const std::string& seriesName);
  // Whether `path` can be written, found without changing it: an existing
  // regular file that opens for writing, or a file that can be created in
  // its folder (created and removed again). False, with the reason, for
  // anything else.
  static bool CheckWritable(const std::string& path, std::string& error);
  // Removes from `dir` the temporaries a manager killed while writing left
  // there: regular files named `<name>.tmp<digits>` for one of `names`, and
  // `.simmgr-check-<digits>`. Only for a folder this process has locked.
  static void RemoveStaleTemporaries(const std::string& dir, const std::vector<std::string>& names);
  // Writes `text` to `path`, replacing what was there only once the whole
  // text is written (beside it, then renamed over it), so that a failed
  // write (a full disk) leaves the old file as it was. False, with the
  // reason, when it cannot. Every file written here is written so. With
  // `durable`, the new text is on the disk before it replaces the old one,
  // and the replacement after (a machine that goes down a moment later
  // finds the new file whole, never an empty one).
  static bool WriteText(const std::string& path, const std::string& text, std::string& error,
                        bool durable = false);
  // Writes each (path, text) so, and replaces the old files only once
  // every new text is whole: a failure leaves all of them as they were
  // (the results of one study are never mixed with an earlier one's).
  // Exceptions, written in place at once: a path that is not a regular
  // file (a device), and a file in a folder that takes no new files.
  static bool WriteTogether(const std::vector<std::pair<std::string, std::string>>& files,
                            std::string& error, bool durable = false);
  // Replaces fsync (for every sync of files and folders) with `sync`;
  // null puts fsync back.
  static void SetSyncForTesting(int (*sync)(int));
};

#endif
